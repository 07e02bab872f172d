// The bus completes requests later, at DISPATCH_LEVEL, from one DPC run by a
// timer (Wine queues no DPC from KeInsertQueueDpc; it does run timer DPCs).
// One run at a time, so each pipe's transfers complete in order; a request
// made while it runs makes it go round once more.
#include "bus.h"

static VOID NTAPI BusDpc(PKDPC, PVOID, PVOID, PVOID) {
  {
    BusLock guard;
    TheBus.dpcArmed = FALSE;
    if (TheBus.dpcRunning) {
      TheBus.dpcAgain = TRUE;
      return;
    }
    TheBus.dpcRunning = TRUE;
  }
  for (bool again = true; again;) {
    for (ULONG i = 0;; ++i) {
      Bridge *bridge;
      {
        BusLock guard;
        if (i >= TheBus.bridgeCount) break;
        bridge = TheBus.bridges[i];
      }
      CompleteFinished(*bridge);
      ServiceQueues(*bridge);
    }
    BusLock guard;
    again = TheBus.dpcAgain;
    TheBus.dpcAgain = FALSE;
    if (!again) TheBus.dpcRunning = FALSE;
  }
}

void InitDeferred() {
  KeInitializeDpc(&TheBus.dpc, BusDpc, nullptr);
  KeInitializeTimer(&TheBus.timer);
}

void KickDpc() {
  BusLock guard;
  if (TheBus.dpcArmed) return;
  TheBus.dpcArmed = TRUE;
  LARGE_INTEGER soon;
  soon.QuadPart = -1;  // relative, as soon as can be
  KeSetTimer(&TheBus.timer, soon, &TheBus.dpc);
}

bool DpcBusy() {
  BusLock guard;
  return TheBus.dpcArmed || TheBus.dpcRunning;
}

void WaitForDpcIdle() {
  LARGE_INTEGER pause;
  pause.QuadPart = -10 * 1000 * 5;  // 5 ms
  while (DpcBusy()) KeDelayExecutionThread(KernelMode, FALSE, &pause);
}
