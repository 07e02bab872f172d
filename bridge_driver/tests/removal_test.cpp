// Queried stops and removals, surprise removal and removal with a transfer in
// flight and a handle open: new requests are held before the cancel, and the
// device object outlives every request that can still reach it.
#include <atomic>
#include <thread>

#include "transfer_fixture.h"

namespace {

class RemovalTest : public TransferTest {};

TEST_F(RemovalTest, AQueryHoldsNewRequestsBeforeItCancelsTheOneInFlight) {
  const std::pair<UCHAR, UCHAR> queries[] = {{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE},
                                             {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}};
  for (auto [query, cancel] : queries) {
    SCOPED_TRACE(sim::pnpMinorName(query));
    sim::platform().reset();
    ASSERT_EQ(pnp.loadDriver(DriverEntry, KX_POOL_TAG), STATUS_SUCCESS);
    sim::UsbBridge &bridge = openBridge();
    bridge.bulk.reads = sim::BulkMode::Hold;
    auto read = send(IRP_MJ_READ, 2 * kChunk);
    std::shared_ptr<sim::UserRequest> slipped;
    bridge.onRequest = [&](const sim::BusRequest &request) {
      auto urb = static_cast<PURB>(request.argument1);
      if (!slipped && urb && urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) slipped = send(IRP_MJ_WRITE, 64);
    };
    EXPECT_EQ(pnp.send(bridge, query), STATUS_SUCCESS);
    ASSERT_TRUE(slipped);
    EXPECT_EQ(slipped->returned, STATUS_DELETE_PENDING) << "a write sent as the cancel began";
    expectFinished(bridge, read);
    EXPECT_EQ(read->status, STATUS_CANCELLED);
    bridge.onRequest = nullptr;
    EXPECT_EQ(pnp.send(bridge, cancel), STATUS_SUCCESS);
    EXPECT_TRUE(KxCanAcceptIoRequests(extension(bridge)));
  }
}

struct Removal {
  const char *what;
  bool unplugged;  // the bridge left the bus before the PnP manager knew
  bool surprise;   // a surprise removal came before the removal
  NTSTATUS readStatus;
};

TEST_F(RemovalTest, ARemovedDeviceOutlivesItsHandleAndRefusesWhatStillReachesIt) {
  const Removal cases[] = {
      {"unplugged, then surprise removal and removal", true, true, STATUS_DEVICE_NOT_CONNECTED},
      {"surprise removal and removal", false, true, STATUS_CANCELLED},
      // As Windows 98 sends an unplug: the removal alone.
      {"removal alone", false, false, STATUS_CANCELLED},
  };
  for (const Removal &c : cases) {
    SCOPED_TRACE(c.what);
    sim::platform().reset();
    ASSERT_EQ(pnp.loadDriver(DriverEntry, KX_POOL_TAG), STATUS_SUCCESS);
    sim::UsbBridge &bridge = openBridge();
    bridge.bulk.reads = sim::BulkMode::Hold;
    PDEVICE_OBJECT device = fdo(bridge);
    auto read = send(IRP_MJ_READ, 2 * kChunk);
    if (c.unplugged) bridge.unplug();
    if (c.surprise) {
      EXPECT_EQ(pnp.send(bridge, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
      EXPECT_EQ(fdo(bridge), device) << "still on the stack until the removal";
      EXPECT_EQ(sim::UserFile::open(u"\\DosDevices\\Harlen0").status(), STATUS_OBJECT_NAME_NOT_FOUND);
      EXPECT_EQ(send(IRP_MJ_READ, 64)->returned, STATUS_DELETE_PENDING);
    }
    EXPECT_EQ(pnp.send(bridge, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(fdo(bridge), nullptr);
    EXPECT_TRUE(sim::platform().symbolicLinks.empty());
    expectFinished(bridge, read);
    EXPECT_EQ(read->status, c.readStatus);
    // The handle still reaches the deleted device's dispatch routines.
    EXPECT_EQ(send(IRP_MJ_WRITE, 64)->returned, STATUS_DELETE_PENDING);
    EXPECT_EQ(file->close(), STATUS_SUCCESS);
  }
}

// A request inside the driver when the removal begins, standing for any that
// holds the remove lock: the device object is deleted only after it leaves.
TEST_F(RemovalTest, RemovalWaitsForTheLastRequestInsideTheDriver) {
  sim::UsbBridge &bridge = plugAndStart();
  PKxDeviceExtension ext = extension(bridge);
  ASSERT_TRUE(KxAcquireIo(ext));
  bool leftBeforeDeletion = false;
  // Runs when the removal first waits; a removal that did not wait runs it after the deletion.
  sim::platform().defer([&] {
    leftBeforeDeletion = fdo(bridge) != nullptr;
    if (leftBeforeDeletion) KxReleaseIo(ext);
  });
  EXPECT_EQ(pnp.send(bridge, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_TRUE(leftBeforeDeletion) << "the device was deleted with a request still inside";
}

struct HeldControlCase {
  const char *what;
  std::vector<UCHAR> removal;  // as the PnP manager sends it
};

// The bridge never answers a vendor read. Disabling the device, or its
// removal, still completes: the driver cancels its own waiting request, so
// the device-control request ends (STATUS_CANCELLED) and lets go of the
// remove lock the removal waits for.
TEST_F(RemovalTest, RemovalEndsADeviceControlTheBridgeNeverAnswers) {
  const HeldControlCase cases[] = {
      {"disabled: queried removal, then removal", {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}},
      {"surprise removal, then removal", {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}},
      {"removal alone, as Windows 98 sends it", {IRP_MN_REMOVE_DEVICE}},
  };
  constexpr ULONG kVendorRead = (0x8000u << 16) | (0x803u << 2);
  for (const HeldControlCase &c : cases) {
    SCOPED_TRACE(c.what);
    sim::platform().reset();
    ASSERT_EQ(pnp.loadDriver(DriverEntry, KX_POOL_TAG), STATUS_SUCCESS);
    sim::UsbBridge &bridge = openBridge();
    bridge.vendor.held = {sim::ControlRequest::Vendor4};
    std::atomic<bool> arrived{false};
    bridge.onRequest = [&](const sim::BusRequest &request) {
      auto urb = static_cast<PURB>(request.argument1);
      if (urb && urb->UrbHeader.Function == URB_FUNCTION_VENDOR_DEVICE) arrived = true;
    };
    const ULONG input[2] = {0x1234, 8};
    UCHAR answer[8] = {};
    std::shared_ptr<sim::UserRequest> control;
    {
      sim::ThreadedMode threaded;
      std::thread caller([&] {
        control = file->deviceControl(kVendorRead, input, sizeof input, answer, sizeof answer);
        control->waitForCompletion();
      });
      while (!arrived) std::this_thread::yield();
      for (UCHAR minor : c.removal) EXPECT_EQ(pnp.send(bridge, minor), STATUS_SUCCESS) << sim::pnpMinorName(minor);
      caller.join();
    }
    bridge.onRequest = nullptr;
    ASSERT_TRUE(control && control->completed);
    EXPECT_EQ(control->completions(), 1u);
    EXPECT_EQ(control->status, STATUS_CANCELLED);
    EXPECT_EQ(control->information, 0u);
    EXPECT_EQ(fdo(bridge), nullptr);
    file.reset();
    expectAtRest();
  }
}

}  // namespace
