// The legacy kernel's "hdc" child node: made at start from the bridge's
// answers, only on that kernel, and removed at the bridge's removal.
#include <functional>

#include "driver_fixture.h"
#include "sim/legacy_kernel.h"

namespace {

const char *const kNodeId = "USB\\VID_0590&PID_0002_0";

struct NodeCase {
  const char *what;
  sim::KernelKind kernel;
  std::function<void(sim::UsbBridge &)> setUp;
  std::vector<UCHAR> indexLowBytes;  // the control requests sent: 0xFC, 0xAE, or 0 for Get Max LUN
  bool node;
  UCHAR maxLun;
};

class LegacyNodeTest : public DriverTest {
 protected:
  std::vector<UCHAR> controlRequests(sim::UsbBridge &bridge) {
    std::vector<UCHAR> sent;
    for (auto &urb : bridge.urbs())
      if (urb.function == URB_FUNCTION_VENDOR_DEVICE || urb.function == URB_FUNCTION_CLASS_DEVICE)
        sent.push_back(UCHAR(urb.index));
    return sent;
  }
};

TEST_F(LegacyNodeTest, TheBridgesAnswersDecideTheNode) {
  auto none = [](sim::UsbBridge &) {};
  const NodeCase cases[] = {
      {"listed bridge", sim::KernelKind::Legacy, none, {0xFC, 0xAE, 0}, true, 0},
      {"one logical unit more", sim::KernelKind::Legacy, [](sim::UsbBridge &b) { b.vendor.maxLun = 1; },
       {0xFC, 0xAE, 0}, true, 1},
      {"a LUN answer of 2 is not kept", sim::KernelKind::Legacy, [](sim::UsbBridge &b) { b.vendor.maxLun = 2; },
       {0xFC, 0xAE, 0}, true, 0},
      {"no mass-storage interface to ask", sim::KernelKind::Legacy,
       [](sim::UsbBridge &b) { b.vendor.wordAt00AE = 0xF000; }, {0xFC, 0xAE}, true, 0},
      {"a failing LUN request", sim::KernelKind::Legacy,
       [](sim::UsbBridge &b) { b.vendor.failures[sim::ControlRequest::GetMaxLun] = USBD_STATUS_STALL_PID; },
       {0xFC, 0xAE, 0}, true, 0},
      {"an unknown firmware answer", sim::KernelKind::Legacy, [](sim::UsbBridge &b) { b.vendor.wordAtFFFC = 11; },
       {0xFC}, false, 0},
      {"the oldest known firmware", sim::KernelKind::Legacy, [](sim::UsbBridge &b) { b.vendor.wordAtFFFC = 5; },
       {0xFC, 0xAE, 0}, true, 0},
      {"the newest known firmware", sim::KernelKind::Legacy, [](sim::UsbBridge &b) { b.vendor.wordAtFFFC = 10; },
       {0xFC, 0xAE, 0}, true, 0},
      {"a firmware older than any known", sim::KernelKind::Legacy, [](sim::UsbBridge &b) { b.vendor.wordAtFFFC = 4; },
       {0xFC}, false, 0},
      {"a first read that stalls", sim::KernelKind::Legacy,
       [](sim::UsbBridge &b) { b.vendor.failures[sim::ControlRequest::WordAtFFFC] = USBD_STATUS_STALL_PID; },
       {0xFC}, false, 0},
      {"the NT kernel", sim::KernelKind::Nt, none, {}, false, 0},
  };
  for (const NodeCase &c : cases) {
    SCOPED_TRACE(c.what);
    sim::platform().reset();
    ASSERT_EQ(pnp.loadDriver(DriverEntry, KX_POOL_TAG), STATUS_SUCCESS);
    sim::platform().kernel = c.kernel;
    sim::UsbBridge &bridge = pnp.plug(sim::BridgeSetup::standard());
    c.setUp(bridge);
    ASSERT_EQ(pnp.addDevice(bridge), STATUS_SUCCESS);
    EXPECT_EQ(pnp.send(bridge, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(controlRequests(bridge), c.indexLowBytes);
    auto node = sim::legacy::nodeWithId(kNodeId);
    EXPECT_EQ(node.has_value(), c.node);
    EXPECT_EQ(extension(bridge)->ChildDevNode, node ? node->handle : 0u);
    EXPECT_EQ(extension(bridge)->MaxLun, c.maxLun);
    if (node) {
      EXPECT_EQ(node->parent, sim::legacy::root());
      auto value = sim::legacy::registryValue(node->handle, "", "Class");
      ASSERT_TRUE(value.has_value());
      EXPECT_EQ(value->type, sim::kRegSz);
      EXPECT_EQ(value->data, (std::vector<uint8_t>{'h', 'd', 'c', 0}));
    }
    if (c.kernel == sim::KernelKind::Nt) {
      EXPECT_TRUE(sim::legacy::calls().empty());
    }
  }
}

TEST_F(LegacyNodeTest, ARestartKeepsTheNodeAndAsksNothing) {
  sim::platform().kernel = sim::KernelKind::Legacy;
  sim::UsbBridge &bridge = plugAndStart();
  size_t asked = controlRequests(bridge).size();
  ASSERT_EQ(pnp.stop(bridge), STATUS_SUCCESS);
  ASSERT_EQ(pnp.start(bridge), STATUS_SUCCESS);
  EXPECT_EQ(controlRequests(bridge).size(), asked);
  EXPECT_TRUE(sim::legacy::nodeWithId(kNodeId).has_value());
  pnp.remove(bridge);
}

TEST_F(LegacyNodeTest, RemovalWaitsOutVetoesOneSecondEach) {
  const std::pair<unsigned, bool> cases[] = {{0, true}, {2, true}, {30, false}};
  for (auto [vetoes, removed] : cases) {
    SCOPED_TRACE(std::to_string(vetoes) + " vetoes");
    sim::platform().reset();
    ASSERT_EQ(pnp.loadDriver(DriverEntry, KX_POOL_TAG), STATUS_SUCCESS);
    sim::platform().kernel = sim::KernelKind::Legacy;
    sim::UsbBridge &bridge = plugAndStart();
    sim::legacy::vetoRemoval(vetoes);
    uint64_t before = sim::platform().now;
    EXPECT_EQ(pnp.send(bridge, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ((sim::platform().now - before) / 10000000, vetoes);
    EXPECT_EQ(sim::legacy::nodeWithId(kNodeId).has_value(), !removed);
    EXPECT_EQ(fdo(bridge), nullptr) << "the bridge's removal goes on regardless";
  }
}

}  // namespace
