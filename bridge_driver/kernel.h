// The kernel and USB interfaces under the driver: the DDK headers in the
// target build, the simulator's declarations in the host build.
#pragma once

#if defined(_WIN32)
#include <wdm.h>
#include <usb.h>
// The library header has no C++ linkage block of its own.
extern "C" {
#include <usbdlib.h>
}
#include <usbioctl.h>
// Wide literals: 16-bit characters on both builds.
#define KX_WIDE(s) L##s
#else
#include "sim/usb_api.h"
#endif
