// What the I/O manager, the PnP manager and the probe share about MDLs and
// raised statuses. Internal to the simulator.
#pragma once

#include "sim/platform.h"

namespace sim {

// The completion APC of a handle's request: the MDLs IoAllocateMdl chained to
// its IRP are unlocked and freed, as Windows does; any other MDL locked in the
// request's context and still locked is reported.
void releaseRequestMdls(PIRP irp, unsigned irpId);

// Once the driver has no device left, every MDL it still has is reported.
void reportMdlsLeft();

// Unwinds to the innermost KxCallGuarded with this status. With none, the
// machine would crash: reported, then the process aborts. Called with the
// platform lock released and no object with a destructor alive in the caller.
[[noreturn]] void raiseStatus(NTSTATUS status);

}  // namespace sim
