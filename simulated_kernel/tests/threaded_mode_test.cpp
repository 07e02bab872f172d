// The threaded mode's primitives across real threads: a spin lock excludes,
// a wait blocks until another thread sets its event, and deferred work runs on
// a bus worker at DISPATCH_LEVEL. ThreadSanitizer checks the same runs.
#include <gtest/gtest.h>

#include <thread>

#include "sim/sim.h"

namespace {

using sim::platform;

class ThreadedModeTest : public ::testing::Test {
 protected:
  void SetUp() override { platform().reset(); }
  void TearDown() override {
    EXPECT_TRUE(platform().verifier.violations().empty()) << platform().trace.render({"verifier"});
    platform().reset();
  }
};

TEST_F(ThreadedModeTest, ASpinLockExcludesTheOtherThread) {
  const unsigned kRounds = 2000;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  unsigned counter = 0;  // plain: only the lock keeps the increments apart
  sim::ThreadedMode threaded;
  auto increment = [&] {
    for (unsigned i = 0; i < kRounds; ++i) {
      KIRQL irql;
      KeAcquireSpinLock(&lock, &irql);
      counter = counter + 1;
      KeReleaseSpinLock(&lock, irql);
    }
  };
  std::thread other(increment);
  increment();
  other.join();
  EXPECT_EQ(counter, 2 * kRounds);
}

TEST_F(ThreadedModeTest, AWaitBlocksUntilAnotherThreadSetsTheEvent) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  int handedOver = 0;
  sim::ThreadedMode threaded;
  std::thread setter([&] {
    handedOver = 42;
    KeSetEvent(&event, 0, FALSE);
  });
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(handedOver, 42);
  EXPECT_EQ(event.Header.SignalState, 0) << "a synchronization event resets as its wait ends";
  setter.join();
}

TEST_F(ThreadedModeTest, DeferredWorkRunsOnABusWorkerAtDispatchLevel) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  KIRQL workIrql = PASSIVE_LEVEL;
  std::thread::id workThread;
  sim::ThreadedMode threaded;
  platform().defer([&] {
    workIrql = KeGetCurrentIrql();
    workThread = std::this_thread::get_id();
    KeSetEvent(&done, 0, FALSE);
  });
  EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(workIrql, DISPATCH_LEVEL);
  EXPECT_NE(workThread, std::this_thread::get_id());
}

}  // namespace
