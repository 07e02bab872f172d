// Preemption points: at the entry of a chosen kernel call, another processor
// runs a test's action, so races between a request and, say, a removal or a
// cancellation are tried at every point, deterministically.
#include "processor.h"

namespace sim {

namespace {

// True while the other processor's action runs: its calls do not count.
thread_local bool onOtherProcessor = false;

}  // namespace

void Platform::preemptAt(unsigned nth, std::function<void()> action) {
  preemptionDue_ = kernelCalls + nth;
  preemptionWaitsForLocks_ = false;
  preemption_ = std::move(action);
}

void kernelCall(const char *routine) {
  auto &p = platform();
  if (onOtherProcessor) return;
  PlatformLock guard;
  ++p.kernelCalls;
  if (p.threaded || !p.preemption_ || p.preemptionWaitsForLocks_ || p.kernelCalls != p.preemptionDue_) return;
  if (!heldSpinLocks().empty()) {
    p.preemptionWaitsForLocks_ = true;
    p.trace.add("ke", [&] {
      return "preemption at call " + std::to_string(p.kernelCalls) + " (" + routine +
             ") waits for the thread's spin locks";
    });
    return;
  }
  guard.unlock();
  p.runPreemption(routine);
}

void releasedLastSpinLock() {
  auto &p = platform();
  if (p.threaded) return;
  if (p.preemption_ && p.preemptionWaitsForLocks_ && !onOtherProcessor) p.runPreemption("KeReleaseSpinLock");
}

// The other processor starts with no spin lock of its own and must end so.
void Platform::runPreemption(const char *where) {
  auto action = std::move(preemption_);
  preemption_ = nullptr;
  preemptionWaitsForLocks_ = false;
  trace.add("ke", [&] { return std::string("preemption at ") + where + ": another processor runs"; });
  HeldSpinLocks thread;
  thread.swap(heldSpinLocks());
  KIRQL saved = irql;
  irql = DISPATCH_LEVEL;
  onOtherProcessor = true;
  action();
  onOtherProcessor = false;
  irql = saved;
  if (!heldSpinLocks().empty()) verifier.violation("a preempting action returned holding a spin lock");
  thread.swap(heldSpinLocks());
  trace.add("ke", "preemption done");
}

}  // namespace sim
