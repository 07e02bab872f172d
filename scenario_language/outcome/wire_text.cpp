#include "wire_text.h"

#include <algorithm>
#include <cstdio>

#include "status_names.h"
#include "tally.h"

namespace outcome {

namespace {

// URB functions and flags as usb.h and usbioctl.h define them.
constexpr uint16_t kSelectConfiguration = 0x0000;
constexpr uint16_t kAbortPipe = 0x0002;
constexpr uint16_t kControlTransfer = 0x0008;
constexpr uint16_t kBulkOrInterruptTransfer = 0x0009;
constexpr uint16_t kGetDescriptorFromDevice = 0x000B;
constexpr uint16_t kClearFeatureToEndpoint = 0x0012;
constexpr uint16_t kVendorDevice = 0x0017;
constexpr uint16_t kClassDevice = 0x001A;
constexpr uint16_t kSyncResetPipeAndClearStall = 0x001E;
constexpr uint32_t kTransferDirectionIn = 0x1;
constexpr uint32_t kPortEnabled = 0x1;
constexpr uint32_t kPortConnected = 0x2;
constexpr size_t kMaxTransfersKept = sizeof(HarlenWireRecord::maxTransfer) / sizeof(uint32_t);
constexpr size_t kDataOutKept = sizeof(HarlenWireRecord::dataOut);

// Endpoint addresses, requests and indexes with two digits, as descriptors show them.
std::string hex(unsigned value, int digits = 2) {
  char text[16];
  snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

bool isControlRequest(uint16_t function) {
  return function == kVendorDevice || function == kClassDevice || function == kControlTransfer;
}

bool namesAPipe(uint16_t function) {
  return function == kBulkOrInterruptTransfer || function == kAbortPipe || function == kSyncResetPipeAndClearStall;
}

bool movesData(uint16_t function) {
  return function == kGetDescriptorFromDevice || function == kBulkOrInterruptTransfer || isControlRequest(function);
}

bool isBulkTransfer(const HarlenWireRecord &record) {
  return record.kind == HarlenWireUrb && record.function == kBulkOrInterruptTransfer;
}

bool completed(const HarlenWireRecord &record) { return (record.flags & HARLEN_WIRE_COMPLETED) != 0; }

// The function, the pipe it names or the direction and request of a vendor or class request, the header's length.
std::string urbHead(const HarlenWireRecord &record) {
  std::string text = urbFunctionName(record.function);
  if (namesAPipe(record.function))
    text += " pipe " + (record.endpointAddress ? hex(record.endpointAddress) : std::string("?"));
  if (isControlRequest(record.function))
    text += std::string(record.transferFlags & kTransferDirectionIn ? " IN" : " OUT") + " request " +
            hex(record.request);
  if (record.flags & HARLEN_WIRE_FROM_USB) return text;
  return text + " (length " + std::to_string(record.length) + ")";
}

// ", data 01 02 03", " ..." after the bytes the record does not keep.
std::string dataOut(const HarlenWireRecord &record) {
  if (record.dataOutLength == 0) return "";
  std::string text = ", data";
  for (size_t i = 0; i < std::min<size_t>(record.dataOutLength, kDataOutKept); ++i) {
    char byte[4];
    snprintf(byte, sizeof byte, " %02X", record.dataOut[i]);
    text += byte;
  }
  return record.dataOutLength > kDataOutKept ? text + " ..." : text;
}

std::string pipesAsSent(const HarlenWireRecord &record) {
  if (record.flags & HARLEN_WIRE_NULL_CONFIGURATION) return "configuration none";
  if (record.flags & HARLEN_WIRE_FROM_USB) return "configuration " + std::to_string(record.value);
  std::string text = std::to_string(record.pipeCount) + " pipes, max transfer";
  for (size_t i = 0; i < std::min<size_t>(record.pipeCount, kMaxTransfersKept); ++i)
    text += (i ? ", " : " ") + std::to_string(record.maxTransfer[i]);
  return record.pipeCount > kMaxTransfersKept ? text + ", ..." : text;
}

std::string bulkFields(const HarlenWireRecord &record) {
  return std::to_string(record.transferBufferLength) + " bytes, flags " + hex(record.transferFlags, 1);
}

// What the URB asked for, after its head; empty for the pipe requests.
std::string urbFields(const HarlenWireRecord &record) {
  switch (record.function) {
    case kGetDescriptorFromDevice:
      return "descriptor type " + std::to_string(record.descriptorType) + ", index " +
             std::to_string(record.descriptorIndex) + ", " + std::to_string(record.transferBufferLength) + " bytes";
    case kSelectConfiguration: return pipesAsSent(record);
    case kBulkOrInterruptTransfer: return bulkFields(record);
    case kClearFeatureToEndpoint:
      return "feature " + std::to_string(record.featureSelector) + ", index " + hex(record.featureIndex);
    case kVendorDevice:
    case kClassDevice:
    case kControlTransfer:
      return "value " + hex(record.value, 4) + ", index " + hex(record.index, 4) + ", " + bulkFields(record) +
             dataOut(record);
  }
  return "";
}

std::string urbEnding(const HarlenWireRecord &record) {
  if (!completed(record)) return "pending";
  return usbdName(record.usbdStatus) +
         (movesData(record.function) ? ", " + std::to_string(record.bytesMoved) + " bytes" : "") + ", " +
         statusName(record.status);
}

std::string portEnding(const HarlenWireRecord &record) {
  if (!completed(record)) return "pending";
  if (record.kind != HarlenWirePortStatus || record.status != 0) return statusName(record.status);
  return std::string(record.value & kPortConnected ? "connected" : "not connected") +
         (record.value & kPortEnabled ? ", enabled, " : ", disabled, ") + statusName(record.status);
}

std::string otherEnding(const HarlenWireRecord &record) {
  return completed(record) ? statusName(record.status) : "pending";
}

}  // namespace

bool shownOnWire(const HarlenWireRecord &record) {
  return record.kind == HarlenWireUrb || record.kind == HarlenWirePortStatus || record.kind == HarlenWirePortReset;
}

std::string describeWire(const HarlenWireRecord &record) {
  switch (record.kind) {
    case HarlenWireUrb: {
      std::string fields = urbFields(record);
      return urbHead(record) + (fields.empty() ? "" : ": " + fields) + " -> " + urbEnding(record);
    }
    case HarlenWirePortStatus: return "GET_PORT_STATUS -> " + portEnding(record);
    case HarlenWirePortReset: return "RESET_PORT -> " + portEnding(record);
    case HarlenWirePnp: return "PNP minor " + hex(record.function) + " -> " + otherEnding(record);
    case HarlenWirePower: return "POWER minor " + hex(record.function) + " -> " + otherEnding(record);
  }
  return "INTERNAL_DEVICE_CONTROL " + hex(record.value, 4) + " -> " + otherEnding(record);
}

std::vector<std::string> summariseBulkRun(const std::vector<HarlenWireRecord> &run) {
  struct PipeGroup {
    std::string head;
    size_t urbs = 0;
    Tally sizes, outcomes;
    uint64_t bytesMoved = 0;
  };
  std::vector<PipeGroup> groups;
  for (const HarlenWireRecord &record : run) {
    std::string head = urbHead(record);
    auto group = std::find_if(groups.begin(), groups.end(), [&](const PipeGroup &g) { return g.head == head; });
    if (group == groups.end()) {
      group = groups.insert(groups.end(), PipeGroup());
      group->head = head;
    }
    ++group->urbs;
    group->sizes.add(std::to_string(record.transferBufferLength) + " bytes (flags " + hex(record.transferFlags, 1) +
                     ")");
    group->outcomes.add(completed(record) ? usbdName(record.usbdStatus) + "/" + statusName(record.status)
                                          : std::string("pending"));
    group->bytesMoved += record.bytesMoved;
  }
  std::vector<std::string> summary;
  for (const PipeGroup &g : groups)
    summary.push_back(std::to_string(g.urbs) + " " + g.head + ": " + g.sizes.text(" of ", "") + " -> " +
                      g.outcomes.text(" ", "") + ", " + std::to_string(g.bytesMoved) + " bytes moved");
  return summary;
}

std::vector<std::string> wireLines(const std::vector<HarlenWireRecord> &records) {
  std::vector<std::string> lines;
  std::vector<HarlenWireRecord> run;
  auto endRun = [&] {
    if (run.size() > kLongestBulkRun) {
      for (std::string &line : summariseBulkRun(run)) lines.push_back(std::move(line));
    } else {
      for (const HarlenWireRecord &record : run) lines.push_back(describeWire(record));
    }
    run.clear();
  };
  for (const HarlenWireRecord &record : records) {
    if (!shownOnWire(record)) continue;
    if (isBulkTransfer(record)) {
      run.push_back(record);
      continue;
    }
    endRun();
    lines.push_back(describeWire(record));
  }
  endRun();
  return lines;
}

}  // namespace outcome
