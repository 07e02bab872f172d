#include "descriptors.h"

namespace bridge {

namespace {

constexpr uint8_t kDevice = 1, kConfiguration = 2, kInterface = 4, kEndpoint = 5, kQualifier = 6;
constexpr uint16_t kUsb20 = 0x0200;

uint8_t low(uint16_t word) { return static_cast<uint8_t>(word); }
uint8_t high(uint16_t word) { return static_cast<uint8_t>(word >> 8); }

std::vector<uint8_t> deviceDescriptor() {
  return {18, kDevice, low(kUsb20), high(kUsb20), 0, 0, 0, kControlPacketSize, low(kVendorId), high(kVendorId),
          low(kProductId), high(kProductId), low(kDeviceVersion), high(kDeviceVersion), 0, 0, 0, 1};
}

// A high-speed device also describes itself at the other speed's terms.
std::vector<uint8_t> qualifierDescriptor() { return {10, kQualifier, low(kUsb20), high(kUsb20), 0, 0, 0, 64, 1, 0}; }

// Bus-powered (0x80), 100 mA; the interface class 0xFF (vendor).
std::vector<uint8_t> configurationSet() {
  const uint16_t total = 9 + 9 + 7 * endpoints().size();
  std::vector<uint8_t> set = {9, kConfiguration, low(total), high(total), 1, kConfigurationValue, 0, 0x80, 50,
                              9, kInterface, 0, 0, uint8_t(endpoints().size()), 0xFF, 0, 0, 0};
  for (const Endpoint &e : endpoints())
    set.insert(set.end(), {7, kEndpoint, e.address, e.attributes, low(e.maxPacketSize), high(e.maxPacketSize), e.interval});
  return set;
}

}  // namespace

const std::vector<Endpoint> &endpoints() {
  static const std::vector<Endpoint> list = {{0x81, 2, 512, 0}, {0x02, 2, 512, 0}, {0x83, 3, 8, 10}};
  return list;
}

const Endpoint *endpointAt(uint8_t address) {
  for (const Endpoint &e : endpoints())
    if (e.address == address) return &e;
  return nullptr;
}

std::vector<uint8_t> descriptor(uint8_t type, uint8_t index) {
  if (type == kDevice && index == 0) return deviceDescriptor();
  if (type == kConfiguration && index == 0) return configurationSet();
  if (type == kQualifier && index == 0) return qualifierDescriptor();
  return {};
}

}  // namespace bridge
