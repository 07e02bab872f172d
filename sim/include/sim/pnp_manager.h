// The PnP manager: loads a driver, reports bridges to it and sends the PnP
// requests, one at a time, to the top of each bridge's device stack, in the
// order Windows sends them.
#pragma once

#include "sim/usb_bridge.h"

namespace sim {

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

  // One PnP request to the top of the bridge's stack; returns its final status.
  NTSTATUS send(UsbBridge &bridge, UCHAR minor);

  // Start; a failed start is followed by a removal, as Windows does.
  NTSTATUS start(UsbBridge &bridge);
  // Query stop, then stop or, when the query failed, cancel stop.
  NTSTATUS stop(UsbBridge &bridge);
  // Query remove, then remove or, when the query failed, cancel remove.
  NTSTATUS remove(UsbBridge &bridge);
  // Surprise removal, then the removal that follows it.
  NTSTATUS surpriseRemove(UsbBridge &bridge);

  // The device the driver attached to this bridge, or null.
  PDEVICE_OBJECT functionDevice(UsbBridge &bridge) const;

 private:
  void checkPoolAfterRemoval();

  PDRIVER_OBJECT driver_ = nullptr;
};

const char *pnpMinorName(UCHAR minor);

}  // namespace sim
