// The threaded mode's bus workers: they run the deferred work as DPCs on
// other processors would, at DISPATCH_LEVEL, until the mode ends and nothing
// is left queued.
#include "sim/platform.h"

namespace sim {

ThreadedMode::ThreadedMode(unsigned busWorkers) {
  platform().threaded = true;
  for (unsigned i = 0; i < busWorkers; ++i) workers_.emplace_back([this] { serve(); });
}

ThreadedMode::~ThreadedMode() {
  {
    PlatformLock guard;
    stopping_ = true;
    platform().changed.notify_all();
  }
  for (auto &worker : workers_) worker.join();
  platform().threaded = false;
}

// Work queued by other work is seen by the worker that ran it, so the last
// one to leave leaves nothing behind.
void ThreadedMode::serve() {
  auto &p = platform();
  Platform::irql = DISPATCH_LEVEL;
  for (;;) {
    std::function<void()> work;
    {
      PlatformLock guard;
      p.changed.wait(guard, [&] { return stopping_ || !p.pendingWork.empty(); });
      if (p.pendingWork.empty()) return;
      work = std::move(p.pendingWork.front());
      p.pendingWork.pop_front();
    }
    leavingPlatform();
    work();
  }
}

}  // namespace sim
