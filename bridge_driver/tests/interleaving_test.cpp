// Another processor's cancel (the driver's walk, or the caller's own) or chunk
// completion at every kernel call of a three-chunk read's submission, of a
// cancel walk and of a chunk completion.
// Whatever the point, the request completes once, the device ends idle and no
// packet or table is left or touched after it is freed.
#include <functional>

#include "transfer_fixture.h"

namespace {

enum class Step { Submit, CancelWalk, CallerCancel, CompleteChunk };
enum class Ending { Whole, Cancelled, Either };

struct Interleaving {
  const char *what;
  sim::Completion completion;
  Step operation;
  Step other;
  Ending preempted;  // how the read ends when the other step ran inside the operation
};

class InterleavingTest : public TransferTest {
 protected:
  void run(sim::UsbBridge &bridge, Step step) {
    if (step == Step::Submit) request = send(IRP_MJ_READ, 3 * kChunk);
    if (step == Step::CancelWalk) {
      cancelFoundTransfer = extension(bridge)->TransferContext != nullptr;
      cancelsThatFoundATransfer += cancelFoundTransfer;
      KxCancelPendingIo(fdo(bridge));
    }
    if (step == Step::CallerCancel) {
      // The I/O manager cancels the caller's request, wherever it is.
      PIRP caller = extension(bridge)->TransferContext ? extension(bridge)->ReadWriteIrp : nullptr;
      cancelFoundTransfer = caller != nullptr;
      cancelsThatFoundATransfer += cancelFoundTransfer;
      if (caller) IoCancelIrp(caller);
    }
    if (step == Step::CompleteChunk) bridge.completeNext(kIn);
  }

  // 0 = no preemption; returns the kernel calls the operation made.
  unsigned runOnce(const Interleaving &c, unsigned point) {
    sim::platform().reset();
    EXPECT_EQ(pnp.loadDriver(DriverEntry, KX_POOL_TAG), STATUS_SUCCESS);
    sim::UsbBridge &bridge = openBridge();
    bridge.bulk.reads = sim::BulkMode::Pattern;
    request.reset();
    cancelFoundTransfer = false;
    if (c.operation != Step::Submit) {
      bridge.urbCompletion = sim::Completion::Manual;
      run(bridge, Step::Submit);
    }
    // The caller's own chunk is back: the driver holds the request for the rest.
    if (c.operation == Step::CallerCancel) bridge.completeNext(kIn);
    bridge.urbCompletion = c.completion;
    if (point) sim::platform().preemptAt(point, [&] { run(bridge, c.other); });
    unsigned before = sim::platform().kernelCalls;
    run(bridge, c.operation);
    unsigned calls = sim::platform().kernelCalls - before;
    EXPECT_FALSE(sim::platform().preemptionArmed()) << "the other processor never ran";
    // A cancelled request ends without the chunks the bus still holds.
    bool callerCancelled = c.operation == Step::CallerCancel || (c.other == Step::CallerCancel && point);
    if (callerCancelled && cancelFoundTransfer) {
      EXPECT_TRUE(request->waitForCompletion());
    }
    completeAll(bridge);
    expectFinished(bridge, request);
    EXPECT_EQ(request->information, bytesMoved(bridge)) << "only what the bus moved counts";
    bool whole = request->status == STATUS_SUCCESS && request->information == 3 * kChunk;
    bool cancelled = request->status == STATUS_CANCELLED && request->information < 3 * kChunk;
    EXPECT_TRUE(whole || cancelled) << std::hex << request->status << std::dec << ", " << request->information;
    bool cancels = c.operation == Step::CancelWalk || c.operation == Step::CallerCancel;
    Ending ending = point ? c.preempted : cancels ? Ending::Cancelled : Ending::Whole;
    // A cancel before the request claimed the device finds nothing to cancel.
    if (ending != Ending::Either) {
      EXPECT_EQ(cancelled, ending == Ending::Cancelled && cancelFoundTransfer);
    }
    return calls;
  }

  ULONG_PTR bytesMoved(sim::UsbBridge &bridge) {
    ULONG_PTR moved = 0;
    for (auto &urb : bridge.urbs())
      if (urb.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) moved += urb.bytesMoved;
    return moved;
  }

