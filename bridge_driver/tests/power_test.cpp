// Power requests: granted queries, set-powers completed here for the state
// already recorded, the others passed down, recorded and reported on success.
#include <functional>

#include "driver_fixture.h"

namespace {

POWER_STATE device(DEVICE_POWER_STATE state) {
  POWER_STATE power;
  power.DeviceState = state;
  return power;
}

POWER_STATE system(SYSTEM_POWER_STATE state) {
  POWER_STATE power;
  power.SystemState = state;
  return power;
}

struct PowerCase {
  const char *what;
  std::function<void(sim::UsbBridge &, PKxDeviceExtension)> before;
  UCHAR minor;
  POWER_STATE_TYPE type;
  POWER_STATE state;
  NTSTATUS status;
  bool reachesBus;
  DEVICE_POWER_STATE deviceAfter;
  SYSTEM_POWER_STATE systemAfter;
  std::vector<ULONG> reported;  // the driver's own PoSetPowerState calls: the states, in order
};

class PowerTest : public DriverTest {
 protected:
  size_t busPowerRequests(sim::UsbBridge &bridge) {
    size_t count = 0;
    for (auto &request : bridge.requests()) count += request.major == IRP_MJ_POWER;
    return count;
  }
  std::vector<ULONG> reported(PDEVICE_OBJECT fdo) {
    std::vector<ULONG> states;
    for (auto &change : sim::platform().powerStates[fdo]) states.push_back(change.state.DeviceState);
    return states;
  }
};

TEST_F(PowerTest, EachRequestIsAnsweredHereOrPassedDownAndRecorded) {
  auto inD0 = [](sim::UsbBridge &, PKxDeviceExtension e) { e->CurrentDevicePowerState = PowerDeviceD0; };
  auto none = [](sim::UsbBridge &, PKxDeviceExtension) {};
  const PowerCase cases[] = {
      {"first device set-power goes down", none, IRP_MN_SET_POWER, DevicePowerState, device(PowerDeviceD0),
       STATUS_SUCCESS, true, PowerDeviceD0, PowerSystemUnspecified, {PowerDeviceD0}},
      {"leaving D0 is reported before it goes down", inD0, IRP_MN_SET_POWER, DevicePowerState,
       device(PowerDeviceD3), STATUS_SUCCESS, true, PowerDeviceD3, PowerSystemUnspecified, {PowerDeviceD3}},
      {"D0 to D3 failed below", [&](sim::UsbBridge &b, PKxDeviceExtension e) {
         inD0(b, e);
         b.failPower(1);
       },
       IRP_MN_SET_POWER, DevicePowerState, device(PowerDeviceD3), STATUS_UNSUCCESSFUL, true, PowerDeviceD0,
       PowerSystemUnspecified, {PowerDeviceD3}},
      {"the recorded device state", inD0, IRP_MN_SET_POWER, DevicePowerState, device(PowerDeviceD0), STATUS_SUCCESS,
       false, PowerDeviceD0, PowerSystemUnspecified, {}},
      {"a new system state", none, IRP_MN_SET_POWER, SystemPowerState, system(PowerSystemWorking), STATUS_SUCCESS,
       true, PowerDeviceUnspecified, PowerSystemWorking, {PowerSystemWorking}},
      {"the recorded system state",
       [](sim::UsbBridge &, PKxDeviceExtension e) { e->CurrentSystemPowerState = PowerSystemWorking; },
       IRP_MN_SET_POWER, SystemPowerState, system(PowerSystemWorking), STATUS_SUCCESS, false, PowerDeviceUnspecified,
       PowerSystemWorking, {}},
      {"no pool for the context", [](sim::UsbBridge &, PKxDeviceExtension) { sim::platform().faults.failAllocation(1); },
       IRP_MN_SET_POWER, DevicePowerState, device(PowerDeviceD0), STATUS_NO_MEMORY, false, PowerDeviceUnspecified,
       PowerSystemUnspecified, {}},
      {"a query", none, IRP_MN_QUERY_POWER, SystemPowerState, system(PowerSystemSleeping3), STATUS_SUCCESS, false,
       PowerDeviceUnspecified, PowerSystemUnspecified, {}},
  };
  for (const PowerCase &c : cases) {
    SCOPED_TRACE(c.what);
    sim::platform().reset();
    ASSERT_EQ(pnp.loadDriver(DriverEntry, KX_POOL_TAG), STATUS_SUCCESS);
    sim::UsbBridge &bridge = plugAndAdd();
    PKxDeviceExtension ext = extension(bridge);
    ext->ChildDevNode = 7;
    c.before(bridge, ext);
    EXPECT_EQ(pnp.sendPower(bridge, c.minor, c.type, c.state), c.status);
    EXPECT_EQ(busPowerRequests(bridge), c.reachesBus ? 1u : 0u);
    EXPECT_EQ(ext->CurrentDevicePowerState, c.deviceAfter);
    EXPECT_EQ(ext->CurrentSystemPowerState, c.systemAfter);
    EXPECT_EQ(reported(fdo(bridge)), c.reported);
    EXPECT_EQ(ext->ChildDevNode, c.minor == IRP_MN_SET_POWER ? 0u : 7u) << "every set-power forgets the node";
    EXPECT_TRUE(sim::platform().pool.empty()) << "the power context is freed on every path";
    EXPECT_EQ(ext->IoCount, 1) << "the remove lock is given back on every path";
  }
}

TEST_F(PowerTest, WaitWakeGoesDownAndPowerAfterRemovalIsRefused) {
  sim::UsbBridge &bridge = plugAndStart();
  EXPECT_EQ(pnp.sendPower(bridge, IRP_MN_WAIT_WAKE, SystemPowerState, system(PowerSystemSleeping3)), STATUS_PENDING);
  EXPECT_TRUE(bridge.holdsWaitWake());
  EXPECT_EQ(pnp.cancelWaitWake(bridge), STATUS_CANCELLED);
  ASSERT_EQ(pnp.send(bridge, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  size_t before = busPowerRequests(bridge);
  EXPECT_EQ(pnp.sendPower(bridge, IRP_MN_SET_POWER, DevicePowerState, device(PowerDeviceD3)), STATUS_DELETE_PENDING);
  EXPECT_EQ(busPowerRequests(bridge), before);
  EXPECT_EQ(pnp.send(bridge, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
}

TEST_F(PowerTest, ASleepAndWakeAroundAStartedBridgeFollowTheStates) {
  pnp.powerRequests = true;
  sim::UsbBridge &bridge = plugAndAdd();
  ASSERT_EQ(pnp.start(bridge), STATUS_SUCCESS);
  PKxDeviceExtension ext = extension(bridge);
  EXPECT_EQ(ext->CurrentDevicePowerState, PowerDeviceD0);
  EXPECT_EQ(pnp.sleep(bridge), STATUS_SUCCESS);
  EXPECT_EQ(ext->CurrentSystemPowerState, PowerSystemSleeping3);
  EXPECT_EQ(ext->CurrentDevicePowerState, PowerDeviceD3);
  EXPECT_EQ(pnp.wake(bridge), STATUS_SUCCESS);
  EXPECT_EQ(ext->CurrentSystemPowerState, PowerSystemWorking);
  EXPECT_EQ(ext->CurrentDevicePowerState, PowerDeviceD0);
  EXPECT_EQ(pnp.remove(bridge), STATUS_SUCCESS);
}

}  // namespace
