// Reading a configuration descriptor set the way the bus does: descriptor by
// descriptor, by their own lengths, never past the end of the bytes given.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/usb_bridge.h"

namespace sim {

struct InterfaceModel {
  USB_INTERFACE_DESCRIPTOR descriptor;
  std::vector<EndpointSetup> endpoints;
};

std::vector<InterfaceModel> parseConfigSet(const uint8_t *bytes, size_t size);

}  // namespace sim
