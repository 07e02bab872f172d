// The emulated bus's records (HarlenWireRecord) as one line each, the same
// for the simulated bus and Wine's: the request as it arrived, then " -> " and
// how it ended. Pointer values and addresses are never shown; the URB
// header's length is, since the x64 image and the host simulator share the
// x64 layout. The emulated bridge over usbredir sees setup packets and bulk
// packets instead (HARLEN_WIRE_FROM_USB): no length, and any setup packet
// without a URB function of its own is a CONTROL_TRANSFER.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "wire_record.h"

namespace outcome {

// "GET_DESCRIPTOR_FROM_DEVICE (length 136): descriptor type 1, index 0, 18 bytes
//  -> USBD_STATUS_SUCCESS, 18 bytes, STATUS_SUCCESS" (one line); "... -> pending" while not completed.
std::string describeWire(const HarlenWireRecord &record);

// URBs, port status and port reset; not PnP, power or other requests.
bool shownOnWire(const HarlenWireRecord &record);

// Runs of up to this many consecutive bulk transfers are shown one record a line.
constexpr size_t kLongestBulkRun = 4;

// One line per pipe for a run of bulk transfer records, in order of first appearance:
// "64 BULK_OR_INTERRUPT_TRANSFER pipe 0x02 (length 72): 64 of 131072 bytes (flags 0x2)
//  -> 64 USBD_STATUS_SUCCESS/STATUS_SUCCESS, 8388608 bytes moved".
std::vector<std::string> summariseBulkRun(const std::vector<HarlenWireRecord> &run);

// The lines of the records shown on the wire, in the order given, each longer run of bulk transfers summarised.
std::vector<std::string> wireLines(const std::vector<HarlenWireRecord> &records);

}  // namespace outcome
