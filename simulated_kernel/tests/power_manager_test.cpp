// Power requests and the PnP orders, seen from a small stand-in function
// driver: the power manager's rules, each broken once next to the same path
// kept correctly, and the sequences the PnP manager sends.
#include <gtest/gtest.h>

#include <functional>

#include "sim/sim.h"

namespace {

using sim::platform;
using sim::PnpManager;
using sim::PnpOrder;
using sim::UsbBridge;

PDEVICE_OBJECT lowerOf(PDEVICE_OBJECT device) { return *static_cast<PDEVICE_OBJECT *>(device->DeviceExtension); }

NTSTATUS standInAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device;
  IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  *static_cast<PDEVICE_OBJECT *>(device->DeviceExtension) = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS removeAndPassDown(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower = lowerOf(device);
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IofCallDriver(lower, irp);
}

// Fails one PnP request itself, passes the others down.
template <UCHAR Minor>
NTSTATUS failOne(PDEVICE_OBJECT device, PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != Minor) return removeAndPassDown(device, irp);
  irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS standInEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = standInAddDevice;
  driver->MajorFunction[IRP_MJ_PNP] = removeAndPassDown;
  return STATUS_SUCCESS;
}

// Power dispatch routines, correct and broken.
NTSTATUS startThenSkip(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(lowerOf(device), irp);
}

NTSTATUS startInCompletion(PDEVICE_OBJECT, PIRP irp, PVOID) {
  PoStartNextPowerIrp(irp);
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

NTSTATUS passWithRoutineThatStarts(PDEVICE_OBJECT device, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, startInCompletion, nullptr, TRUE, TRUE, TRUE);
  return PoCallDriver(lowerOf(device), irp);
}

NTSTATUS skipWithoutStart(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(lowerOf(device), irp);
}

NTSTATUS startTwiceThenSkip(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  return startThenSkip(device, irp);
}

NTSTATUS startAfterSkip(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  PoStartNextPowerIrp(irp);
  return PoCallDriver(lowerOf(device), irp);
}

NTSTATUS passWithIofCallDriver(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return IofCallDriver(lowerOf(device), irp);
}

template <bool Start>
NTSTATUS completeHere(PDEVICE_OBJECT, PIRP irp) {
  if (Start) PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

class PowerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform().reset();
    ASSERT_EQ(pnp.loadDriver(standInEntry), STATUS_SUCCESS);
    pnp.driver()->MajorFunction[IRP_MJ_POWER] = startThenSkip;
    bridge = &pnp.plug(sim::BridgeSetup::standard());
    ASSERT_EQ(pnp.addDevice(*bridge), STATUS_SUCCESS);
  }
  void TearDown() override { platform().reset(); }

  bool found(const std::string &fragment) const {
    for (auto &v : platform().verifier.violations())
      if (v.find(fragment) != std::string::npos) return true;
    return false;
  }
  std::string violations() const {
    std::string all;
    for (auto &v : platform().verifier.violations()) all += v + "\n";
    return all;
  }
  // The requests the manager sent, without their target: "IRP_MN_SET_POWER D3".
  static std::vector<std::string> sent() {
    std::vector<std::string> requests;
    for (auto &line : platform().trace.lines())
      if (line.category == "pnp" && line.text.rfind("-> ", 0) == 0 && line.text.find(" to ") != std::string::npos)
        requests.push_back(line.text.substr(3, line.text.find(" to ") - 3));
    return requests;
  }

  PnpManager pnp;
  UsbBridge *bridge = nullptr;
};

struct PowerRule {
  const char *name;
  PDRIVER_DISPATCH dispatch;
  const char *violation;  // null: the path is clean
};

class PowerRuleTest : public PowerTest, public ::testing::WithParamInterface<PowerRule> {};

