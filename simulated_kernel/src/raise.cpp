// Raised statuses without C++ exceptions: KxCallGuarded keeps a jump buffer
// per thread, innermost last, and a raise jumps back to it. The frames skipped
// run no destructors, so the simulator raises only from frames that hold none,
// and never with the platform lock held.
#include <csetjmp>
#include <cstdlib>

#include "memory_descriptors.h"

namespace {

struct Guard {
  jmp_buf resume;
  Guard *outer;
};

thread_local Guard *innermost = nullptr;
// Read after the jump: not an automatic variable, so its value survives longjmp.
thread_local NTSTATUS raised = STATUS_SUCCESS;

void noteRaise(NTSTATUS status, bool handled) {
  auto &p = sim::platform();
  sim::PlatformLock guard;
  p.trace.add("ke", [&] { return "raised " + sim::statusName(status) + (handled ? "" : " with no handler"); });
  if (!handled)
    p.verifier.violation("exception " + sim::statusName(status) + " with no handler: the machine would crash");
}

}  // namespace

namespace sim {

void raiseStatus(NTSTATUS status) {
  noteRaise(status, innermost != nullptr);
  if (innermost == nullptr) {
    fprintf(stderr, "simulator: exception %s raised with no handler: the machine would crash\n",
            statusName(status).c_str());
    abort();
  }
  raised = status;
  longjmp(innermost->resume, 1);
}

}  // namespace sim

extern "C" VOID ExRaiseStatus(NTSTATUS status) {
  sim::kernelCall("ExRaiseStatus");
  sim::raiseStatus(status);
}

// Driver code in the target build: not a kernel routine, so no preemption
// point. Nothing says a ring-0 fault on Windows 98 or Me reaches the guard's
// handler, so a guard used on the legacy kernel is a finding.
extern "C" NTSTATUS KxCallGuarded(KX_GUARDED_ROUTINE *routine, PVOID context) {
  if (sim::platform().kernel == sim::KernelKind::Legacy) {
    sim::PlatformLock lock;
    sim::platform().verifier.violation("KxCallGuarded on the legacy kernel, where a fault may never reach it");
  }
  Guard guard;
  guard.outer = innermost;
  innermost = &guard;
  if (setjmp(guard.resume) != 0) {
    innermost = guard.outer;
    return raised;
  }
  routine(context);
  innermost = guard.outer;
  return STATUS_SUCCESS;
}
