// harlen_wine bench: reads and writes of 1, 16 and 64 MiB through the driver
// (\\.\Harlen0 on a loopback bridge) beside the same transfers sent straight
// to the bus in 128 KiB URBs, with no function driver above; MB/s and ratio.
#pragma once

int bench();
