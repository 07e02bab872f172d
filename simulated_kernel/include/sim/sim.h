// Everything a test or tool needs to run the driver on the simulated platform.
#pragma once

#include "sim/platform.h"
#include "sim/pnp_manager.h"
#include "sim/usb_bridge.h"
#include "sim/user_io.h"
