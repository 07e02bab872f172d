// How the bus names URBs and USBD statuses in the trace, and the NT status
// each USBD status completes its IRP with.
#pragma once

#include <string>

#include "sim/usb_bridge.h"

namespace sim {

NTSTATUS toNtStatus(USBD_STATUS usbd);
// Vendor and class requests to the device, on its default pipe.
bool isControlRequest(USHORT function);
using outcome::usbdName;
// "-> ..." text for a URB as it arrived.
std::string describeArrival(const UrbRecord &record);
// "<- ..." text for a URB as it completes; bytes are shown when given.
std::string describeCompletion(const UrbRecord &record, const std::string &bytes);

}  // namespace sim
