// The PnP manager: loads a driver, reports bridges to it and sends the PnP
// requests, one at a time, to the top of each bridge's device stack, in the
// order Windows sends them. The power requests it sends stand for those of
// Windows' power manager.
//
// The sequences, PnpOrder::WindowsNt (the default):
// - start: START_DEVICE; when it fails, REMOVE_DEVICE.
// - stop: QUERY_STOP_DEVICE; when it fails, CANCEL_STOP_DEVICE; else STOP_DEVICE.
// - remove: QUERY_REMOVE_DEVICE; when it fails, CANCEL_REMOVE_DEVICE; else REMOVE_DEVICE.
// - surpriseRemove (an unplug): SURPRISE_REMOVAL, then REMOVE_DEVICE.
// PnpOrder::Windows98 changes two: a failed start is followed by STOP_DEVICE
// with no query, and an unplug is a plain REMOVE_DEVICE with nothing before it
// (Windows 98 and Me never send SURPRISE_REMOVAL). Queried stops and removals
// are as on NT.
//
// With powerRequests set, the device power requests go around them: a device
// set-power D0 after a successful start; a device set-power D3 after a
// successful query and before STOP_DEVICE or REMOVE_DEVICE, when the device is
// in D0. An unplugged device gets no D3: its hardware is gone. A started
// device counts as in D0; a stopped or removed one in no state.
//
// sleep: query-power S3; when it fails, set-power S0 (the power manager's way
// of cancelling a query) and nothing more; else set-power S3, then, when the
// device is in D0, set-power D3. A power-policy owner would request that D3
// itself while it holds the S3 request; the driver is not the policy owner,
// so the manager sends it after the S3 request completes. wake: set-power S0,
// then set-power D0 when the device is in D3. Each sequence stops at its
// first failure and returns it.
#pragma once

#include <map>

#include "sim/usb_bridge.h"

namespace sim {

enum class PnpOrder { WindowsNt, Windows98 };

class PnpManager {
 public:
  // Creates the driver object and calls the entry point. From then on every
  // pool block the driver takes must carry poolTag (0: any tag).
  NTSTATUS loadDriver(DRIVER_INITIALIZE *entry, ULONG poolTag = 0);
  PDRIVER_OBJECT driver() const { return driver_; }
  NTSTATUS unloadDriver();

  // Plugs a bridge into the bus: creates its physical device object.
  UsbBridge &plug(const BridgeSetup &setup);
  // Calls the driver's add-device routine for the bridge.
  NTSTATUS addDevice(UsbBridge &bridge);

  PnpOrder order = PnpOrder::WindowsNt;
  // Off by default: a driver without a power dispatch routine rejects power requests.
  bool powerRequests = false;

  // One PnP request to the top of the bridge's stack; returns its final status.
  // A failed STOP_DEVICE, REMOVE_DEVICE, SURPRISE_REMOVAL, CANCEL_STOP_DEVICE or
  // CANCEL_REMOVE_DEVICE is a violation: Windows does not let a driver fail them.
  NTSTATUS send(UsbBridge &bridge, UCHAR minor);

  NTSTATUS start(UsbBridge &bridge);
  NTSTATUS stop(UsbBridge &bridge);
  NTSTATUS remove(UsbBridge &bridge);
  NTSTATUS surpriseRemove(UsbBridge &bridge);

  // One power request to the top of the bridge's stack, sent with PoCallDriver;
  // returns its final status. Type and state fill Parameters.Power; a wait-wake
  // takes the system state for Parameters.WaitWake. A wait-wake the stack holds
  // is left pending: STATUS_PENDING here, its end read with waitWakeStatus.
  NTSTATUS sendPower(UsbBridge &bridge, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
  // The bridge's wait-wake: STATUS_PENDING while the stack holds it, else its
  // final status (the request is then freed); STATUS_INVALID_PARAMETER when none was sent.
  NTSTATUS waitWakeStatus(UsbBridge &bridge);
  // Cancels the bridge's pending wait-wake (IoCancelIrp), then as waitWakeStatus.
  NTSTATUS cancelWaitWake(UsbBridge &bridge);
  NTSTATUS sleep(UsbBridge &bridge);
  NTSTATUS wake(UsbBridge &bridge);
  // The device power state the manager last set on the bridge's stack.
  DEVICE_POWER_STATE devicePowerState(UsbBridge &bridge) const;

  // The device the driver attached to this bridge, or null.
  PDEVICE_OBJECT functionDevice(UsbBridge &bridge) const;

 private:
  struct SentRequest {
    PIRP irp;
    NTSTATUS returned;
  };
  PIRP newRequest(UsbBridge &bridge, UCHAR major, UCHAR minor) const;
  NTSTATUS finishRequest(const SentRequest &request, const std::string &name);
  NTSTATUS setDevicePower(UsbBridge &bridge, DEVICE_POWER_STATE state);
  NTSTATUS setSystemPower(UsbBridge &bridge, UCHAR minor, SYSTEM_POWER_STATE state);
  void powerDownBeforeStopOrRemoval(UsbBridge &bridge);
  void checkPoolAfterRemoval();

  PDRIVER_OBJECT driver_ = nullptr;
  std::map<const UsbBridge *, DEVICE_POWER_STATE> devicePower_;
  std::map<const UsbBridge *, SentRequest> waitWakes_;
};

const char *pnpMinorName(UCHAR minor);
const char *powerMinorName(UCHAR minor);
// "S0".."S5", "D0".."D3".
std::string powerStateName(POWER_STATE_TYPE type, POWER_STATE state);

}  // namespace sim
