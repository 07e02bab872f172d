// Cancellation as the I/O manager does it: one system-wide cancel spin lock,
// cancel routines exchanged atomically, and IoCancelIrp calling the routine
// with the lock held (the routine releases it).
#include <algorithm>

#include "processor.h"

using sim::platform;

namespace {

std::string routineName(PDRIVER_CANCEL routine) { return routine ? "routine" : "NULL"; }

// Held among the thread's spin locks, so another processor's turn waits for it.
KSPIN_LOCK cancelLockWord;

}  // namespace

extern "C" VOID IoAcquireCancelSpinLock(PKIRQL irql) {
  sim::kernelCall("IoAcquireCancelSpinLock");
  auto &p = platform();
  *irql = p.irql;
  p.trace.add("io", "IoAcquireCancelSpinLock at IRQL " + std::to_string(p.irql));
  if (p.cancelLockHeld) {
    p.verifier.violation("IoAcquireCancelSpinLock while the cancel spin lock is already held (recursion)");
    return;
  }
  p.cancelLockHeld = true;
  sim::heldSpinLocks().push_back(&cancelLockWord);
  p.irql = DISPATCH_LEVEL;
}

extern "C" VOID IoReleaseCancelSpinLock(KIRQL irql) {
  sim::kernelCall("IoReleaseCancelSpinLock");
  auto &p = platform();
  p.trace.add("io", "IoReleaseCancelSpinLock back to IRQL " + std::to_string(irql));
  if (!p.cancelLockHeld) {
    p.verifier.violation("IoReleaseCancelSpinLock without IoAcquireCancelSpinLock");
    return;
  }
  p.cancelLockHeld = false;
  auto &held = sim::heldSpinLocks();
  held.erase(std::remove(held.begin(), held.end(), &cancelLockWord), held.end());
  p.irql = irql;
  if (held.empty()) sim::releasedLastSpinLock();
}

extern "C" PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine) {
  sim::kernelCall("IoSetCancelRoutine");
  PDRIVER_CANCEL previous = __atomic_exchange_n(&irp->CancelRoutine, routine, __ATOMIC_SEQ_CST);
  platform().trace.add("io", "IoSetCancelRoutine(" + platform().irpLabel(irp) + ", " + routineName(routine) + ") -> " +
                                 routineName(previous));
  return previous;
}

extern "C" BOOLEAN IoCancelIrp(PIRP irp) {
  sim::kernelCall("IoCancelIrp");
  auto &p = platform();
  if (!p.irps.count(irp)) {
    p.verifier.violation("IoCancelIrp on an IRP that does not exist (freed, or never made)");
    return FALSE;
  }
  p.trace.add("io", "IoCancelIrp(" + p.irpLabel(irp) + ")");
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  irp->CancelIrql = irql;
  // No device when a driver completed the IRP with its routine still set.
  bool inDriver = irp->CurrentLocation <= irp->StackCount;
  routine(inDriver ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr, irp);
  if (p.cancelLockHeld) p.verifier.violation("a cancel routine returned without releasing the cancel spin lock");
  return TRUE;
}
