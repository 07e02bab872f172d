// What the simulator's stand-in drivers share: completing a request, and an
// open and close that always succeed.
#pragma once

#include "sim/sim.h"

inline NTSTATUS finish(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

inline NTSTATUS openOrClose(PDEVICE_OBJECT, PIRP irp) { return finish(irp, STATUS_SUCCESS, 0); }
