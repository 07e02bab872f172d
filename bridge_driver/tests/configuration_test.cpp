// The start sequence as the bridge sees it: descriptor reads, the copies,
// interface selection, and bridges whose descriptor sets are malformed.
#include "driver_fixture.h"

namespace {

using sim::BridgeSetup;
using sim::EndpointSetup;

constexpr UCHAR kBulk = USB_ENDPOINT_TYPE_BULK;
constexpr UCHAR kInterrupt = USB_ENDPOINT_TYPE_INTERRUPT;

BridgeSetup bridgeWith(const std::vector<EndpointSetup> &endpoints) {
  BridgeSetup setup = BridgeSetup::standard();
  setup.configSet = BridgeSetup::configSetWith(endpoints);
  return setup;
}

class ConfigurationTest : public DriverTest {
 protected:
  // Starts without the removal that the PnP manager sends after a failed start,
  // so the device's state can be looked at; removes it at the end.
  NTSTATUS start(sim::UsbBridge &bridge) { return pnp.send(bridge, IRP_MN_START_DEVICE); }
  void TearDown() override {
    for (auto &bridge : sim::platform().bridges)
      if (fdo(*bridge)) pnp.remove(*bridge);
    DriverTest::TearDown();
  }
};

TEST_F(ConfigurationTest, StartSendsTheFourRequestsOfAConfiguration) {
  sim::UsbBridge &bridge = plugAndAdd(bridgeWith({{0x81, kBulk, 512}, {0x02, kBulk, 512}, {0x83, kInterrupt, 8, 10}}));
  ASSERT_EQ(start(bridge), STATUS_SUCCESS);
  const auto &urbs = bridge.urbs();
  ASSERT_EQ(urbs.size(), 4u);
  const ULONG total = 9 + 9 + 3 * 7;
  const ULONG lengths[3] = {18, 9, total};
  const UCHAR types[3] = {USB_DEVICE_DESCRIPTOR_TYPE, USB_CONFIGURATION_DESCRIPTOR_TYPE,
                          USB_CONFIGURATION_DESCRIPTOR_TYPE};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(urbs[i].function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_EQ(urbs[i].length, published::kDescriptorUrb);
    EXPECT_EQ(urbs[i].descriptorType, types[i]);
    EXPECT_EQ(urbs[i].descriptorIndex, 0);
    EXPECT_EQ(urbs[i].languageId, 0);
    EXPECT_EQ(urbs[i].transferBufferLength, lengths[i]);
    EXPECT_FALSE(urbs[i].hasMdl);
    EXPECT_FALSE(urbs[i].hasLink);
  }
  const sim::UrbRecord &select = urbs[3];
  EXPECT_EQ(select.function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(select.length, published::kSelectConfigurationHead + 3 * published::kPipeInformation)
      << "the size the URB builder reported";
  ASSERT_EQ(select.pipesAsSent.size(), 3u);
  EXPECT_EQ(select.pipesAsSent[0].MaximumTransferSize, 0x20000u);
  EXPECT_EQ(select.pipesAsSent[1].MaximumTransferSize, 0x20000u);
  EXPECT_EQ(select.pipesAsSent[2].MaximumTransferSize, ULONG(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));
}

TEST_F(ConfigurationTest, StartFillsThePipeTableAndTheCopiesInEndpointOrder) {
  sim::UsbBridge &bridge = plugAndAdd(bridgeWith({{0x81, kBulk, 512}, {0x02, kBulk, 64}, {0x83, kInterrupt, 8, 10}}));
  ASSERT_EQ(start(bridge), STATUS_SUCCESS);
  PKxDeviceExtension ext = extension(bridge);
  EXPECT_TRUE(ext->DeviceStarted);
  EXPECT_FALSE(ext->HoldIoRequests);
  EXPECT_TRUE(KxCanAcceptIoRequests(ext));
  EXPECT_EQ(ext->DeviceDescriptor.idVendor, 0x0590);
  EXPECT_EQ(ext->DeviceDescriptor.idProduct, 0x0002);
  EXPECT_EQ(ext->ConfigDescriptor.wTotalLength, 9 + 9 + 3 * 7);
  EXPECT_EQ(ext->InterfaceDescriptor.bDescriptorType, USB_INTERFACE_DESCRIPTOR_TYPE);
  ASSERT_EQ(ext->NumberOfEndpoints, 3);
  const UCHAR addresses[3] = {0x81, 0x02, 0x83};
  const USBD_PIPE_TYPE types[3] = {UsbdPipeTypeBulk, UsbdPipeTypeBulk, UsbdPipeTypeInterrupt};
  const ULONG transfers[3] = {0x20000, 0x20000, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(ext->EndpointDescriptors[i].bEndpointAddress, addresses[i]);
    EXPECT_EQ(ext->PipeInfo[i].EndpointAddress, addresses[i]);
    EXPECT_EQ(ext->PipeInfo[i].PipeType, types[i]);
    EXPECT_EQ(ext->PipeInfo[i].MaximumTransferSize, transfers[i]);
    EXPECT_NE(ext->PipeInfo[i].PipeHandle, nullptr);
  }
  EXPECT_EQ(ext->PipeInfo[2].Interval, 10);
  EXPECT_EQ(ext->PipeInfo[1].MaximumPacketSize, 64);
  EXPECT_TRUE(bridge.configured());
}

TEST_F(ConfigurationTest, OnlyAnAttributesByteOfExactlyTwoCountsAsBulk) {
  // Bulk with a reserved bit set: the bus calls it bulk, the driver's byte compare does not.
  sim::UsbBridge &bridge = plugAndAdd(bridgeWith({{0x81, 0x06}, {0x02, kBulk}}));
  ASSERT_EQ(start(bridge), STATUS_SUCCESS);
  EXPECT_EQ(bridge.urbs()[3].pipesAsSent[0].MaximumTransferSize, ULONG(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));
  EXPECT_EQ(bridge.urbs()[3].pipesAsSent[1].MaximumTransferSize, 0x20000u);
}

TEST_F(ConfigurationTest, BusCompletingLaterGivesTheSameStart) {
  sim::UsbBridge &bridge = pnp.plug(BridgeSetup::standard());
  bridge.urbCompletion = sim::Completion::Deferred;
  bridge.startCompletion = sim::Completion::Deferred;
  ASSERT_EQ(pnp.addDevice(bridge), STATUS_SUCCESS);
  ASSERT_EQ(start(bridge), STATUS_SUCCESS);
  EXPECT_EQ(bridge.urbs().size(), 4u);
  EXPECT_EQ(extension(bridge)->NumberOfEndpoints, 2);
  EXPECT_TRUE(sim::platform().trace.contains("ke", "KeWaitForSingleObject(Suspended)"));
}

TEST_F(ConfigurationTest, FailedDeviceDescriptorReadLeavesIoHeld) {
  sim::UsbBridge &bridge = plugAndAdd();
  bridge.failUrb(1);
  EXPECT_EQ(start(bridge), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(bridge.urbs().size(), 1u);
  EXPECT_FALSE(extension(bridge)->DeviceStarted);
  EXPECT_TRUE(extension(bridge)->HoldIoRequests);
}

TEST_F(ConfigurationTest, FailedFirstNineByteReadFailsTheStartWithoutReadingMore) {
  sim::UsbBridge &bridge = plugAndAdd();
  bridge.failUrb(2);
  EXPECT_EQ(start(bridge), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(bridge.urbs().size(), 2u) << "no read of a zero-length set, no selection";
  EXPECT_FALSE(extension(bridge)->DeviceStarted) << "no pipe table: the gate stays closed";
  EXPECT_FALSE(bridge.configured());
}

TEST_F(ConfigurationTest, FailedSetReadSavesNoCopiesAndSelectsNothing) {
  sim::UsbBridge &bridge = plugAndAdd();
  bridge.failUrb(3);
  EXPECT_EQ(start(bridge), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(bridge.urbs().size(), 3u);
  EXPECT_EQ(extension(bridge)->NumberOfEndpoints, 0);
  EXPECT_EQ(extension(bridge)->ConfigDescriptor.bLength, 0);
  EXPECT_FALSE(extension(bridge)->DeviceStarted);
}

TEST_F(ConfigurationTest, FailedSelectionStillOverwritesThePipeTable) {
  sim::UsbBridge &bridge = plugAndAdd();
  bridge.failUrb(4);
  EXPECT_EQ(start(bridge), STATUS_UNSUCCESSFUL);
  // What the URB held: the driver's transfer size, no handle from the bus.
  EXPECT_EQ(extension(bridge)->PipeInfo[0].MaximumTransferSize, 0x20000u);
  EXPECT_EQ(extension(bridge)->PipeInfo[0].PipeHandle, nullptr);
}

TEST_F(ConfigurationTest, StartAfterRemovalSendsNothing) {
  sim::UsbBridge &bridge = plugAndAdd();
  extension(bridge)->DeviceRemoved = TRUE;
  EXPECT_EQ(KxStartDevice(fdo(bridge)), STATUS_DELETE_PENDING);
  EXPECT_TRUE(bridge.urbs().empty());
  EXPECT_FALSE(extension(bridge)->DeviceStarted);
  extension(bridge)->DeviceRemoved = FALSE;
}

// Sets that do not hold what the copies and the pipe table read. The driver's
// buffer is exactly as long as the bridge claims, so a read past the set is a
// read past the pool block (AddressSanitizer reports it in the host-asan build).
struct MalformedSet {
  const char *name;
  std::vector<uint8_t> set;
  NTSTATUS expected;
};

void PrintTo(const MalformedSet &set, std::ostream *out) { *out << set.name; }

std::vector<uint8_t> withTotalLength(std::vector<uint8_t> set, size_t total) {
  set[2] = uint8_t(total);
  set[3] = uint8_t(total >> 8);
  return set;
}

std::vector<MalformedSet> malformedSets() {
  auto five = BridgeSetup::configSetWith({{0x81, kBulk}, {0x02, kBulk}, {0x83, kInterrupt}, {0x84, kBulk}, {0x05, kBulk}});
  auto two = BridgeSetup::configSetWith({{0x81, kBulk}, {0x02, kBulk}});
  auto claimsThree = two;
  claimsThree[13] = 3;
  auto truncated = two;
  truncated.resize(25);
  auto classSpecific = two;
  classSpecific[26] = 0x21;  // the second "endpoint" is another kind of descriptor
  return {
      {"FiveEndpoints", five, STATUS_DEVICE_CONFIGURATION_ERROR},
      {"ShorterThanItsEndpoints", claimsThree, STATUS_DEVICE_DATA_ERROR},
      {"ShorterThanItsTotalLength", truncated, STATUS_DEVICE_DATA_ERROR},
      {"OnlyTheConfigurationHead", withTotalLength(two, 9), STATUS_DEVICE_DATA_ERROR},
      {"TotalLengthBelowTheInterface", withTotalLength(two, 12), STATUS_DEVICE_DATA_ERROR},
      {"OtherDescriptorWhereAnEndpointShouldBe", classSpecific, STATUS_DEVICE_DATA_ERROR},
  };
}

class MalformedSetTest : public ConfigurationTest, public ::testing::WithParamInterface<MalformedSet> {};

TEST_P(MalformedSetTest, StartFailsWithoutSelectingOrOverrunning) {
  BridgeSetup setup = BridgeSetup::standard();
  setup.configSet = GetParam().set;
  sim::UsbBridge &bridge = plugAndAdd(setup);
  EXPECT_EQ(start(bridge), GetParam().expected);
  for (auto &urb : bridge.urbs()) EXPECT_NE(urb.function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_FALSE(bridge.configured());
  EXPECT_LE(extension(bridge)->NumberOfEndpoints, KX_MAX_ENDPOINTS);
  EXPECT_EQ(sim::platform().pool.size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Sets, MalformedSetTest, ::testing::ValuesIn(malformedSets()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(ConfigurationTest, FourEndpointsAreTheMostThatFit) {
  sim::UsbBridge &bridge = plugAndAdd(bridgeWith({{0x81, kBulk}, {0x02, kBulk}, {0x83, kInterrupt}, {0x84, kBulk}}));
  ASSERT_EQ(start(bridge), STATUS_SUCCESS);
  EXPECT_EQ(extension(bridge)->NumberOfEndpoints, 4);
  EXPECT_EQ(extension(bridge)->PipeInfo[3].EndpointAddress, 0x84);
}

}  // namespace
