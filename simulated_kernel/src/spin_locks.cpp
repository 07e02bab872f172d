// Spin locks. The lock word is taken and given back atomically, and each
// thread keeps the set it holds, so the threaded mode spins on the word where
// the single simulated thread reports a lock nobody will release.
#include <algorithm>

#include "processor.h"

namespace sim {

HeldSpinLocks &heldSpinLocks() {
  thread_local HeldSpinLocks held;
  return held;
}

bool holdsSpinLock(PKSPIN_LOCK lock) {
  auto &held = heldSpinLocks();
  return std::find(held.begin(), held.end(), lock) != held.end();
}

bool takeLockWord(PKSPIN_LOCK lock) {
  if (__atomic_exchange_n(lock, 1, __ATOMIC_ACQUIRE) == 0) return true;
  if (!platform().threaded) return false;
  auto deadline = std::chrono::steady_clock::now() + kHangLimit;
  do {
    std::this_thread::yield();
    bool free = __atomic_load_n(lock, __ATOMIC_RELAXED) == 0;
    if (free && __atomic_exchange_n(lock, 1, __ATOMIC_ACQUIRE) == 0) return true;
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

}  // namespace sim

using sim::platform;

namespace {

std::string irqlChange(KIRQL from, KIRQL to) {
  return "IRQL " + std::to_string(from) + " -> " + std::to_string(to);
}

}  // namespace

extern "C" VOID KeInitializeSpinLock(PKSPIN_LOCK lock) {
  sim::kernelCall("KeInitializeSpinLock");
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
  platform().trace.add("ke", "KeInitializeSpinLock");
}

extern "C" VOID KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql) {
  sim::kernelCall("KeAcquireSpinLock");
  auto &p = platform();
  *oldIrql = p.irql;
  p.trace.add("ke",
              [&] { return "KeAcquireSpinLock, " + irqlChange(p.irql, std::max<KIRQL>(p.irql, DISPATCH_LEVEL)); });
  if (sim::holdsSpinLock(lock)) {
    p.verifier.violation("KeAcquireSpinLock on a spin lock this thread already holds: deadlock");
    return;
  }
  if (p.irql > DISPATCH_LEVEL) p.verifier.violation("KeAcquireSpinLock at IRQL " + std::to_string(p.irql));
  if (!sim::takeLockWord(lock))
    p.verifier.violation("KeAcquireSpinLock on a lock that is taken and never released, or never initialized: hang");
  sim::heldSpinLocks().push_back(lock);
  p.irql = std::max<KIRQL>(p.irql, DISPATCH_LEVEL);
}

extern "C" VOID KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
  sim::kernelCall("KeReleaseSpinLock");
  auto &p = platform();
  auto &held = sim::heldSpinLocks();
  p.trace.add("ke", [&] { return "KeReleaseSpinLock, " + irqlChange(p.irql, newIrql); });
  auto it = std::find(held.begin(), held.end(), lock);
  if (it == held.end()) {
    p.verifier.violation("KeReleaseSpinLock on a spin lock this thread does not hold");
    return;
  }
  held.erase(it);
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
  p.irql = newIrql;
  if (held.empty()) sim::releasedLastSpinLock();
}
