// What the CPU benchmark relies on: the bus in Discard mode moves every byte
// without touching one, and the trace keeps nothing while it is off and
// formats nothing either.
#include "opened_bridge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

namespace {

// Every operator new of this program, counted: a text made on the request
// path shows as heap blocks per chunk.
std::atomic<unsigned long> allocations{0};

}  // namespace

void *operator new(size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void *block = malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}

void operator delete(void *block) noexcept { free(block); }
void operator delete(void *block, size_t) noexcept { free(block); }

namespace {

// Heap blocks taken by one read through the handle, until its request is freed.
unsigned long allocationsOfRead(OpenedBridge &opened, std::vector<UCHAR> &buffer, ULONG length) {
  const unsigned long before = allocations.load();
  auto request = opened.file().read(buffer.data(), length, true);
  sim::platform().runAllPendingWork();
  EXPECT_EQ(request->information, length);
  return allocations.load() - before;
}

TEST(OpenedBridgeTest, DiscardMovesEveryByteAndTouchesNoneWithTheTraceOff) {
  for (UCHAR major : {UCHAR(IRP_MJ_READ), UCHAR(IRP_MJ_WRITE)}) {
    SCOPED_TRACE(major == IRP_MJ_READ ? "read" : "write");
    {
      OpenedBridge opened(sim::Completion::Inline);
      ASSERT_TRUE(opened.ready());
      std::vector<UCHAR> buffer(3 * 0x20000 + 7, 0x5A);
      ULONG length = ULONG(buffer.size());
      auto request = major == IRP_MJ_READ ? opened.file().read(buffer.data(), length, true)
                                          : opened.file().write(buffer.data(), length, true);
      sim::platform().runAllPendingWork();
      EXPECT_EQ(request->status, STATUS_SUCCESS);
      EXPECT_EQ(request->information, length);
      EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0x5A), std::ptrdiff_t(length));
      EXPECT_TRUE(sim::platform().trace.lines().empty());
      EXPECT_TRUE(opened.ready());
    }
    EXPECT_TRUE(sim::platform().trace.enabled) << "left on for whoever runs next";
  }
}

// The bus records each URB and the I/O manager each IRP, about one heap block
// a chunk; a trace line or a finding's text made on the way would add at
// least one more for every chunk.
TEST(OpenedBridgeTest, QuietRequestMakesNoTextPerChunk) {
  OpenedBridge opened(sim::Completion::Inline);
  ASSERT_TRUE(opened.ready());
  const ULONG chunk = opened.pipe(kBulkIn)->MaximumTransferSize;
  const unsigned chunks = 64;
  std::vector<UCHAR> buffer(chunks * chunk);
  allocationsOfRead(opened, buffer, chunks * chunk);  // the bus's records and queues grow to size
  const unsigned long one = allocationsOfRead(opened, buffer, chunk);
  const unsigned long many = allocationsOfRead(opened, buffer, chunks * chunk);
  EXPECT_LT(double(many - one) / (chunks - 1), 2.0) << one << " blocks for one chunk, " << many << " for " << chunks;
  EXPECT_TRUE(opened.ready());
}

}  // namespace
