// harlen_wine bench: reads and writes of each size through the driver
// (\\.\Harlen0 on a loopback bridge) beside the same transfers sent straight
// to the bus in 128 KiB URBs, with no function driver above; MB/s and ratio.
#pragma once

#include <cstdint>
#include <vector>

// The sizes in bytes, in the order measured; each figure the median of `repetitions` runs.
int bench(const std::vector<uint32_t> &sizes, int repetitions);
