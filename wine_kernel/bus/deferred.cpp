// The bus completes requests later, at DISPATCH_LEVEL, from one DPC run by a
// periodic timer. Wine 8 runs no DPC queued with KeInsertQueueDpc, and
// KeSetTimer on a timer whose callback is running deadlocks its host: so the
// timer is set once, when the bus starts, and every millisecond the DPC looks
// whether work was asked for. One run at a time, so each pipe's transfers
// complete in order; work asked for while it runs makes it go round once more.
//
// Wine calls the timer's routine from its thread pool every period whether
// the last call has returned or not, adding a pool thread whenever all are
// busy, and its spin locks spin without yielding. So the run and the
// requests for work are marked with interlocked operations, not under the bus
// lock: a tick that finds a run under way leaves at once. Ticks that queued
// for the lock behind a long run would each hold a thread spinning, and on
// two processors the threads would multiply faster than the run could end.
#include "bus.h"

static VOID NTAPI BusDpc(PKDPC, PVOID, PVOID, PVOID) {
  if (InterlockedCompareExchange(&TheBus.dpcRunning, 1, 0) != 0) return;
  while (InterlockedExchange(&TheBus.dpcArmed, 0) != 0) {
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
  }
  // Work asked for from here on waits for the next tick.
  InterlockedExchange(&TheBus.dpcRunning, 0);
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

void KickDpc() { InterlockedExchange(&TheBus.dpcArmed, 1); }

bool DpcBusy() {
  return InterlockedCompareExchange(&TheBus.dpcArmed, 0, 0) != 0 ||
         InterlockedCompareExchange(&TheBus.dpcRunning, 0, 0) != 0;
}

void WaitForDpcIdle() {
  LARGE_INTEGER pause;
  pause.QuadPart = -10 * 1000 * 5;  // 5 ms
  while (DpcBusy()) KeDelayExecutionThread(KernelMode, FALSE, &pause);
}
