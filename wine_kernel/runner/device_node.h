// The bridge as the PnP manager of the runner's own machine shows it, for a
// bridge on a real USB bus: there no bus driver of ours records the PnP
// requests, so the runner watches the device node and the driver's link.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

struct DeviceNode {
  bool present = false;   // a device node with the hardware id is present
  std::wstring instance;  // its device instance id (per hub port for a device without a serial number)
  bool started = false;   // its stack started (DN_STARTED)
  uint32_t problem = 0;   // its CM_PROB_ code when it has one
  std::string service;    // the function driver's service, once installed
};

// The first present device node whose hardware ids include `hardwareId` (case ignored)
// and whose instance id is not among `others`.
DeviceNode findDeviceNode(const std::wstring &hardwareId, const std::vector<std::wstring> &others = {});

// Whether the name \DosDevices\NAME exists (it opens nothing).
bool dosNameExists(const std::wstring &name);

// "USB\VID_xxxx&PID_yyyy", as the hub names a device with these ids.
std::wstring usbHardwareId(uint16_t vendorId, uint16_t productId);
