// Every request that reached the bridge as a record of the shared outcome
// format (HarlenWireRecord, HARLEN_WIRE_FROM_USB): one "wire <text>" line in
// the log when it ends, and the records of a step for a harness that asks.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "bridge_device.h"
#include "wire_record.h"

namespace bridge {

// The record of a setup packet: the URB function a Windows driver would have
// used for it where the outcome format knows one, else CONTROL_TRANSFER.
HarlenWireRecord controlRecord(const SetupPacket &setup, const std::vector<uint8_t> &dataOut);
HarlenWireRecord setConfigurationRecord(uint8_t value);
HarlenWireRecord bulkRecord(const BulkPacket &packet);
HarlenWireRecord portResetRecord();
// Marks it ended: the USBD and NT statuses a Windows bus would complete the URB with.
void finishRecord(HarlenWireRecord &record, Ending ending, uint32_t moved);

class WireLog {
 public:
  explicit WireLog(FILE *out) : out_(out) {}
  // The record's tag (its place in the log).
  size_t arrive(HarlenWireRecord record);
  void finish(size_t tag, Ending ending, uint32_t moved);
  // The outcome format's wire lines of the records that arrived since the last call, each
  // as it stands now (a held packet "pending"), long runs of bulk packets summarised.
  std::vector<std::string> takeStep();

 private:
  FILE *out_;
  std::vector<HarlenWireRecord> records_;
  size_t stepStart_ = 0;
};

}  // namespace bridge
