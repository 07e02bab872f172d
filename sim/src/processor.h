// What the spin locks and the preemption points share: the spin locks the
// running processor holds. Internal to the simulator.
#pragma once

#include <vector>

#include "sim/platform.h"

namespace sim {

// Per thread, so that a threaded mode can make the locks real: each thread
// then holds its own set.
using HeldSpinLocks = std::vector<PKSPIN_LOCK>;
HeldSpinLocks &heldSpinLocks();

// KeReleaseSpinLock calls this when the thread holds no spin lock any more:
// an action that waited for it runs now.
void releasedLastSpinLock();

}  // namespace sim