TEST_P(PowerRuleTest, BrokenRuleIsReportedAndTheCorrectTwinIsClean) {
  pnp.driver()->MajorFunction[IRP_MJ_POWER] = GetParam().dispatch;
  POWER_STATE d0{};
  d0.DeviceState = PowerDeviceD0;
  EXPECT_EQ(pnp.sendPower(*bridge, IRP_MN_SET_POWER, DevicePowerState, d0), STATUS_SUCCESS);
  if (GetParam().violation)
    EXPECT_TRUE(found(GetParam().violation)) << violations() << platform().trace.render();
  else
    EXPECT_EQ(violations(), "");
}

const PowerRule kPowerRules[] = {
    {"StartThenSkip", startThenSkip, nullptr},
    {"StartInCompletionRoutine", passWithRoutineThatStarts, nullptr},
    {"StartThenComplete", completeHere<true>, nullptr},
    {"NeverStart", skipWithoutStart, "completed without PoStartNextPowerIrp from the driver at stack location 2"},
    {"CompleteWithoutStart", completeHere<false>, "completed without PoStartNextPowerIrp"},
    {"StartTwice", startTwiceThenSkip, "called twice by the driver at stack location 2"},
    {"StartAfterSkip", startAfterSkip, "where no driver holds a power IRP"},
    {"PassWithIofCallDriver", passWithIofCallDriver, "it goes down with PoCallDriver"},
};
INSTANTIATE_TEST_SUITE_P(Rules, PowerRuleTest, ::testing::ValuesIn(kPowerRules),
                         [](const auto &info) { return std::string(info.param.name); });

// A function driver that fails a request Windows does not let it fail.
struct FailedPnp {
  const char *name;
  UCHAR minor;
  PDRIVER_DISPATCH dispatch;
  bool violation;
};

class NeverFailTest : public PowerTest, public ::testing::WithParamInterface<FailedPnp> {};

