#include "wire_log.h"

#include <algorithm>

#include "wire_text.h"

namespace bridge {

namespace {

// URB functions, USBD and NT statuses as usb.h and ntstatus.h define them.
constexpr uint16_t kSelectConfiguration = 0x0000, kControlTransfer = 0x0008, kBulkOrInterrupt = 0x0009,
                   kGetDescriptorFromDevice = 0x000B, kClearFeatureToEndpoint = 0x0012, kVendorDevice = 0x0017,
                   kClassDevice = 0x001A;
constexpr uint32_t kTransferDirectionIn = 1;

struct StatusPair {
  uint32_t usbd;
  int32_t nt;
};

StatusPair statusesOf(Ending ending) {
  switch (ending) {
    case Ending::Success: return {0x00000000, 0x00000000};
    case Ending::Stall: return {0xC0000004, int32_t(0xC0000001)};      // STALL_PID, UNSUCCESSFUL
    case Ending::Cancelled: return {0xC0010000, int32_t(0xC0000120)};  // CANCELED, CANCELLED
    case Ending::Gone: return {0xC0007000, int32_t(0xC000009D)};       // DEVICE_GONE, DEVICE_NOT_CONNECTED
  }
  return {0xC0000005, int32_t(0xC0000001)};
}

HarlenWireRecord blank(uint16_t kind, uint16_t function) {
  HarlenWireRecord record{};
  record.kind = kind;
  record.function = function;
  record.flags = HARLEN_WIRE_FROM_USB;
  record.status = 0x103;  // STATUS_PENDING until it ends
  record.usbdStatus = 0x40000000;
  return record;
}

uint16_t functionOf(const SetupPacket &setup) {
  const uint8_t type = (setup.requestType >> 5) & 3, recipient = setup.requestType & 0x1F;
  if (recipient == 0 && type == 2) return kVendorDevice;
  if (recipient == 0 && type == 1) return kClassDevice;
  if (type == 0 && setup.request == 6 && recipient == 0) return kGetDescriptorFromDevice;
  if (type == 0 && setup.request == 1 && recipient == 2) return kClearFeatureToEndpoint;
  return kControlTransfer;
}

}  // namespace

HarlenWireRecord controlRecord(const SetupPacket &setup, const std::vector<uint8_t> &dataOut) {
  HarlenWireRecord record = blank(HarlenWireUrb, functionOf(setup));
  record.transferBufferLength = setup.length;
  record.transferFlags = setup.requestType & 0x80 ? kTransferDirectionIn : 0;
  record.request = setup.request;
  record.value = setup.value;
  record.index = setup.index;
  record.descriptorType = static_cast<uint8_t>(setup.value >> 8);
  record.descriptorIndex = static_cast<uint8_t>(setup.value);
  record.languageId = setup.index;
  record.featureSelector = setup.value;
  record.featureIndex = setup.index;
  record.dataOutLength = static_cast<uint32_t>(dataOut.size());
  std::copy_n(dataOut.begin(), std::min(dataOut.size(), sizeof record.dataOut), record.dataOut);
  return record;
}

HarlenWireRecord setConfigurationRecord(uint8_t value) {
  HarlenWireRecord record = blank(HarlenWireUrb, kSelectConfiguration);
  record.value = value;
  if (value == 0) record.flags |= HARLEN_WIRE_NULL_CONFIGURATION;
  return record;
}

HarlenWireRecord bulkRecord(const BulkPacket &packet) {
  HarlenWireRecord record = blank(HarlenWireUrb, kBulkOrInterrupt);
  record.endpointAddress = packet.endpoint;
  record.transferBufferLength = packet.length;
  record.transferFlags = packet.endpoint & 0x80 ? kTransferDirectionIn : 0;
  return record;
}

HarlenWireRecord portResetRecord() { return blank(HarlenWirePortReset, 0); }

void finishRecord(HarlenWireRecord &record, Ending ending, uint32_t moved) {
  StatusPair statuses = statusesOf(ending);
  record.usbdStatus = statuses.usbd;
  record.status = statuses.nt;
  record.bytesMoved = moved;
  record.flags |= HARLEN_WIRE_COMPLETED;
}

size_t WireLog::arrive(HarlenWireRecord record) {
  record.sequence = static_cast<uint32_t>(records_.size() + 1);
  records_.push_back(record);
  return records_.size() - 1;
}

void WireLog::finish(size_t tag, Ending ending, uint32_t moved) {
  HarlenWireRecord &record = records_.at(tag);
  finishRecord(record, ending, moved);
  fprintf(out_, "wire %s\n", outcome::describeWire(record).c_str());
  fflush(out_);
}

std::vector<std::string> WireLog::takeStep() {
  std::vector<HarlenWireRecord> step(records_.begin() + stepStart_, records_.end());
  stepStart_ = records_.size();
  return outcome::wireLines(step);
}

}  // namespace bridge
