// harlen_benchmark's parts and their parameters.
#pragma once

#include <array>

#include "sim/sim.h"

// Request sizes for the CPU cost, and for the modelled bus.
constexpr std::array<ULONG, 4> kCpuSizes = {128u << 10, 1u << 20, 16u << 20, 64u << 20};
constexpr std::array<ULONG, 4> kBusSizes = {1u << 20, 4u << 20, 16u << 20, 64u << 20};
// A pipe's turnaround when its queue runs dry: one high-speed microframe, and a full millisecond frame.
constexpr std::array<double, 2> kTurnarounds = {125e-6, 1e-3};

void registerCpuCost();
void registerBusUtilisation();
