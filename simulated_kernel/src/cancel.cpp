// Cancellation as the I/O manager does it: one system-wide cancel spin lock,
// cancel routines exchanged atomically, and IoCancelIrp calling the routine
// with the lock held (the routine releases it).
#include <algorithm>

#include "processor.h"

using sim::platform;

namespace {

std::string routineName(PDRIVER_CANCEL routine) { return routine ? "routine" : "NULL"; }

}  // namespace

extern "C" VOID IoAcquireCancelSpinLock(PKIRQL irql) {
  sim::kernelCall("IoAcquireCancelSpinLock");
  auto &p = platform();
  *irql = p.irql;
  p.trace.add("io", [&] { return "IoAcquireCancelSpinLock at IRQL " + std::to_string(p.irql); });
  // Held among the thread's spin locks, so another processor's turn waits for it.
  if (sim::holdsSpinLock(&p.cancelLock)) {
    p.verifier.violation("IoAcquireCancelSpinLock while the cancel spin lock is already held (recursion)");
    return;
  }
  if (!sim::takeLockWord(&p.cancelLock))
    p.verifier.violation("IoAcquireCancelSpinLock: the cancel spin lock is never released: hang");
  sim::heldSpinLocks().push_back(&p.cancelLock);
  p.irql = DISPATCH_LEVEL;
}

extern "C" VOID IoReleaseCancelSpinLock(KIRQL irql) {
  sim::kernelCall("IoReleaseCancelSpinLock");
  auto &p = platform();
  p.trace.add("io", [&] { return "IoReleaseCancelSpinLock back to IRQL " + std::to_string(irql); });
  if (!sim::holdsSpinLock(&p.cancelLock)) {
    p.verifier.violation("IoReleaseCancelSpinLock without IoAcquireCancelSpinLock");
    return;
  }
  auto &held = sim::heldSpinLocks();
  held.erase(std::remove(held.begin(), held.end(), &p.cancelLock), held.end());
  __atomic_store_n(&p.cancelLock, 0, __ATOMIC_RELEASE);
  p.irql = irql;
  if (held.empty()) sim::releasedLastSpinLock();
}

extern "C" PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine) {
  sim::kernelCall("IoSetCancelRoutine");
  PDRIVER_CANCEL previous = __atomic_exchange_n(&irp->CancelRoutine, routine, __ATOMIC_SEQ_CST);
  platform().trace.add("io", [&] {
    return "IoSetCancelRoutine(" + platform().irpLabel(irp) + ", " + routineName(routine) + ") -> " +
           routineName(previous);
  });
  return previous;
}

extern "C" BOOLEAN IoCancelIrp(PIRP irp) {
  sim::kernelCall("IoCancelIrp");
  auto &p = platform();
  {
    sim::PlatformLock guard;
    if (!p.irps.count(irp)) {
      p.verifier.violation("IoCancelIrp on an IRP that does not exist (freed, or never made)");
      return FALSE;
    }
    p.trace.add("io", [&] { return "IoCancelIrp(" + p.irpLabel(irp) + ")"; });
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  // Atomic: the bus reads it without the cancel spin lock as it queues the IRP.
  __atomic_store_n(&irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  irp->CancelIrql = irql;
  // No device when a driver completed the IRP with its routine still set.
  bool inDriver = irp->CurrentLocation <= irp->StackCount;
  sim::leavingPlatform();
  routine(inDriver ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr, irp);
  if (sim::holdsSpinLock(&p.cancelLock))
    p.verifier.violation("a cancel routine returned without releasing the cancel spin lock");
  return TRUE;
}
