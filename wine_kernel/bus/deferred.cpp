// The bus completes requests later, at DISPATCH_LEVEL, from one DPC run by a
// periodic timer. Wine 8 runs no DPC queued with KeInsertQueueDpc, and
// KeSetTimer on a timer whose callback is running deadlocks its host: so the
// timer is set once, when the bus starts, and every millisecond the DPC looks
// whether work was asked for. One run at a time, so each pipe's transfers
// complete in order; work asked for while it runs makes it go round once more.
#include "bus.h"

static VOID NTAPI BusDpc(PKDPC, PVOID, PVOID, PVOID) {
  {
    BusLock guard;
    if (!TheBus.dpcArmed) return;
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

// With no lock held, from a thread that is not the DPC's.
void StartDeferred() {
  LARGE_INTEGER first;
  first.QuadPart = -10 * 1000;  // 1 ms from now
  KeSetTimerEx(&TheBus.timer, first, 1, &TheBus.dpc);
}

void StopDeferred() { KeCancelTimer(&TheBus.timer); }

void KickDpc() {
  BusLock guard;
  TheBus.dpcArmed = TRUE;
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
