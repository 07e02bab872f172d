// Abort selectors against the transfer in flight, on the virtual clock; the
// stall clearing and the conditional port reset.
#include "transfer_fixture.h"

namespace {

constexpr uint64_t kMs = 10000;

struct PipeStep {
  USHORT function;
  UCHAR pipe;
  uint64_t atMs;
};

struct AbortCase {
  const char *what;
  UCHAR major;  // 0: nothing in flight
  ULONG selector;
  std::vector<PipeStep> steps;
  bool requestEnds;
};

class RecoveryTest : public TransferTest {
 protected:
  std::vector<PipeStep> pipeSteps(sim::UsbBridge &bridge, size_t from) {
    std::vector<PipeStep> steps;
    for (size_t i = from; i < bridge.urbs().size(); ++i) {
      USHORT function = bridge.urbs()[i].function;
      if (function == URB_FUNCTION_ABORT_PIPE || function == URB_FUNCTION_RESET_PIPE)
        steps.push_back({function, bridge.urbs()[i].endpointAddress, stepTimes[i - from]});
    }
    return steps;
  }
  std::vector<uint64_t> stepTimes;
};

TEST_F(RecoveryTest, SelectorsAbortAndResetOnlyWhileATransferIsInFlight) {
  const USHORT abort = URB_FUNCTION_ABORT_PIPE, reset = URB_FUNCTION_RESET_PIPE;
  const AbortCase cases[] = {
      {"transfer selector, idle: at once", 0, KX_SELECT_TRANSFER, {}, false},
      {"IN selector during a read", IRP_MJ_READ, KX_SELECT_IN, {{abort, kIn, 500}, {reset, kIn, 1000}}, true},
      // The IN abort ends the read: the OUT pipe is left alone.
      {"transfer selector during a read", IRP_MJ_READ, KX_SELECT_TRANSFER, {{abort, kIn, 500}, {reset, kIn, 1000}},
       true},
      {"OUT selector during a read", IRP_MJ_READ, KX_SELECT_OUT, {{abort, kOut, 500}, {reset, kOut, 1000}}, false},
      // The idle IN pipe first, then the OUT pipe that ends the write.
      {"transfer selector during a write",
       IRP_MJ_WRITE,
       KX_SELECT_TRANSFER,
       {{abort, kIn, 500}, {reset, kIn, 1000}, {abort, kOut, 1500}, {reset, kOut, 2000}},
       true},
  };
  for (const AbortCase &c : cases) {
    SCOPED_TRACE(c.what);
    sim::platform().reset();
    ASSERT_EQ(pnp.loadDriver(DriverEntry, KX_POOL_TAG), STATUS_SUCCESS);
    sim::UsbBridge &bridge = openBridge();
    bridge.bulk = {sim::BulkMode::Hold, sim::BulkMode::Hold};
    std::shared_ptr<sim::UserRequest> request;
    if (c.major) request = send(c.major, 2 * kChunk);
    size_t from = bridge.urbs().size();
    uint64_t start = sim::platform().now;
    stepTimes.clear();
    bridge.onRequest = [&](const sim::BusRequest &) { stepTimes.push_back((sim::platform().now - start) / kMs); };

    EXPECT_EQ(KxCallAbortPipe(fdo(bridge), c.selector), STATUS_SUCCESS);
    std::vector<PipeStep> seen = pipeSteps(bridge, from);
    ASSERT_EQ(seen.size(), c.steps.size());
    for (size_t i = 0; i < seen.size(); ++i) {
      EXPECT_EQ(seen[i].function, c.steps[i].function) << "step " << i;
      EXPECT_EQ(seen[i].pipe, c.steps[i].pipe) << "step " << i;
      EXPECT_EQ(seen[i].atMs, c.steps[i].atMs) << "step " << i;
    }
    uint64_t elapsed = c.steps.empty() ? 0 : c.steps.back().atMs;
    EXPECT_EQ((sim::platform().now - start) / kMs, elapsed);
    if (!request) continue;
    sim::platform().runAllPendingWork();
    EXPECT_EQ(request->completed, c.requestEnds);
    if (!c.requestEnds) {
      ASSERT_EQ(KxCallAbortPipe(fdo(bridge), KX_SELECT_TRANSFER), STATUS_SUCCESS);
    }
    expectFinished(bridge, request);
    EXPECT_EQ(request->status, STATUS_CANCELLED);
  }
}

TEST_F(RecoveryTest, AnAbortedReadKeepsTheBytesMovedBeforeIt) {
  sim::UsbBridge &bridge = openBridge();
  bridge.bulk.reads = sim::BulkMode::Pattern;
  auto read = send(IRP_MJ_READ, 3 * kChunk);
  ASSERT_TRUE(bridge.completeNext(kIn));
  EXPECT_EQ(KxCallAbortPipe(fdo(bridge), KX_SELECT_IN), STATUS_SUCCESS);
  expectFinished(bridge, read);
  EXPECT_EQ(read->status, STATUS_CANCELLED);
  EXPECT_EQ(read->information, kChunk);
  EXPECT_EQ(KxCallAbortPipe(fdo(bridge), 4), STATUS_INVALID_PARAMETER);
}

TEST_F(RecoveryTest, ClearStallSendsTheEndpointHaltFeature) {
  sim::UsbBridge &bridge = openBridge();
  EXPECT_EQ(KxClearStall(fdo(bridge), 0xABCD0081), STATUS_SUCCESS);
  const sim::UrbRecord &urb = bridge.urbs().back();
  EXPECT_EQ(urb.function, URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT);
  EXPECT_EQ(urb.length, sizeof(_URB_CONTROL_FEATURE_REQUEST));
  EXPECT_EQ(urb.featureSelector, USB_FEATURE_ENDPOINT_STALL);
  EXPECT_EQ(urb.featureIndex, 0x81);
}

TEST_F(RecoveryTest, ThePortIsResetOnlyWhenConnectedButNotEnabled) {
  struct PortCase {
    ULONG status;
    unsigned resets;
  };
  const PortCase cases[] = {
      {USBD_PORT_CONNECTED | USBD_PORT_ENABLED, 0},
      {USBD_PORT_ENABLED, 0},
      {0, 0},
      {USBD_PORT_CONNECTED, 1},
  };
  sim::UsbBridge &bridge = openBridge();
  for (const PortCase &c : cases) {
    SCOPED_TRACE("port status " + std::to_string(c.status));
    unsigned before = bridge.portResets();
    bridge.portStatus = c.status;
    EXPECT_EQ(KxResetDevice(fdo(bridge)), STATUS_SUCCESS);
    EXPECT_EQ(bridge.portResets() - before, c.resets);
  }
}

}  // namespace
