// The bridge's descriptors as a high-speed device: the simulator's bridge
// layout (one configuration, one vendor-class interface) with the packet
// sizes high speed requires.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bridge {

constexpr uint16_t kVendorId = 0x0590;
constexpr uint16_t kProductId = 0x0002;
constexpr uint16_t kDeviceVersion = 0x0100;
constexpr uint8_t kConfigurationValue = 1;
constexpr uint8_t kControlPacketSize = 64;

struct Endpoint {
  uint8_t address;     // bit 7 set = IN
  uint8_t attributes;  // 2 = bulk, 3 = interrupt
  uint16_t maxPacketSize;
  uint8_t interval;
};

// Bulk IN 0x81, bulk OUT 0x02, interrupt IN 0x83.
const std::vector<Endpoint> &endpoints();
const Endpoint *endpointAt(uint8_t address);

// GET_DESCRIPTOR's answer for this type and index; empty when the bridge has none (it stalls).
std::vector<uint8_t> descriptor(uint8_t type, uint8_t index);

}  // namespace bridge
