// The driver on the threaded simulator: readers and writers on their own
// handles, a thread cancelling the transfer in flight, bus completions from
// the bus workers, and a surprise removal and removal while the handles still
// send. Every request completes once with a status it may end with; a request
// sent after the removal is refused; once the handles are closed nothing of
// the driver's is left.
#include <atomic>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "transfer_fixture.h"

namespace {

constexpr unsigned kReaders = 2;
constexpr unsigned kWriters = 2;
constexpr unsigned kRequestsPerThread = 100;
constexpr unsigned kCancels = 40;
constexpr ULONG kLongest = 3 * kChunk + kChunk / 2;

struct StressCase {
  const char *what;
  sim::BulkMode data;    // both pipes
  unsigned removeAfter;  // requests finished, all threads together, before the removal begins
  bool unplugged;        // the bridge leaves the bus first
  bool callerCancels;    // each thread cancels some of its requests (CancelIo) at a random moment
};

struct Sent {
  std::shared_ptr<sim::UserRequest> request;
  ULONG length;
  bool afterRemoval;  // sent once the removal had completed
};

class StressTest : public DriverTest {
 protected:
  // Requests of random lengths, each waited for as a synchronous ReadFile or WriteFile waits.
  std::vector<Sent> sendRequests(sim::UserFile file, UCHAR major, unsigned seed, bool cancels) {
    std::mt19937 random(seed);
    std::vector<UCHAR> buffer(kLongest);
    std::vector<Sent> sent;
    for (unsigned i = 0; i < kRequestsPerThread; ++i) {
      ULONG length = std::uniform_int_distribution<ULONG>(1, kLongest)(random);
      bool afterRemoval = removed;
      bool mapped = i % 2 == 0;
      auto request = major == IRP_MJ_READ ? file.read(buffer.data(), length, mapped)
                                          : file.write(buffer.data(), length, mapped);
      if (cancels && i % 3 == 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 300)(random)));
        request->cancel();
      }
      request->waitForCompletion();
      sent.push_back({request, length, afterRemoval});
      ++finished;
    }
    EXPECT_EQ(file.close(), STATUS_SUCCESS);
    return sent;
  }

  // Both ways of ending the transfer in flight, alternately, spread over the
  // requests; over before the removal, as only a request holding the remove
  // lock may reach the device once the removal begins.
  void cancelRepeatedly(PDEVICE_OBJECT device, unsigned until) {
    for (unsigned i = 0; i < kCancels && finished < until; ++i) {
      unsigned seen = finished;
      if (i % 2)
        KxCallAbortPipe(device, KX_SELECT_TRANSFER);
      else
        KxCancelPendingIo(device);
      while (finished == seen && finished < until) std::this_thread::yield();
    }
  }

  void removeWhenDue(sim::UsbBridge &bridge, const StressCase &c) {
    while (finished < c.removeAfter) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (c.unplugged) bridge.unplug();
    EXPECT_EQ(pnp.send(bridge, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(pnp.send(bridge, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    removed = true;
  }

  std::vector<Sent> run(sim::UsbBridge &bridge, const StressCase &c) {
    PDEVICE_OBJECT device = fdo(bridge);
    std::vector<std::vector<Sent>> results(kReaders + kWriters);
    std::vector<std::thread> senders;
    sim::ThreadedMode threaded;
    for (unsigned i = 0; i < kReaders + kWriters; ++i) {
      sim::UserFile file = sim::UserFile::open(u"\\DosDevices\\Harlen0");
      EXPECT_EQ(file.status(), STATUS_SUCCESS);
      UCHAR major = i < kReaders ? IRP_MJ_READ : IRP_MJ_WRITE;
      senders.emplace_back([this, &results, &c, i, major, file = std::move(file)]() mutable {
        results[i] = sendRequests(std::move(file), major, i + 1, c.callerCancels);
      });
    }
    std::thread canceller([this, device, &c] { cancelRepeatedly(device, c.removeAfter); });
    canceller.join();
    removeWhenDue(bridge, c);
    for (auto &sender : senders) sender.join();
    std::vector<Sent> all;
    for (auto &result : results) all.insert(all.end(), result.begin(), result.end());
    return all;
  }

  std::atomic<unsigned> finished{0};
  std::atomic<bool> removed{false};
};

TEST_F(StressTest, ConcurrentIoCancelsAndRemovalCompleteEveryRequestOnceAndLeaveNothing) {
  const unsigned total = (kReaders + kWriters) * kRequestsPerThread;
  const StressCase cases[] = {
      {"pattern data, unplug and removal near the end", sim::BulkMode::Pattern, total * 3 / 4, true, false},
      {"loopback data, removal mid-run with the bridge still there", sim::BulkMode::Loopback, total / 4, false,
       false},
      {"pattern data, the callers cancelling, removal near the end", sim::BulkMode::Pattern, total * 3 / 4, false,
       true},
  };
  const std::set<NTSTATUS> endings = {STATUS_SUCCESS, STATUS_CANCELLED, STATUS_DELETE_PENDING,
                                      STATUS_DEVICE_NOT_CONNECTED};
  for (const StressCase &c : cases) {
    SCOPED_TRACE(c.what);
    sim::platform().reset();
    ASSERT_EQ(pnp.loadDriver(DriverEntry, KX_POOL_TAG), STATUS_SUCCESS);
    sim::UsbBridge &bridge = plugAndStart();
    bridge.urbCompletion = sim::Completion::Deferred;
    bridge.bulk.reads = bridge.bulk.writes = c.data;
    finished = 0;
    removed = false;
    std::map<NTSTATUS, unsigned> counts;
    for (const Sent &sent : run(bridge, c)) {
      const sim::UserRequest &request = *sent.request;
      ++counts[request.status];
      EXPECT_TRUE(request.completed);
      EXPECT_EQ(request.completions(), 1u);
      EXPECT_TRUE(endings.count(request.status)) << sim::statusName(request.status);
      EXPECT_LE(request.information, sent.length);
      if (sent.afterRemoval) {
        EXPECT_EQ(request.returned, STATUS_DELETE_PENDING) << "a removed device took a request";
      }
    }
    std::cout << c.what << ": " << total << " requests";
    for (auto &entry : counts) std::cout << ", " << entry.second << " " << sim::statusName(entry.first);
    std::cout << "\n";
    EXPECT_GT(counts[STATUS_SUCCESS], 0u) << "no transfer went through the bus workers";
    auto &p = sim::platform();
    EXPECT_TRUE(p.pool.empty());
    EXPECT_TRUE(p.irps.empty());
    EXPECT_TRUE(p.devices.size() == 1 && p.deletedDevices.empty()) << "only the bridge's own device is left";
  }
}

}  // namespace
