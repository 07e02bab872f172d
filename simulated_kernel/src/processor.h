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

// Takes a spin lock's word. A word taken by another thread is waited for in
// the threaded mode, at most kHangLimit; in the deterministic mode nobody
// would release it. False when the word was not obtained.
bool takeLockWord(PKSPIN_LOCK lock);
bool holdsSpinLock(PKSPIN_LOCK lock);

// KeReleaseSpinLock calls this when the thread holds no spin lock any more:
// an action that waited for it runs now.
void releasedLastSpinLock();

}  // namespace sim
