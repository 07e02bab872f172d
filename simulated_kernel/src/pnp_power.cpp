// The power requests the PnP manager sends for Windows' power manager: one
// request at a time, the device and system sequences, and the wait-wake a
// stack may hold.
#include "sim/pnp_manager.h"

namespace sim {

namespace {

POWER_STATE deviceState(DEVICE_POWER_STATE state) {
  POWER_STATE power{};
  power.DeviceState = state;
  return power;
}

POWER_STATE systemState(SYSTEM_POWER_STATE state) {
  POWER_STATE power{};
  power.SystemState = state;
  return power;
}

}  // namespace

NTSTATUS PnpManager::sendPower(UsbBridge &bridge, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
  auto &p = platform();
  PIRP irp = newRequest(bridge, IRP_MJ_POWER, minor);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  if (minor == IRP_MN_WAIT_WAKE) {
    next->Parameters.WaitWake.PowerState = state.SystemState;
  } else {
    next->Parameters.Power.Type = type;
    next->Parameters.Power.State = state;
  }
  PDEVICE_OBJECT top = p.topOfStack(bridge.pdo());
  const std::string name = std::string(powerMinorName(minor)) + " " + powerStateName(type, state);
  p.trace.add("pnp", [&] { return "-> " + name + " to " + p.deviceLabel(top); });
  const SentRequest request{irp, PoCallDriver(top, irp)};
  if (minor == IRP_MN_WAIT_WAKE) {
    waitWakes_[&bridge] = request;
    return waitWakeStatus(bridge);
  }
  NTSTATUS status = finishRequest(request, name);
  if (NT_SUCCESS(status) && minor == IRP_MN_SET_POWER && type == DevicePowerState)
    devicePower_[&bridge] = state.DeviceState;
  return status;
}

NTSTATUS PnpManager::waitWakeStatus(UsbBridge &bridge) {
  auto &p = platform();
  auto held = waitWakes_.find(&bridge);
  if (held == waitWakes_.end()) return STATUS_INVALID_PARAMETER;
  p.runAllPendingWork();
  {
    PlatformLock guard;
    if (p.irps[held->second.irp].state != IrpState::Completed) return STATUS_PENDING;
  }
  NTSTATUS status = finishRequest(held->second, powerMinorName(IRP_MN_WAIT_WAKE));
  waitWakes_.erase(held);
  return status;
}

NTSTATUS PnpManager::cancelWaitWake(UsbBridge &bridge) {
  auto held = waitWakes_.find(&bridge);
  if (held == waitWakes_.end()) return STATUS_INVALID_PARAMETER;
  IoCancelIrp(held->second.irp);
  return waitWakeStatus(bridge);
}

DEVICE_POWER_STATE PnpManager::devicePowerState(UsbBridge &bridge) const {
  auto state = devicePower_.find(&bridge);
  return state == devicePower_.end() ? PowerDeviceUnspecified : state->second;
}

NTSTATUS PnpManager::setDevicePower(UsbBridge &bridge, DEVICE_POWER_STATE state) {
  return sendPower(bridge, IRP_MN_SET_POWER, DevicePowerState, deviceState(state));
}

NTSTATUS PnpManager::setSystemPower(UsbBridge &bridge, UCHAR minor, SYSTEM_POWER_STATE state) {
  return sendPower(bridge, minor, SystemPowerState, systemState(state));
}

void PnpManager::powerDownBeforeStopOrRemoval(UsbBridge &bridge) {
  if (powerRequests && devicePowerState(bridge) == PowerDeviceD0) setDevicePower(bridge, PowerDeviceD3);
}

NTSTATUS PnpManager::sleep(UsbBridge &bridge) {
  NTSTATUS status = setSystemPower(bridge, IRP_MN_QUERY_POWER, PowerSystemSleeping3);
  if (!NT_SUCCESS(status)) {
    setSystemPower(bridge, IRP_MN_SET_POWER, PowerSystemWorking);
    return status;
  }
  status = setSystemPower(bridge, IRP_MN_SET_POWER, PowerSystemSleeping3);
  if (NT_SUCCESS(status) && devicePowerState(bridge) == PowerDeviceD0) status = setDevicePower(bridge, PowerDeviceD3);
  return status;
}

NTSTATUS PnpManager::wake(UsbBridge &bridge) {
  NTSTATUS status = setSystemPower(bridge, IRP_MN_SET_POWER, PowerSystemWorking);
  if (NT_SUCCESS(status) && devicePowerState(bridge) == PowerDeviceD3) status = setDevicePower(bridge, PowerDeviceD0);
  return status;
}

}  // namespace sim
