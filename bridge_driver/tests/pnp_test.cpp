// Adding a device and carrying it through the PnP requests.
#include "driver_fixture.h"

namespace {

class PnpTest : public DriverTest {
 protected:
  bool busSaw(sim::UsbBridge &bridge, UCHAR minor) {
    for (auto &request : bridge.requests())
      if (request.major == IRP_MJ_PNP && request.minor == minor) return true;
    return false;
  }
  size_t deconfigurations(sim::UsbBridge &bridge) {
    size_t count = 0;
    for (auto &urb : bridge.urbs()) count += urb.function == URB_FUNCTION_SELECT_CONFIGURATION && urb.nullConfiguration;
    return count;
  }
  void expectGone(sim::UsbBridge &bridge) {
    auto &p = sim::platform();
    EXPECT_EQ(fdo(bridge), nullptr);
    EXPECT_EQ(pnp.driver()->DeviceObject, nullptr);
    EXPECT_TRUE(p.symbolicLinks.empty());
    EXPECT_FALSE(p.deviceNames.count(u"\\Device\\Harlen0"));
  }
};

TEST_F(PnpTest, AddDeviceCreatesNamedLinkedAttachedDevice) {
  sim::UsbBridge &bridge = plugAndAdd();
  PDEVICE_OBJECT device = fdo(bridge);
  ASSERT_NE(device, nullptr);
  auto &p = sim::platform();
  EXPECT_EQ(p.deviceNames[u"\\Device\\Harlen0"], device);
  EXPECT_EQ(p.symbolicLinks[u"\\DosDevices\\Harlen0"], u"\\Device\\Harlen0");
  EXPECT_EQ(device->DeviceType, ULONG(FILE_DEVICE_UNKNOWN));
  EXPECT_EQ(device->Characteristics, ULONG(FILE_DEVICE_SECURE_OPEN));
  EXPECT_EQ(device->Flags & (DO_DIRECT_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING),
            ULONG(DO_DIRECT_IO | DO_POWER_PAGABLE));
  EXPECT_EQ(device->StackSize, 2);
  PKxDeviceExtension ext = extension(bridge);
  EXPECT_EQ(ext->LowerDeviceObject, bridge.pdo());
  EXPECT_EQ(ext->NameDigit, WCHAR('0'));
  EXPECT_FALSE(ext->DeviceStarted || ext->HoldIoRequests || ext->DeviceRemoved);
  EXPECT_EQ(ext->TransferContext, nullptr);
  EXPECT_EQ(ext->CurrentDevicePowerState, PowerDeviceUnspecified);
  EXPECT_TRUE(bridge.requests().empty()) << "adding sends nothing to the bus";
  pnp.remove(bridge);
}

TEST_F(PnpTest, AddDeviceWithoutPhysicalDeviceFails) {
  EXPECT_EQ(KxPnpAddDevice(pnp.driver(), nullptr), STATUS_NO_MORE_ENTRIES);
  EXPECT_TRUE(sim::platform().deviceNames.empty());
}

TEST_F(PnpTest, AddDeviceWhoseLinkIsTakenDeletesTheDevice) {
  sim::platform().symbolicLinks[u"\\DosDevices\\Harlen0"] = u"\\Device\\Elsewhere";
  sim::UsbBridge &bridge = pnp.plug(sim::BridgeSetup::standard());
  EXPECT_EQ(pnp.addDevice(bridge), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(fdo(bridge), nullptr);
  EXPECT_EQ(pnp.driver()->DeviceObject, nullptr);
  EXPECT_EQ(sim::platform().symbolicLinks.size(), 1u);
  sim::platform().symbolicLinks.clear();
}

TEST_F(PnpTest, AddDeviceThatCannotAttachLeavesNothingBehind) {
  sim::UsbBridge &bridge = pnp.plug(sim::BridgeSetup::standard());
  bridge.refuseAttach = true;
  EXPECT_EQ(pnp.addDevice(bridge), STATUS_NO_SUCH_DEVICE);
  expectGone(bridge);
  EXPECT_TRUE(sim::platform().pool.empty());
}

TEST_F(PnpTest, IoIsHeldBeforeTheStartGoesDownAndBeforeAQueryGoesDown) {
  sim::UsbBridge &bridge = plugAndAdd();
  std::vector<std::pair<UCHAR, bool>> heldWhenSeen;
  bridge.onRequest = [&](const sim::BusRequest &request) {
    if (request.major == IRP_MJ_PNP) heldWhenSeen.push_back({request.minor, extension(bridge)->HoldIoRequests != 0});
  };
  ASSERT_EQ(pnp.send(bridge, IRP_MN_START_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(pnp.send(bridge, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  bridge.onRequest = nullptr;
  std::vector<std::pair<UCHAR, bool>> expected = {{IRP_MN_START_DEVICE, true}, {IRP_MN_QUERY_REMOVE_DEVICE, true}};
  EXPECT_EQ(heldWhenSeen, expected);
  pnp.send(bridge, IRP_MN_REMOVE_DEVICE);
}

TEST_F(PnpTest, StartThatTheBusNeverCompletesIsReportedAsAHang) {
  sim::UsbBridge &bridge = pnp.plug(sim::BridgeSetup::standard());
  bridge.startCompletion = sim::Completion::Never;
  ASSERT_EQ(pnp.addDevice(bridge), STATUS_SUCCESS);
  pnp.send(bridge, IRP_MN_START_DEVICE);
  // The driver's wait cannot end; once it gives up, the request is still the bus's.
  auto &violations = sim::platform().verifier.violations();
  ASSERT_EQ(violations.size(), 2u);
  EXPECT_NE(violations[0].find("hang"), std::string::npos) << violations[0];
  EXPECT_EQ(violations[1], "IRP_MN_START_DEVICE was never completed");
  sim::platform().verifier.clear();
  requestLeftWithTheBus = true;
}

TEST_F(PnpTest, StartRunsTheDriversStartEvenWhenTheLowerDriversFail) {
  sim::UsbBridge &bridge = pnp.plug(sim::BridgeSetup::standard());
  bridge.startStatus = STATUS_UNSUCCESSFUL;
  ASSERT_EQ(pnp.addDevice(bridge), STATUS_SUCCESS);
  EXPECT_EQ(pnp.send(bridge, IRP_MN_START_DEVICE), STATUS_SUCCESS);
  EXPECT_TRUE(extension(bridge)->DeviceStarted);
  EXPECT_EQ(bridge.urbs().size(), 4u);
  pnp.remove(bridge);
}

TEST_F(PnpTest, QueryStopOnDeviceNeverStartedOnlyGoesDown) {
  sim::UsbBridge &bridge = plugAndAdd();
  EXPECT_EQ(pnp.send(bridge, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_TRUE(busSaw(bridge, IRP_MN_QUERY_STOP_DEVICE));
  EXPECT_FALSE(extension(bridge)->HoldIoRequests);
  EXPECT_EQ(pnp.send(bridge, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_TRUE(busSaw(bridge, IRP_MN_CANCEL_STOP_DEVICE));
  EXPECT_TRUE(bridge.urbs().empty());
  pnp.remove(bridge);
}

TEST_F(PnpTest, QueriedStopHoldsIoUntilCancelled) {
  sim::UsbBridge &bridge = plugAndStart();
  EXPECT_EQ(pnp.send(bridge, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_FALSE(KxCanAcceptIoRequests(extension(bridge)));
  EXPECT_TRUE(extension(bridge)->DeviceStarted);
  EXPECT_EQ(pnp.send(bridge, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_TRUE(KxCanAcceptIoRequests(extension(bridge)));
  pnp.remove(bridge);
}

TEST_F(PnpTest, QueryRemoveThenCancelRemoveLeavesTheDeviceStarted) {
  sim::UsbBridge &bridge = plugAndStart();
  EXPECT_EQ(pnp.send(bridge, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_FALSE(KxCanAcceptIoRequests(extension(bridge)));
  EXPECT_EQ(pnp.send(bridge, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_TRUE(KxCanAcceptIoRequests(extension(bridge)));
  EXPECT_TRUE(busSaw(bridge, IRP_MN_CANCEL_REMOVE_DEVICE));
  EXPECT_TRUE(bridge.configured());
  pnp.remove(bridge);
}

TEST_F(PnpTest, StopDeconfiguresWithTheShortSelectConfiguration) {
  sim::UsbBridge &bridge = plugAndStart();
  EXPECT_EQ(pnp.stop(bridge), STATUS_SUCCESS);
  const sim::UrbRecord &last = bridge.urbs().back();
  EXPECT_EQ(last.function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(last.length, published::kSelectConfigurationHead);
  EXPECT_TRUE(last.nullConfiguration);
  EXPECT_FALSE(bridge.configured());
  EXPECT_TRUE(busSaw(bridge, IRP_MN_STOP_DEVICE));
  EXPECT_FALSE(extension(bridge)->DeviceStarted);
  EXPECT_FALSE(extension(bridge)->HoldIoRequests);

  // And it starts again from the beginning.
  EXPECT_EQ(pnp.start(bridge), STATUS_SUCCESS);
  EXPECT_TRUE(bridge.configured());
  EXPECT_TRUE(KxCanAcceptIoRequests(extension(bridge)));
  pnp.remove(bridge);
}

TEST_F(PnpTest, StopOfDeviceNotStartedSendsNothing) {
  sim::UsbBridge &bridge = plugAndAdd();
  EXPECT_EQ(pnp.send(bridge, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_TRUE(bridge.urbs().empty());
  EXPECT_TRUE(busSaw(bridge, IRP_MN_STOP_DEVICE));
  pnp.remove(bridge);
}

TEST_F(PnpTest, FailedDeconfigurationIsKeptButTheStopSucceedsAndGoesDown) {
  sim::UsbBridge &bridge = plugAndStart();
  bridge.failUrb(1);
  EXPECT_EQ(pnp.send(bridge, IRP_MN_STOP_DEVICE), STATUS_SUCCESS) << "Windows does not let a stop fail";
  EXPECT_TRUE(busSaw(bridge, IRP_MN_STOP_DEVICE)) << "the lower drivers stop all the same";
  EXPECT_EQ(extension(bridge)->StopFailure, STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(extension(bridge)->DeviceStarted);
  EXPECT_FALSE(extension(bridge)->HoldIoRequests);
  pnp.remove(bridge);
}

TEST_F(PnpTest, RemovalOfStartedDeviceSendsNoDeconfiguration) {
  sim::UsbBridge &bridge = plugAndStart();
  EXPECT_EQ(pnp.remove(bridge), STATUS_SUCCESS);
  EXPECT_EQ(deconfigurations(bridge), 0u);
  EXPECT_TRUE(busSaw(bridge, IRP_MN_REMOVE_DEVICE));
  expectGone(bridge);
}

TEST_F(PnpTest, SurpriseRemovalUnlinksAndTheRemovalAfterItDeletes) {
  sim::UsbBridge &bridge = plugAndStart();
  size_t urbs = bridge.urbs().size();
  EXPECT_EQ(pnp.send(bridge, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  EXPECT_EQ(bridge.urbs().size(), urbs) << "a bridge that is gone is not deconfigured";
  EXPECT_TRUE(sim::platform().symbolicLinks.empty()) << "nobody may open it any more";
  ASSERT_NE(fdo(bridge), nullptr) << "the device stays on the stack until the removal";
  EXPECT_TRUE(extension(bridge)->DeviceRemoved);
  EXPECT_FALSE(extension(bridge)->DeviceStarted);
  EXPECT_EQ(pnp.send(bridge, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_TRUE(busSaw(bridge, IRP_MN_REMOVE_DEVICE));
  expectGone(bridge);
}

TEST_F(PnpTest, FailedStartIsFollowedByARemovalThatCleansUp) {
  sim::UsbBridge &bridge = plugAndAdd();
  bridge.failUrb(1);
  EXPECT_EQ(pnp.start(bridge), STATUS_UNSUCCESSFUL);
  expectGone(bridge);
}

TEST_F(PnpTest, OtherPnpRequestsGoDownUntouched) {
  sim::UsbBridge &bridge = plugAndStart();
  // The bus leaves requests it does not serve as they came.
  EXPECT_EQ(pnp.send(bridge, IRP_MN_QUERY_CAPABILITIES), STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(busSaw(bridge, IRP_MN_QUERY_CAPABILITIES));
  pnp.remove(bridge);
}

}  // namespace
