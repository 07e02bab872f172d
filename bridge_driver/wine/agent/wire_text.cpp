#include "wire_text.h"

#include <cstdio>
#include <map>

#include "nt_status.h"

namespace {

// URB functions and PnP minor codes of the requests the driver sends or gets.
const std::map<uint16_t, const char *> kUrbFunctions = {
    {0x0000, "SELECT_CONFIGURATION"},       {0x0002, "ABORT_PIPE"},
    {0x0009, "BULK_OR_INTERRUPT_TRANSFER"}, {0x000B, "GET_DESCRIPTOR_FROM_DEVICE"},
    {0x0012, "CLEAR_FEATURE_TO_ENDPOINT"},  {0x0017, "VENDOR_DEVICE"},
    {0x001A, "CLASS_DEVICE"},               {0x001E, "SYNC_RESET_PIPE_AND_CLEAR_STALL"},
};
const std::map<uint16_t, const char *> kPnpMinors = {
    {0x00, "START_DEVICE"},   {0x01, "QUERY_REMOVE_DEVICE"}, {0x02, "REMOVE_DEVICE"},
    {0x03, "CANCEL_REMOVE_DEVICE"}, {0x04, "STOP_DEVICE"},  {0x17, "SURPRISE_REMOVAL"},
};

std::string hex(unsigned long value, int digits) {
  char text[16];
  snprintf(text, sizeof text, "0x%0*lX", digits, value);
  return text;
}

std::string named(const std::map<uint16_t, const char *> &names, uint16_t code) {
  auto name = names.find(code);
  return name != names.end() ? name->second : hex(code, 2);
}

std::string outcome(const HarlenWireRecord &record) {
  if (!(record.flags & HARLEN_WIRE_COMPLETED)) return "not completed";
  return statusName(record.status) + ", USBD " + hex(record.usbdStatus, 8) + ", " + std::to_string(record.bytesMoved) +
         " bytes";
}

std::string urbText(const HarlenWireRecord &r) {
  std::string text = named(kUrbFunctions, r.function);
  if (r.endpointAddress) text += " pipe " + hex(r.endpointAddress, 2);
  switch (r.function) {
    case 0x0000:
      if (r.flags & HARLEN_WIRE_NULL_CONFIGURATION) return text + " (deconfigure)";
      text += ", " + std::to_string(r.pipeCount) + " pipes";
      for (uint16_t i = 0; i < r.pipeCount && i < 4; ++i) text += ", max transfer " + std::to_string(r.maxTransfer[i]);
      return text;
    case 0x000B:
      return text + ": type " + std::to_string(r.descriptorType) + ", " + std::to_string(r.transferBufferLength) +
             " bytes";
    case 0x0017:
    case 0x001A:
      return text + ": request " + hex(r.request, 2) + ", value " + hex(r.value, 4) + ", index " + hex(r.index, 4) +
             ", " + std::to_string(r.transferBufferLength) + " bytes";
    case 0x0012:
      return text + ": feature " + std::to_string(r.featureSelector) + ", index " + hex(r.featureIndex, 2);
    case 0x0009:
      return text + ": " + std::to_string(r.transferBufferLength) + " bytes";
  }
  return text;
}

}  // namespace

bool isBulkRecord(const HarlenWireRecord &record) { return record.kind == HarlenWireUrb && record.function == 0x0009; }

std::string describeRecord(const HarlenWireRecord &r) {
  std::string subject;
  switch (r.kind) {
    case HarlenWireUrb: subject = urbText(r); break;
    case HarlenWirePortStatus: subject = "GET_PORT_STATUS: " + hex(r.bytesMoved, 1); break;
    case HarlenWirePortReset: subject = "RESET_PORT"; break;
    case HarlenWirePnp: subject = "PnP " + named(kPnpMinors, r.function); break;
    case HarlenWirePower: subject = "power " + hex(r.function, 2); break;
    default: subject = "internal control " + hex(r.function, 4); break;
  }
  return "bridge " + std::to_string(r.bridge) + " " + subject + " -> " + outcome(r);
}

std::vector<std::string> summariseBulkRecords(const std::vector<HarlenWireRecord> &run) {
  // Per pipe, in order of first appearance: URB count, sizes asked, outcomes and bytes moved.
  struct Pipe {
    uint8_t endpoint = 0;
    size_t urbs = 0;
    std::map<uint32_t, size_t> sizes;
    std::map<std::string, size_t> outcomes;
    uint64_t moved = 0;
  };
  std::vector<Pipe> pipes;
  for (const HarlenWireRecord &r : run) {
    Pipe *pipe = nullptr;
    for (Pipe &p : pipes)
      if (p.endpoint == r.endpointAddress) pipe = &p;
    if (!pipe) {
      pipe = &*pipes.insert(pipes.end(), Pipe());
      pipe->endpoint = r.endpointAddress;
    }
    ++pipe->urbs;
    ++pipe->sizes[r.transferBufferLength];
    ++pipe->outcomes[r.flags & HARLEN_WIRE_COMPLETED ? statusName(r.status) : "not completed"];
    pipe->moved += r.bytesMoved;
  }
  std::vector<std::string> lines;
  for (const Pipe &p : pipes) {
    std::string sizes, outcomes;
    for (const auto &s : p.sizes) sizes += (sizes.empty() ? "" : ", ") + std::to_string(s.second) + " of " + std::to_string(s.first) + " bytes";
    for (const auto &o : p.outcomes) outcomes += (outcomes.empty() ? "" : ", ") + std::to_string(o.second) + " " + o.first;
    lines.push_back(std::to_string(p.urbs) + " BULK_OR_INTERRUPT_TRANSFER URBs on pipe " + hex(p.endpoint, 2) + ": " +
                    sizes + "; " + outcomes + "; " + std::to_string(p.moved) + " bytes moved");
  }
  return lines;
}