  std::shared_ptr<sim::UserRequest> request;
  bool cancelFoundTransfer = false;
  unsigned cancelsThatFoundATransfer = 0;
};

TEST_F(InterleavingTest, EveryPreemptionPointEndsWithOneCompletionAndNothingLeft) {
  const Interleaving cases[] = {
      {"cancel during submission, bus holding", sim::Completion::Manual, Step::Submit, Step::CancelWalk,
       Ending::Cancelled},
      // Chunks done before the cancel stay done; the rest are never sent.
      {"cancel during submission, bus completing at once", sim::Completion::Inline, Step::Submit, Step::CancelWalk,
       Ending::Either},
      // The cancel reaches chunk 0, the caller's packet, and the driver cancels the rest.
      {"the caller's cancel during submission, bus holding", sim::Completion::Manual, Step::Submit,
       Step::CallerCancel, Ending::Cancelled},
      {"completion during submission", sim::Completion::Manual, Step::Submit, Step::CompleteChunk, Ending::Whole},
      {"completion during the cancel walk", sim::Completion::Manual, Step::CancelWalk, Step::CompleteChunk,
       Ending::Cancelled},
      {"cancel during a completion", sim::Completion::Manual, Step::CompleteChunk, Step::CancelWalk,
       Ending::Cancelled},
      // From chunk 0's completion on, the driver holds the caller's request:
      // the caller's cancel must still end it, whenever it comes.
      {"the caller's cancel during chunk 0's completion", sim::Completion::Manual, Step::CompleteChunk,
       Step::CallerCancel, Ending::Cancelled},
      {"a completion during the caller's cancel of a held request", sim::Completion::Manual, Step::CallerCancel,
       Step::CompleteChunk, Ending::Cancelled},
  };
  for (const Interleaving &c : cases) {
    SCOPED_TRACE(c.what);
    cancelsThatFoundATransfer = 0;
    unsigned calls = runOnce(c, 0);
    ASSERT_GT(calls, 3u);
    RecordProperty(c.what, static_cast<int>(calls));
    for (unsigned point = 1; point <= calls; ++point) {
      SCOPED_TRACE("preempted at kernel call " + std::to_string(point) + " of " + std::to_string(calls));
      runOnce(c, point);
      if (HasFailure()) return;
    }
    if (c.operation == Step::CancelWalk || c.other == Step::CancelWalk || c.other == Step::CallerCancel ||
        c.operation == Step::CallerCancel) {
      EXPECT_GT(cancelsThatFoundATransfer, calls / 2);
    }
  }
}

// A read sent at every kernel call of a change of the device's state, or of
// another read's submission: it is refused, cancelled, or served on the pipes
// the bus has open now (the simulator reports a closed handle), the device
// is idle after a query, and a removal then completes with nothing left.
constexpr int kRead = -1;

struct GateCase {
  const char *what;
  std::vector<UCHAR> before;  // PnP requests sent first
  int operation;              // a PnP minor code, or kRead: a three-chunk read
  bool readInFlight;          // a held read is out when the operation begins
};

class GateTest : public TransferTest {
 protected:
  unsigned runOnce(const GateCase &c, unsigned point) {
    sim::platform().reset();
    EXPECT_EQ(pnp.loadDriver(DriverEntry, KX_POOL_TAG), STATUS_SUCCESS);
    sim::UsbBridge &bridge = openBridge();
    bridge.bulk.reads = sim::BulkMode::Pattern;
    std::shared_ptr<sim::UserRequest> first, slipped;
    if (c.readInFlight) first = send(IRP_MJ_READ, 2 * kChunk);
    for (UCHAR minor : c.before) EXPECT_EQ(pnp.send(bridge, minor), STATUS_SUCCESS);
    if (point) sim::platform().preemptAt(point, [&] { slipped = send(IRP_MJ_READ, kChunk); });
    unsigned before = sim::platform().kernelCalls;
    if (c.operation != kRead)
      EXPECT_EQ(pnp.send(bridge, UCHAR(c.operation)), STATUS_SUCCESS);
    else
      first = send(IRP_MJ_READ, 3 * kChunk);
    unsigned calls = sim::platform().kernelCalls - before;
    bool query = c.operation == IRP_MN_QUERY_STOP_DEVICE || c.operation == IRP_MN_QUERY_REMOVE_DEVICE;
    if (query) {
      EXPECT_EQ(extension(bridge)->TransferContext, nullptr) << "a read in flight after the query";
    }
    completeAll(bridge);
    for (auto &read : {first, slipped}) {
      if (!read) continue;
      EXPECT_TRUE(read->completed);
      EXPECT_TRUE(read->status == STATUS_SUCCESS || read->status == STATUS_CANCELLED ||
                  read->status == STATUS_DELETE_PENDING)
          << sim::statusName(read->status);
    }
    if (c.operation == kRead && slipped) {
      EXPECT_FALSE(first->status == STATUS_SUCCESS && slipped->status == STATUS_SUCCESS) << "two reads at once";
    }
    EXPECT_EQ(pnp.send(bridge, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    file.reset();
    expectAtRest();
    return calls;
  }
};

TEST_F(GateTest, AReadAtEveryKernelCallOfAStateChangeIsRefusedOrServedOnOpenPipes) {
  const GateCase cases[] = {
      {"another read's submission", {}, kRead, false},
      {"a queried stop with a read in flight", {}, IRP_MN_QUERY_STOP_DEVICE, true},
      {"a queried removal with a read in flight", {}, IRP_MN_QUERY_REMOVE_DEVICE, true},
      {"a stop", {IRP_MN_QUERY_STOP_DEVICE}, IRP_MN_STOP_DEVICE, false},
      {"a restart after a stop", {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}, IRP_MN_START_DEVICE, false},
  };
  for (const GateCase &c : cases) {
    SCOPED_TRACE(c.what);
    unsigned calls = runOnce(c, 0);
    ASSERT_GT(calls, 3u);
    for (unsigned point = 1; point <= calls; ++point) {
      SCOPED_TRACE("read sent at kernel call " + std::to_string(point) + " of " + std::to_string(calls));
      runOnce(c, point);
      if (HasFailure()) return;
    }
  }
}

}  // namespace
