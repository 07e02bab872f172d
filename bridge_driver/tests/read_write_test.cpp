// Reads and writes: chunking, refusals, short and failing chunks, and every
// allocation of a transfer failed in turn.
#include "transfer_fixture.h"

namespace {

struct Chunking {
  UCHAR major;
  ULONG length;
  std::vector<ULONG> chunks;
  bool mapped;
};

class ReadWriteTest : public TransferTest {};

TEST_F(ReadWriteTest, RequestsAreCutIntoChunksAllQueuedBeforeReturn) {
  const Chunking cases[] = {
      {IRP_MJ_WRITE, kChunk, {kChunk}, true},
      {IRP_MJ_READ, kChunk + 1, {kChunk, 1}, false},
      {IRP_MJ_WRITE, 1, {1}, false},
      {IRP_MJ_READ, 3 * kChunk - 5, {kChunk, kChunk, kChunk - 5}, true},
  };
  for (const Chunking &c : cases) {
    SCOPED_TRACE(std::to_string(c.length) + (c.major == IRP_MJ_READ ? " read" : " written"));
    sim::platform().reset();
    ASSERT_EQ(pnp.loadDriver(DriverEntry, KX_POOL_TAG), STATUS_SUCCESS);
    sim::UsbBridge &bridge = openBridge();
    bridge.bulk = {sim::BulkMode::Pattern, sim::BulkMode::Pattern};
    buffer.assign(c.length, 0);
    for (ULONG i = 0; i < c.length; ++i) buffer[i] = c.major == IRP_MJ_WRITE ? sim::patternByte(i) : 0;
    size_t before = bridge.urbs().size();

    auto request = send(c.major, c.length, c.mapped);
    EXPECT_EQ(request->returned, STATUS_PENDING);
    UCHAR pipe = c.major == IRP_MJ_READ ? kIn : kOut;
    ASSERT_EQ(bridge.queued(pipe), c.chunks.size());
    EXPECT_EQ(allocatedIrps(), c.chunks.size() - 1) << "the first chunk travels in the caller's packet";
    for (size_t i = 0; i < c.chunks.size(); ++i) {
      const sim::UrbRecord &urb = bridge.urbs()[before + i];
      EXPECT_EQ(urb.function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
      EXPECT_EQ(urb.length, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
      EXPECT_EQ(urb.endpointAddress, pipe);
      EXPECT_EQ(urb.transferFlags, ULONG(USBD_SHORT_TRANSFER_OK));
      EXPECT_EQ(urb.transferBufferLength, c.chunks[i]);
      EXPECT_TRUE(urb.hasBuffer && !urb.hasMdl && !urb.hasLink);
    }
    completeAll(bridge);
    expectFinished(bridge, request);
    EXPECT_EQ(request->status, STATUS_SUCCESS);
    EXPECT_EQ(request->information, c.length);
    if (c.major == IRP_MJ_READ) {
      for (ULONG i = 0; i < c.length; ++i) ASSERT_EQ(buffer[i], sim::patternByte(i)) << "byte " << i;
    } else {
      EXPECT_FALSE(bridge.firstPatternMismatch(kOut).has_value());
    }
  }
}

struct Refusal {
  const char *what;
  UCHAR major;
  ULONG length;
  NTSTATUS status;
};

TEST_F(ReadWriteTest, RefusedRequestsCompleteAtOnceAndSendNothing) {
  const Refusal cases[] = {
      {"zero length", IRP_MJ_WRITE, 0, STATUS_DELETE_PENDING},
      // 32768 chunks do not fit the 16-bit chunk count.
      {"32768 chunks", IRP_MJ_READ, 32767 * kChunk + 1, STATUS_INVALID_PARAMETER},
      // In 32 bits the chunk count of this length wraps to 0.
      {"length near 4 GiB", IRP_MJ_WRITE, 0xFFFFFFFFu, STATUS_INVALID_PARAMETER},
  };
  sim::UsbBridge &bridge = openBridge();
  for (const Refusal &c : cases) {
    SCOPED_TRACE(c.what);
    auto request = send(c.major, c.length);
    EXPECT_EQ(request->returned, c.status);
    EXPECT_EQ(request->information, 0u);
    expectFinished(bridge, request);
    EXPECT_EQ(bulkUrbs(bridge), 0u);
  }
}

TEST_F(ReadWriteTest, RequestsOutsideTheStartedStateAreRefused) {
  sim::UsbBridge &bridge = openBridge();
  EXPECT_EQ(pnp.send(bridge, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(send(IRP_MJ_READ, 512)->returned, STATUS_DELETE_PENDING);
  EXPECT_EQ(pnp.send(bridge, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
  auto accepted = send(IRP_MJ_READ, 512);
  EXPECT_EQ(accepted->returned, STATUS_PENDING);
  completeAll(bridge);
  expectFinished(bridge, accepted);
  EXPECT_EQ(pnp.stop(bridge), STATUS_SUCCESS);
  EXPECT_EQ(send(IRP_MJ_WRITE, 512)->returned, STATUS_DELETE_PENDING);
}

TEST_F(ReadWriteTest, TheLargestRequestIsQueuedAs32767Chunks) {
  sim::UsbBridge &bridge = openBridge();
  bridge.bulk.reads = sim::BulkMode::Hold;
  auto request = send(IRP_MJ_READ, 32767 * kChunk);  // no buffer behind it: the bus holds every chunk
  EXPECT_EQ(request->returned, STATUS_PENDING);
  EXPECT_EQ(bridge.queued(kIn), 32767u);
  EXPECT_EQ(KxCallAbortPipe(fdo(bridge), KX_SELECT_TRANSFER), STATUS_SUCCESS);
  expectFinished(bridge, request);
  EXPECT_EQ(request->status, STATUS_CANCELLED);
  EXPECT_EQ(request->information, 0u);
}

TEST_F(ReadWriteTest, ASecondRequestWhileOneIsInFlightIsRefused) {
  sim::UsbBridge &bridge = openBridge();
  auto write = send(IRP_MJ_WRITE, 2 * kChunk);
  auto read = send(IRP_MJ_READ, 512);
  EXPECT_EQ(read->returned, STATUS_DELETE_PENDING);
  EXPECT_TRUE(read->completed);
  completeAll(bridge);
  expectFinished(bridge, write);
  EXPECT_EQ(write->status, STATUS_SUCCESS);
  EXPECT_EQ(write->information, 2 * kChunk);
  auto again = send(IRP_MJ_READ, 2 * kChunk);
  EXPECT_EQ(again->returned, STATUS_PENDING) << "idle again after the last chunk";
  completeAll(bridge);
  expectFinished(bridge, again);
  EXPECT_EQ(again->information, 2 * kChunk) << "loop back of what was written";
}

TEST_F(ReadWriteTest, ABridgeWithoutBulkInRefusesReadsButWrites) {
  sim::BridgeSetup setup = sim::BridgeSetup::standard();
  setup.configSet = sim::BridgeSetup::configSetWith({{kOut, USB_ENDPOINT_TYPE_BULK}});
  sim::UsbBridge &bridge = openBridge(setup);
  EXPECT_EQ(send(IRP_MJ_READ, 512)->returned, STATUS_DELETE_PENDING);
  auto write = send(IRP_MJ_WRITE, 512);
  completeAll(bridge);
  expectFinished(bridge, write);
  EXPECT_EQ(write->status, STATUS_SUCCESS);
}

struct ChunkOutcome {
  const char *what;
  sim::BulkMode mode;
  ULONG length;
  NTSTATUS status;
  ULONG_PTR information;
  bool stallAfterShort = false;
};

TEST_F(ReadWriteTest, ShortAndFailingChunksDecideStatusAndInformation) {
  const ChunkOutcome cases[] = {
      // A short chunk is a success; the chunks after it read on in the stream.
      {"short first chunk", sim::BulkMode::Short, kChunk + 1, STATUS_SUCCESS, 100 + 1},
      {"stalled pipe", sim::BulkMode::Stall, 2 * kChunk, STATUS_UNSUCCESSFUL, 0},
      // The bytes a failing chunk moved before the stall are in the caller's buffer.
      {"first chunk stalls after 100 bytes", sim::BulkMode::Short, 2 * kChunk, STATUS_UNSUCCESSFUL, 100, true},
  };
  for (const ChunkOutcome &c : cases) {
    SCOPED_TRACE(c.what);
    sim::platform().reset();
    ASSERT_EQ(pnp.loadDriver(DriverEntry, KX_POOL_TAG), STATUS_SUCCESS);
    sim::UsbBridge &bridge = openBridge();
    bridge.bulk.reads = c.mode;
    bridge.bulk.shortLength = 100;
    bridge.bulk.stallAfterShort = c.stallAfterShort;
    auto request = send(IRP_MJ_READ, c.length);
    completeAll(bridge);
    expectFinished(bridge, request);
    EXPECT_EQ(request->status, c.status);
    EXPECT_EQ(request->information, c.information);
  }
}

// Allocations of a three-chunk read: the table, then a packet for each chunk after the first.
TEST_F(ReadWriteTest, EachFailedAllocationEndsTheRequestOnceWithAFailure) {
  struct Expected {
    NTSTATUS returned;
    ULONG_PTR information;
    size_t chunksSent;
  };
  const Expected expected[] = {
      {STATUS_INSUFFICIENT_RESOURCES, 0, 0},
      {STATUS_PENDING, kChunk, 1},
      {STATUS_PENDING, 2 * kChunk, 2},
  };
  for (sim::Completion completion : {sim::Completion::Inline, sim::Completion::Manual}) {
    for (unsigned failing = 1; failing <= 3; ++failing) {
      SCOPED_TRACE("allocation " + std::to_string(failing));
      sim::platform().reset();
      ASSERT_EQ(pnp.loadDriver(DriverEntry, KX_POOL_TAG), STATUS_SUCCESS);
      sim::UsbBridge &bridge = openBridge();
      bridge.urbCompletion = completion;
      bridge.bulk.reads = sim::BulkMode::Pattern;
      sim::platform().faults.failAllocation(failing);
      auto request = send(IRP_MJ_READ, 3 * kChunk);
      completeAll(bridge);
      expectFinished(bridge, request);
      const Expected &want = expected[failing - 1];
      EXPECT_EQ(request->returned, want.returned);
      EXPECT_EQ(request->status, STATUS_INSUFFICIENT_RESOURCES);
      EXPECT_EQ(request->information, want.information);
      EXPECT_EQ(bulkUrbs(bridge), want.chunksSent);
    }
  }
}

}  // namespace
