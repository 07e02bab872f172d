#include "sim_wire.h"

#include <algorithm>

namespace {

uint32_t flagsOf(const sim::UrbRecord &urb) {
  return (urb.hasBuffer ? HARLEN_WIRE_HAS_BUFFER : 0) | (urb.hasMdl ? HARLEN_WIRE_HAS_MDL : 0) |
         (urb.hasLink ? HARLEN_WIRE_HAS_LINK : 0) | (urb.nullConfiguration ? HARLEN_WIRE_NULL_CONFIGURATION : 0) |
         (urb.status != STATUS_PENDING ? HARLEN_WIRE_COMPLETED : 0);
}

}  // namespace

HarlenWireRecord wireRecord(const sim::UrbRecord &urb, uint16_t bridge) {
  HarlenWireRecord wire = {};
  wire.sequence = urb.sequence;
  wire.bridge = bridge;
  wire.kind = HarlenWireUrb;
  wire.function = urb.function;
  wire.length = urb.length;
  wire.flags = flagsOf(urb);
  wire.descriptorType = urb.descriptorType;
  wire.descriptorIndex = urb.descriptorIndex;
  wire.languageId = urb.languageId;
  wire.transferBufferLength = urb.transferBufferLength;
  wire.transferFlags = urb.transferFlags;
  wire.endpointAddress = urb.endpointAddress;
  wire.request = urb.request;
  wire.value = urb.value;
  wire.index = urb.index;
  wire.featureSelector = urb.featureSelector;
  wire.featureIndex = urb.featureIndex;
  wire.pipeCount = static_cast<uint16_t>(urb.pipesAsSent.size());
  for (size_t i = 0; i < std::min(urb.pipesAsSent.size(), std::size(wire.maxTransfer)); ++i)
    wire.maxTransfer[i] = urb.pipesAsSent[i].MaximumTransferSize;
  wire.bytesMoved = urb.bytesMoved;
  wire.status = urb.status;
  wire.usbdStatus = static_cast<uint32_t>(urb.usbdStatus);
  wire.dataOutLength = static_cast<uint32_t>(urb.dataOut.size());
  std::copy_n(urb.dataOut.begin(), std::min(urb.dataOut.size(), sizeof wire.dataOut), wire.dataOut);
  return wire;
}

std::optional<HarlenWireRecord> wireRecord(const sim::BusRequest &request, uint16_t bridge) {
  bool portStatus = request.ioControlCode == IOCTL_INTERNAL_USB_GET_PORT_STATUS;
  if (request.major != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
      (!portStatus && request.ioControlCode != IOCTL_INTERNAL_USB_RESET_PORT))
    return std::nullopt;
  HarlenWireRecord wire = {};
  wire.sequence = request.sequence;
  wire.bridge = bridge;
  wire.kind = portStatus ? HarlenWirePortStatus : HarlenWirePortReset;
  wire.flags = request.status != STATUS_PENDING ? HARLEN_WIRE_COMPLETED : 0;
  wire.value = portStatus ? static_cast<uint16_t>(request.portStatus) : 0;
  wire.status = request.status;
  return wire;
}

std::vector<HarlenWireRecord> WireLog::takeNew() {
  const auto &bridges = sim::platform().bridges;
  taken_.resize(bridges.size());
  std::vector<HarlenWireRecord> records;
  for (size_t b = 0; b < bridges.size(); ++b) {
    const auto bridge = static_cast<uint16_t>(b);
    const auto &urbs = bridges[b]->urbs();
    const auto &requests = bridges[b]->requests();
    for (; taken_[b].urbs < urbs.size(); ++taken_[b].urbs) records.push_back(wireRecord(urbs[taken_[b].urbs], bridge));
    for (; taken_[b].requests < requests.size(); ++taken_[b].requests)
      if (auto port = wireRecord(requests[taken_[b].requests], bridge)) records.push_back(*port);
  }
  return records;
}
