// Events, waits and delays on a virtual clock. Deterministic mode: a wait lets
// the deferred work (bus completions) run until the event is signalled, and a
// wait that nothing can satisfy is reported as a hang. Threaded mode: a wait
// blocks until another thread sets the event, a hang once kHangLimit passes.
#include "sim/platform.h"

using sim::platform;

namespace {

const char *reasonName(KWAIT_REASON reason) {
  switch (reason) {
    case Executive: return "Executive";
    case Suspended: return "Suspended";
  }
  return "other";
}

bool mayBlock(const char *routine, PLARGE_INTEGER timeout) {
  auto &p = platform();
  bool blocks = timeout == nullptr || timeout->QuadPart != 0;
  if (blocks && p.irql > APC_LEVEL) {
    p.verifier.violation(std::string(routine) + " at IRQL " + std::to_string(p.irql));
    return false;
  }
  return true;
}

}  // namespace

extern "C" VOID KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  sim::kernelCall("KeInitializeEvent");
  sim::PlatformLock guard;
  platform().abandonedEvents.erase(event);
  event->Header.Type = static_cast<UCHAR>(type);
  event->Header.SignalState = state ? 1 : 0;
  platform().trace.add("ke", type == NotificationEvent ? "KeInitializeEvent(notification)"
                                                      : "KeInitializeEvent(synchronization)");
}

extern "C" LONG KeSetEvent(PRKEVENT event, LONG, BOOLEAN) {
  sim::kernelCall("KeSetEvent");
  sim::PlatformLock guard;
  if (platform().abandonedEvents.count(event)) {
    platform().trace.add("ke", "KeSetEvent on the event of a hung wait: left alone");
    return 0;
  }
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 1;
  platform().trace.add("ke", "KeSetEvent");
  platform().changed.notify_all();
  return previous;
}

extern "C" NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE, BOOLEAN,
                                          PLARGE_INTEGER timeout) {
  sim::kernelCall("KeWaitForSingleObject");
  auto &p = platform();
  auto event = static_cast<PRKEVENT>(object);
  p.trace.add("ke", [&] { return std::string("KeWaitForSingleObject(") + reasonName(reason) + ")"; });
  if (!mayBlock("KeWaitForSingleObject", timeout)) return STATUS_TIMEOUT;
  // A finite timeout is virtual time: only the event, or the hang limit, ends a threaded wait.
  bool threadedPoll = p.threaded && timeout && timeout->QuadPart == 0;
  p.waitUntil([event, threadedPoll] { return threadedPoll || event->Header.SignalState != 0; });
  sim::PlatformLock guard;
  if (!event->Header.SignalState) {
    if (timeout == nullptr) {
      p.verifier.violation("KeWaitForSingleObject on an event that nothing will signal: hang");
      p.abandonedEvents.insert(event);
    }
    return STATUS_TIMEOUT;
  }
  if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
  sim::kernelCall("KeDelayExecutionThread");
  auto &p = platform();
  if (!mayBlock("KeDelayExecutionThread", interval)) return STATUS_SUCCESS;
  {
    sim::PlatformLock guard;
    // Negative is relative to now; positive is an absolute time.
    LONGLONG value = interval->QuadPart;
    uint64_t until = value < 0 ? p.now + static_cast<uint64_t>(-value) : static_cast<uint64_t>(value);
    if (until > p.now) p.now = until;
    p.trace.add("ke", [&] {
      return "KeDelayExecutionThread(" + std::to_string(-value / 10000) + " ms), clock at " +
             std::to_string(p.now / 10000) + " ms";
    });
  }
  // Threaded: the other threads' turn, at no cost in virtual time.
  if (p.threaded) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  p.runAllPendingWork();
  return STATUS_SUCCESS;
}

extern "C" KIRQL KeGetCurrentIrql(void) {
  sim::kernelCall("KeGetCurrentIrql");
  return platform().irql;
}
