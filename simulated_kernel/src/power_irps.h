// What the I/O manager and the power manager share about power IRPs. Internal
// to the simulator.
#pragma once

#include "sim/platform.h"

namespace sim {

// IofCallDriver's work, done on behalf of the named routine (IofCallDriver or PoCallDriver).
NTSTATUS callDriver(PDEVICE_OBJECT device, PIRP irp, const char *routine);

// Under the platform lock: a driver receives a power IRP at the current stack location.
void powerIrpReceived(PIRP irp, IrpInfo &info, const char *routine);
// Under the platform lock: the IRP has left its last stack location.
void powerIrpFinished(PIRP irp, const IrpInfo &info);

}  // namespace sim
