// The modelled bus's clock: a turnaround only when a pipe's queue has run
// dry, the line rate for every byte, and real transfers through the bridge.
#include "modelled_bus.h"

#include <gtest/gtest.h>

#include <vector>

#include "chunk_by_chunk.h"

namespace {

constexpr ULONG kChunk = 0x20000;
const double kChunkSeconds = kChunk / kHighSpeedBytesPerSecond;

struct ClockCase {
  const char *what;
  bool driver;  // the driver's read, or the stand-in's
  ULONG length;
  double turnaround;
  double elapsed;
};

TEST(ModelledBusTest, ElapsedTimeCountsTurnaroundsOnlyWhenAQueueRunsDry) {
  const ClockCase cases[] = {
      {"driver: every chunk queued, one turnaround", true, 8 * kChunk, 125e-6, 125e-6 + 8 * kChunkSeconds},
      {"driver: a short last chunk", true, 2 * kChunk + 1, 1e-3, 1e-3 + (2 * kChunk + 1) / kHighSpeedBytesPerSecond},
      {"stand-in: a turnaround per chunk", false, 8 * kChunk, 125e-6, 8 * (125e-6 + kChunkSeconds)},
      {"stand-in: no turnaround", false, 3 * kChunk, 0, 3 * kChunkSeconds},
  };
  std::vector<UCHAR> buffer(8 * kChunk);
  for (const ClockCase &c : cases) {
    SCOPED_TRACE(c.what);
    OpenedBridge opened(sim::Completion::Manual);
    ASSERT_TRUE(opened.ready());
    ModelledBus bus(opened, c.turnaround);
    std::shared_ptr<sim::UserRequest> request;
    ChunkByChunk reader(opened.bridge().pdo(), opened.pipe(kBulkIn)->PipeHandle, buffer.data(), c.length, kChunk);
    if (c.driver)
      request = opened.file().read(buffer.data(), c.length, true);
    else
      reader.start();
    ASSERT_TRUE(bus.runUntilIdle());
    EXPECT_NEAR(bus.now(), c.elapsed, 1e-12);
    EXPECT_NEAR(bus.payloadSeconds(), c.length / kHighSpeedBytesPerSecond, 1e-12);
    EXPECT_EQ(c.driver ? ULONG(request->information) : reader.moved(), c.length);
    EXPECT_EQ(opened.bridge().urbs().back().bytesMoved, c.length % kChunk ? c.length % kChunk : kChunk);
    EXPECT_TRUE(sim::platform().verifier.violations().empty());
  }
}

}  // namespace