TEST_P(NeverFailTest, OnlyTheRequestsWindowsDoesNotLetFailAreReported) {
  ASSERT_EQ(pnp.start(*bridge), STATUS_SUCCESS);
  pnp.driver()->MajorFunction[IRP_MJ_PNP] = GetParam().dispatch;
  EXPECT_EQ(pnp.send(*bridge, GetParam().minor), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(found(std::string(sim::pnpMinorName(GetParam().minor)) + " failed with STATUS_UNSUCCESSFUL"),
            GetParam().violation)
      << violations();
}

const FailedPnp kFailedPnp[] = {
    {"Stop", IRP_MN_STOP_DEVICE, failOne<IRP_MN_STOP_DEVICE>, true},
    {"Remove", IRP_MN_REMOVE_DEVICE, failOne<IRP_MN_REMOVE_DEVICE>, true},
    {"SurpriseRemoval", IRP_MN_SURPRISE_REMOVAL, failOne<IRP_MN_SURPRISE_REMOVAL>, true},
    {"CancelStop", IRP_MN_CANCEL_STOP_DEVICE, failOne<IRP_MN_CANCEL_STOP_DEVICE>, true},
    {"CancelRemove", IRP_MN_CANCEL_REMOVE_DEVICE, failOne<IRP_MN_CANCEL_REMOVE_DEVICE>, true},
    {"QueryStop", IRP_MN_QUERY_STOP_DEVICE, failOne<IRP_MN_QUERY_STOP_DEVICE>, false},
    {"QueryRemove", IRP_MN_QUERY_REMOVE_DEVICE, failOne<IRP_MN_QUERY_REMOVE_DEVICE>, false},
    {"Start", IRP_MN_START_DEVICE, failOne<IRP_MN_START_DEVICE>, false},
};
INSTANTIATE_TEST_SUITE_P(Requests, NeverFailTest, ::testing::ValuesIn(kFailedPnp),
                         [](const auto &info) { return std::string(info.param.name); });

// What the manager sends, from plug to the end of one operation.
struct Sequence {
  const char *name;
  PnpOrder order;
  bool powerRequests;
  std::function<void(PnpManager &, UsbBridge &)> after;  // the start is not sent when null
  std::vector<std::string> expected;
  bool threaded = false;
};

void PrintTo(const Sequence &sequence, std::ostream *out) { *out << sequence.name; }

class SequenceTest : public PowerTest, public ::testing::WithParamInterface<Sequence> {};

TEST_P(SequenceTest, RequestsFollowTheChosenOrder) {
  pnp.order = GetParam().order;
  pnp.powerRequests = GetParam().powerRequests;
  {
    std::unique_ptr<sim::ThreadedMode> threads;
    if (GetParam().threaded) threads = std::make_unique<sim::ThreadedMode>();
    if (GetParam().after) {
      ASSERT_EQ(pnp.start(*bridge), STATUS_SUCCESS);
      GetParam().after(pnp, *bridge);
    } else {
      bridge->startStatus = STATUS_UNSUCCESSFUL;
      EXPECT_EQ(pnp.start(*bridge), STATUS_UNSUCCESSFUL);
    }
  }
  EXPECT_EQ(sent(), GetParam().expected);
  EXPECT_EQ(violations(), "");
}

const std::string kStart = "IRP_MN_START_DEVICE", kD0 = "IRP_MN_SET_POWER D0", kD3 = "IRP_MN_SET_POWER D3";
const std::string kRemove = "IRP_MN_REMOVE_DEVICE", kStop = "IRP_MN_STOP_DEVICE";
const std::string kQueryRemove = "IRP_MN_QUERY_REMOVE_DEVICE", kQueryS3 = "IRP_MN_QUERY_POWER S3";
const auto kStopIt = [](PnpManager &pnp, UsbBridge &bridge) { EXPECT_EQ(pnp.stop(bridge), STATUS_SUCCESS); };
const auto kRemoveIt = [](PnpManager &pnp, UsbBridge &bridge) { EXPECT_EQ(pnp.remove(bridge), STATUS_SUCCESS); };
const auto kUnplug = [](PnpManager &pnp, UsbBridge &bridge) { pnp.surpriseRemove(bridge); };
const auto kSleepAndWake = [](PnpManager &pnp, UsbBridge &bridge) {
  EXPECT_EQ(pnp.sleep(bridge), STATUS_SUCCESS);
  EXPECT_EQ(pnp.devicePowerState(bridge), PowerDeviceD3);
  EXPECT_EQ(pnp.wake(bridge), STATUS_SUCCESS);
  // The bus records each device state it enters.
  auto &states = platform().powerStates[bridge.pdo()];
  ASSERT_EQ(states.size(), 3u);
  EXPECT_EQ(states[1].state.DeviceState, PowerDeviceD3);
};
const auto kVetoedSleep = [](PnpManager &pnp, UsbBridge &bridge) {
  bridge.failPower(1);
  EXPECT_EQ(pnp.sleep(bridge), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(pnp.devicePowerState(bridge), PowerDeviceD0);
};
const std::vector<std::string> kSleepThenWake = {kStart, kD0, kQueryS3, "IRP_MN_SET_POWER S3", kD3,
                                                 "IRP_MN_SET_POWER S0", kD0};

const Sequence kSequences[] = {
    {"StartWithoutPower", PnpOrder::WindowsNt, false, [](PnpManager &, UsbBridge &) {}, {kStart}},
    {"StartWithPower", PnpOrder::WindowsNt, true, [](PnpManager &, UsbBridge &) {}, {kStart, kD0}},
    {"FailedStartNt", PnpOrder::WindowsNt, true, nullptr, {kStart, kRemove}},
    {"FailedStartWindows98", PnpOrder::Windows98, true, nullptr, {kStart, kStop}},
    {"StopWithPower", PnpOrder::WindowsNt, true, kStopIt, {kStart, kD0, "IRP_MN_QUERY_STOP_DEVICE", kD3, kStop}},
    {"StopWithoutPower", PnpOrder::WindowsNt, false, kStopIt, {kStart, "IRP_MN_QUERY_STOP_DEVICE", kStop}},
    {"RemoveWithPower", PnpOrder::WindowsNt, true, kRemoveIt, {kStart, kD0, kQueryRemove, kD3, kRemove}},
    {"RemoveWindows98", PnpOrder::Windows98, true, kRemoveIt, {kStart, kD0, kQueryRemove, kD3, kRemove}},
    {"UnplugNt", PnpOrder::WindowsNt, true, kUnplug, {kStart, kD0, "IRP_MN_SURPRISE_REMOVAL", kRemove}},
    {"UnplugWindows98", PnpOrder::Windows98, true, kUnplug, {kStart, kD0, kRemove}},
    {"SleepAndWake", PnpOrder::WindowsNt, true, kSleepAndWake, kSleepThenWake},
    {"SleepAndWakeThreaded", PnpOrder::WindowsNt, true, kSleepAndWake, kSleepThenWake, true},
    {"VetoedSleep", PnpOrder::WindowsNt, true, kVetoedSleep, {kStart, kD0, kQueryS3, "IRP_MN_SET_POWER S0"}},
};
INSTANTIATE_TEST_SUITE_P(Orders, SequenceTest, ::testing::ValuesIn(kSequences),
                         [](const auto &info) { return std::string(info.param.name); });

// The bus holds a wait-wake until something ends it, and starts the next power IRP as it ends.
struct WaitWakeEnd {
  const char *name;
  std::function<NTSTATUS(PnpManager &, UsbBridge &)> end;
  NTSTATUS expected;
};

void PrintTo(const WaitWakeEnd &end, std::ostream *out) { *out << end.name; }

class WaitWakeTest : public PowerTest, public ::testing::WithParamInterface<WaitWakeEnd> {};

TEST_P(WaitWakeTest, HeldUntilCancelledOrRemoved) {
  ASSERT_EQ(pnp.start(*bridge), STATUS_SUCCESS);
  POWER_STATE s3{};
  s3.SystemState = PowerSystemSleeping3;
  ASSERT_EQ(pnp.sendPower(*bridge, IRP_MN_WAIT_WAKE, SystemPowerState, s3), STATUS_PENDING);
  EXPECT_TRUE(bridge->holdsWaitWake());
  EXPECT_EQ(pnp.waitWakeStatus(*bridge), STATUS_PENDING);
  EXPECT_EQ(GetParam().end(pnp, *bridge), GetParam().expected);
  EXPECT_FALSE(bridge->holdsWaitWake());
  EXPECT_EQ(violations(), "");
}

const WaitWakeEnd kWaitWakeEnds[] = {
    {"Cancelled", [](PnpManager &pnp, UsbBridge &bridge) { return pnp.cancelWaitWake(bridge); }, STATUS_CANCELLED},
    {"Removed",
     [](PnpManager &pnp, UsbBridge &bridge) {
       pnp.remove(bridge);
       return pnp.waitWakeStatus(bridge);
     },
     STATUS_NO_SUCH_DEVICE},
    {"SecondRefused",
     [](PnpManager &pnp, UsbBridge &bridge) {
       POWER_STATE s3{};
       s3.SystemState = PowerSystemSleeping3;
       PnpManager other;  // a second request, held apart from the first
       NTSTATUS second = other.sendPower(bridge, IRP_MN_WAIT_WAKE, SystemPowerState, s3);
       EXPECT_EQ(pnp.cancelWaitWake(bridge), STATUS_CANCELLED);
       return second;
     },
     STATUS_DEVICE_BUSY},
};
INSTANTIATE_TEST_SUITE_P(Ends, WaitWakeTest, ::testing::ValuesIn(kWaitWakeEnds),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(PowerTest, SetPowerStateReturnsThePreviousStateOfTheSameType) {
  PDEVICE_OBJECT device = bridge->pdo();
  POWER_STATE d0{}, d3{}, s3{};
  d0.DeviceState = PowerDeviceD0;
  d3.DeviceState = PowerDeviceD3;
  s3.SystemState = PowerSystemSleeping3;
  EXPECT_EQ(PoSetPowerState(device, DevicePowerState, d0).DeviceState, PowerDeviceUnspecified);
  EXPECT_EQ(PoSetPowerState(device, SystemPowerState, s3).SystemState, PowerSystemUnspecified);
  EXPECT_EQ(PoSetPowerState(device, DevicePowerState, d3).DeviceState, PowerDeviceD0);
  EXPECT_EQ(platform().powerStates[device].size(), 3u);
}

}  // namespace
