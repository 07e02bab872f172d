// The sizes Windows publishes for the layouts the driver and the bus share, at
// this build's pointer width. Tests hold the simulator's declarations, and the
// lengths that travel on the simulated bus, to these figures.
#pragma once

#include <cstddef>

namespace published {

constexpr size_t forWidth(size_t size32, size_t size64) { return sizeof(void *) == 8 ? size64 : size32; }

constexpr size_t kPipeInformation = forWidth(20, 24);
// An interface record without its pipes.
constexpr size_t kInterfaceInformationHead = forWidth(16, 24);
constexpr size_t kDescriptorUrb = forWidth(80, 136);
constexpr size_t kSelectConfigurationUrb = forWidth(60, 88);
// A select-configuration URB up to its interface record's pipes: also the
// length of the URB that deconfigures.
constexpr size_t kSelectConfigurationHead = forWidth(40, 64);
constexpr size_t kBulkTransferUrb = forWidth(72, 128);
constexpr size_t kPipeRequestUrb = forWidth(24, 40);
constexpr size_t kFeatureRequestUrb = forWidth(80, 136);
constexpr size_t kVendorOrClassRequestUrb = forWidth(80, 136);

}  // namespace published
