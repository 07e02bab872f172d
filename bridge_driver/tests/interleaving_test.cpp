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
    bridge.urbCompletion = c.completion;
    if (point) sim::platform().preemptAt(point, [&] { run(bridge, c.other); });
    unsigned before = sim::platform().kernelCalls;
    run(bridge, c.operation);
    unsigned calls = sim::platform().kernelCalls - before;
    EXPECT_FALSE(sim::platform().preemptionArmed()) << "the other processor never ran";
    // A cancelled request ends without the chunks the bus still holds.
    if (c.other == Step::CallerCancel && point && cancelFoundTransfer) {
      EXPECT_TRUE(request->waitForCompletion());
    }
    completeAll(bridge);
    expectFinished(bridge, request);
    bool whole = request->status == STATUS_SUCCESS && request->information == 3 * kChunk;
    bool cancelled = request->status == STATUS_CANCELLED && request->information < 3 * kChunk;
    EXPECT_TRUE(whole || cancelled) << std::hex << request->status << std::dec << ", " << request->information;
    Ending ending = point ? c.preempted : c.operation == Step::CancelWalk ? Ending::Cancelled : Ending::Whole;
    // A cancel before the request claimed the device finds nothing to cancel.
    if (ending != Ending::Either) {
      EXPECT_EQ(cancelled, ending == Ending::Cancelled && cancelFoundTransfer);
    }
    return calls;
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
    if (c.operation == Step::CancelWalk || c.other == Step::CancelWalk || c.other == Step::CallerCancel) {
      EXPECT_GT(cancelsThatFoundATransfer, calls / 2);
    }
  }
}

}  // namespace
