// The bus driver's answers to power requests at the bottom of a bridge's
// stack: set-power and query-power complete at once (a device set-power
// recorded with PoSetPowerState), a wait-wake stays until it is cancelled or
// the removal ends it. As a bus driver, it starts the next power IRP itself.
#include "sim/pnp_manager.h"

namespace sim {

NTSTATUS UsbBridge::power(PIRP irp, PIO_STACK_LOCATION stack) {
  switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER: return setOrQueryPower(irp, stack);
    case IRP_MN_WAIT_WAKE: return holdWaitWake(irp);
  }
  return finishPowerIrp(irp, irp->IoStatus.Status);
}

NTSTATUS UsbBridge::setOrQueryPower(PIRP irp, PIO_STACK_LOCATION stack) {
  const auto &power = stack->Parameters.Power;
  bool injected;
  {
    PlatformLock guard;
    injected = ++powerCount_ == failPowerAt_;
    platform().trace.add("usb", [&] {
      return std::string("-> ") + powerMinorName(stack->MinorFunction) + " " + powerStateName(power.Type, power.State);
    });
    if (injected) platform().trace.add("fault", "the bridge fails this power request");
  }
  NTSTATUS status = injected ? failPowerStatus_ : STATUS_SUCCESS;
  if (NT_SUCCESS(status) && stack->MinorFunction == IRP_MN_SET_POWER && power.Type == DevicePowerState)
    PoSetPowerState(pdo_, DevicePowerState, power.State);
  return finishPowerIrp(irp, status);
}

NTSTATUS UsbBridge::finishPowerIrp(PIRP irp, NTSTATUS status) {
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

bool UsbBridge::holdsWaitWake() const {
  PlatformLock guard;
  return waitWake_ != nullptr;
}

NTSTATUS UsbBridge::holdWaitWake(PIRP irp) {
  {
    PlatformLock guard;
    platform().trace.add("usb", "-> IRP_MN_WAIT_WAKE: held until a wake, a cancel or the removal");
    if (waitWake_ != nullptr) return finishPowerIrp(irp, STATUS_DEVICE_BUSY);
    IoMarkIrpPending(irp);
    waitWake_ = irp;
    IoSetCancelRoutine(irp, waitWakeCancelled);
    // Cancelled before the routine was set: nobody else will end it.
    if (!__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) || IoSetCancelRoutine(irp, nullptr) == nullptr)
      return STATUS_PENDING;
    waitWake_ = nullptr;
  }
  finishPowerIrp(irp, STATUS_CANCELLED);
  return STATUS_PENDING;
}

// Under the platform lock, so that the cancel routine and this agree on who ends it.
void UsbBridge::endWaitWake(NTSTATUS status) {
  PIRP irp;
  {
    PlatformLock guard;
    irp = waitWake_;
    if (irp == nullptr || IoSetCancelRoutine(irp, nullptr) == nullptr) return;
    waitWake_ = nullptr;
  }
  finishPowerIrp(irp, status);
}

VOID UsbBridge::waitWakeCancelled(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  UsbBridge &bridge = **static_cast<UsbBridge **>(device->DeviceExtension);
  {
    PlatformLock guard;
    if (bridge.waitWake_ != irp) return;
    bridge.waitWake_ = nullptr;
  }
  finishPowerIrp(irp, STATUS_CANCELLED);
}

}  // namespace sim
