// The platform rules the verifier holds every driver to, seen from small
// stand-in drivers: each rule broken once, and the same path kept correctly.
#include <gtest/gtest.h>

#include "sim/sim.h"

namespace {

using sim::platform;

NTSTATUS completeSuccess(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS completeTwice(PDEVICE_OBJECT device, PIRP irp) {
  completeSuccess(device, irp);
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS pendAndCompleteLater(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  platform().pendingWork.push_back([irp] {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
  });
  return STATUS_PENDING;
}

// Passes the request on without touching a next stack location (there may be none).
NTSTATUS handOn(PDEVICE_OBJECT device, PIRP irp) { return IofCallDriver(platform().attachedTo[device], irp); }

NTSTATUS forgetPending(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

NTSTATUS propagatePending(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

// Returns STATUS_PENDING with no mark; completes later.
NTSTATUS pendUnmarked(PDEVICE_OBJECT, PIRP irp) {
  platform().pendingWork.push_back([irp] {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
  });
  return STATUS_PENDING;
}

NTSTATUS deleteItselfAndPendUnmarked(PDEVICE_OBJECT device, PIRP irp) {
  IoDeleteDevice(device);
  return pendUnmarked(device, irp);
}

// Marks, then completes at once: a built request is freed before the routine returns.
template <NTSTATUS Returned>
NTSTATUS markAndCompleteInline(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return Returned;
}

// Passes the request down with this completion routine (none when null).
template <bool Skip, PIO_COMPLETION_ROUTINE Routine>
NTSTATUS passDown(PDEVICE_OBJECT device, PIRP irp) {
  // After a skip, a routine set lands in the caller's location.
  if (Skip)
    IoSkipCurrentIrpStackLocation(irp);
  else
    IoCopyCurrentIrpStackLocationToNext(irp);
  if constexpr (Routine != nullptr) IoSetCompletionRoutine(irp, Routine, nullptr, TRUE, TRUE, TRUE);
  return IofCallDriver(platform().attachedTo[device], irp);
}

// Tags as they read in memory: "Own ", "Othr".
const ULONG kOwnTag = 'O' | ('w' << 8) | ('n' << 16) | (ULONG(' ') << 24);
const ULONG kOtherTag = 'O' | ('t' << 8) | ('h' << 16) | (ULONG('r') << 24);

template <POOL_TYPE Type, ULONG Tag>
NTSTATUS allocateAndComplete(PDEVICE_OBJECT device, PIRP irp) {
  ExFreePoolWithTag(ExAllocatePoolWithTag(Type, 8, Tag), Tag);
  return completeSuccess(device, irp);
}

// The USB library's block carries the library's tag, not the driver's.
NTSTATUS configurationRequestAndComplete(PDEVICE_OBJECT device, PIRP irp) {
  auto set = sim::BridgeSetup::configSetWith({{0x81, 2}});
  USHORT size = 0;
  ExFreePool(USBD_CreateConfigurationRequest(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data()), &size));
  return completeSuccess(device, irp);
}

NTSTATUS delayInCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  LARGE_INTEGER millisecond{-10000};
  KeDelayExecutionThread(KernelMode, FALSE, &millisecond);
  return propagatePending(device, irp, context);
}

PIRP requestFor(PDEVICE_OBJECT device) {
  PIRP irp = platform().newIrp(device->StackSize, sim::IrpOrigin::Manager);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
  return irp;
}

class VerifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform().reset();
    driver = platform().newDriver();
    lower = platform().newDriver();
    top = platform().newDevice(driver, 0, FILE_DEVICE_UNKNOWN);
    bottom = platform().newDevice(lower, 0, FILE_DEVICE_UNKNOWN);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(top, bottom), bottom);
  }
  void TearDown() override { platform().reset(); }

  bool found(const std::string &fragment) {
    for (auto &v : platform().verifier.violations())
      if (v.find(fragment) != std::string::npos) return true;
    return false;
  }

  // The upper driver passes a create down with the given completion routine;
  // the lower one pends it and completes it later.
  template <auto Routine>
  PIRP passDownToAPendingLowerDriver() {
    driver->MajorFunction[IRP_MJ_CREATE] = [](PDEVICE_OBJECT device, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, Routine, nullptr, TRUE, TRUE, TRUE);
      return IofCallDriver(platform().attachedTo[device], irp);
    };
    lower->MajorFunction[IRP_MJ_CREATE] = pendAndCompleteLater;
    return requestFor(top);
  }

  PDRIVER_OBJECT driver, lower;
  PDEVICE_OBJECT top, bottom;
};

TEST_F(VerifierTest, RequestCompletedTwiceIsReported) {
  lower->MajorFunction[IRP_MJ_CREATE] = completeTwice;
  PIRP irp = requestFor(bottom);
  IofCallDriver(bottom, irp);
  EXPECT_TRUE(found("completed twice"));
}

TEST_F(VerifierTest, CompletionRoutineThatDropsThePendingMarkIsReported) {
  PIRP irp = passDownToAPendingLowerDriver<forgetPending>();
  EXPECT_EQ(IofCallDriver(top, irp), STATUS_PENDING);
  platform().runAllPendingWork();
  EXPECT_TRUE(found("without IoMarkIrpPending"));
}

TEST_F(VerifierTest, CompletionRoutineThatPropagatesPendingIsClean) {
  PIRP irp = passDownToAPendingLowerDriver<propagatePending>();
  EXPECT_EQ(IofCallDriver(top, irp), STATUS_PENDING);
  platform().runAllPendingWork();
  EXPECT_EQ(platform().irps[irp].state, sim::IrpState::Completed);
  EXPECT_TRUE(platform().verifier.violations().empty());
}

TEST_F(VerifierTest, RequestWithNoStackLocationLeftIsReported) {
  driver->MajorFunction[IRP_MJ_CREATE] = handOn;
  lower->MajorFunction[IRP_MJ_CREATE] = completeSuccess;
  PIRP irp = requestFor(bottom);  // one location: nothing left for a second driver
  EXPECT_EQ(IofCallDriver(top, irp), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(found("no stack location left"));
}

TEST_F(VerifierTest, WaitsAndDelaysAtDispatchLevelAreReported) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  LARGE_INTEGER second{-10000000};
  platform().irql = DISPATCH_LEVEL;
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  KeDelayExecutionThread(KernelMode, FALSE, &second);
  EXPECT_EQ(platform().verifier.violations().size(), 2u);
  EXPECT_EQ(platform().now, 0u) << "no time passed for a refused delay";
  platform().irql = PASSIVE_LEVEL;
}

TEST_F(VerifierTest, WaitThatNothingCanEndIsReportedAsAHang) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
  EXPECT_TRUE(found("hang"));
}

TEST_F(VerifierTest, EventOfAHungWaitIsLeftAloneUntilInitializedAgain) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  // The waiter has returned; its frame, and the event in it, may be gone.
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(event.Header.SignalState, 0);
  EXPECT_TRUE(platform().trace.contains("ke", "left alone"));
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(event.Header.SignalState, 1);
}

TEST_F(VerifierTest, DelayAdvancesTheVirtualClockAndLetsPendingWorkRun) {
  bool ran = false;
  platform().pendingWork.push_back([&] { ran = platform().irql == DISPATCH_LEVEL; });
  LARGE_INTEGER half{-5000000};
  KeDelayExecutionThread(KernelMode, FALSE, &half);
  EXPECT_EQ(platform().now, 5000000u);
  EXPECT_TRUE(ran) << "deferred work runs as a DPC would";
  EXPECT_TRUE(platform().trace.contains("ke", "KeDelayExecutionThread(500 ms)"));
}

TEST_F(VerifierTest, AllocatedRequestCompletedPastItsOwnerIsReported) {
  lower->MajorFunction[IRP_MJ_CREATE] = completeSuccess;
  PIRP irp = IoAllocateIrp(bottom->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
  IofCallDriver(bottom, irp);
  EXPECT_TRUE(found("completed past its owner"));
}

TEST_F(VerifierTest, BuiltRequestSetsTheStatusBlockAndEventAndIsFreed) {
  lower->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = pendAndCompleteLater;
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  iosb.Status = STATUS_UNSUCCESSFUL;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(0x220003, bottom, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  EXPECT_EQ(IofCallDriver(bottom, irp), STATUS_PENDING);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_TRUE(platform().irps.empty());
}

TEST_F(VerifierTest, PoolFreedWithTheWrongTagOrTwiceIsReported) {
  void *block = ExAllocatePoolWithTag(NonPagedPool, 16, 'A');
  ExFreePoolWithTag(block, 'B');
  EXPECT_TRUE(found("ExFreePoolWithTag with tag"));
  ExFreePool(block);
  EXPECT_TRUE(found("not an allocated pool block"));
}

TEST_F(VerifierTest, NthAllocationFailsOnceAndIsCounted) {
  platform().faults.failAllocation(2);
  void *first = ExAllocatePoolWithTag(NonPagedPool, 8, 'A');
  EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
  PIRP third = IoAllocateIrp(1, FALSE);
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(platform().faults.allocationCount(), 3u);
  ExFreePool(first);
  IoFreeIrp(third);
}

// A finding made after the dispatch routine returned names the device as it
// was called, even when the routine deleted it (its name is gone by then).
TEST_F(VerifierTest, FindingAfterTheCallNamesTheDeviceAsCalled) {
  for (auto dispatch : {pendUnmarked, deleteItselfAndPendUnmarked}) {
    platform().reset();
    platform().verifier.clear();
    PDRIVER_OBJECT own = platform().newDriver();
    own->MajorFunction[IRP_MJ_CREATE] = dispatch;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Named0");
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(own, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    IofCallDriver(device, requestFor(device));
    platform().runAllPendingWork();
    EXPECT_EQ(platform().verifier.violations(),
              std::vector<std::string>{"dispatch routine (\\Device\\Named0, IRP#1 CREATE) returned STATUS_PENDING but "
                                       "never called IoMarkIrpPending"});
  }
  platform().verifier.clear();
}

TEST_F(VerifierTest, DeletingAnAttachedDeviceIsReported) {
  IoDeleteDevice(top);
  EXPECT_TRUE(found("still attached"));
}

// An internal request built for the upper driver of a driver loaded with its
// own pool tag, passed down the two-driver stack: each broken rule next to the
// same path kept correctly.
struct StandIn {
  const char *name;
  PDRIVER_DISPATCH upper, lower;
  const char *violation;  // null: the path is clean
};

class StandInTest : public VerifierTest, public ::testing::WithParamInterface<StandIn> {};

TEST_P(StandInTest, BrokenRuleIsReportedAndTheCorrectTwinIsClean) {
  sim::PnpManager pnp;
  auto entry = +[](PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; };
  ASSERT_EQ(pnp.loadDriver(entry, kOwnTag), STATUS_SUCCESS);
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = GetParam().upper;
  lower->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = GetParam().lower;
  PIRP irp = IoBuildDeviceIoControlRequest(0x220003, top, nullptr, 0, nullptr, 0, TRUE, nullptr, nullptr);
  IofCallDriver(top, irp);
  platform().runAllPendingWork();
  EXPECT_TRUE(platform().irps.empty()) << "the built request was completed and freed";
  EXPECT_EQ(platform().irql, PASSIVE_LEVEL) << "completion routines leave the IRQL as they found it";
  if (GetParam().violation)
    EXPECT_TRUE(found(GetParam().violation)) << platform().trace.render();
  else
    EXPECT_TRUE(platform().verifier.violations().empty()) << platform().verifier.violations().front();
}

const StandIn kStandIns[] = {
    {"PendingUnmarked", passDown<false, nullptr>, pendUnmarked, "STATUS_PENDING but never called IoMarkIrpPending"},
    {"PendingMarked", passDown<false, nullptr>, pendAndCompleteLater, nullptr},
    {"MarkedThenSuccessReturned", passDown<false, nullptr>, markAndCompleteInline<STATUS_SUCCESS>,
     "called IoMarkIrpPending but returned STATUS_SUCCESS"},
    {"MarkedThenPendingReturned", passDown<false, nullptr>, markAndCompleteInline<STATUS_PENDING>, nullptr},
    {"RoutineSetAfterSkip", passDown<true, propagatePending>, completeSuccess, "after IoSkipCurrentIrpStackLocation"},
    {"SkipWithoutRoutine", passDown<true, nullptr>, pendAndCompleteLater, nullptr},
    {"RoutineDelaysOnInlineCompletion", passDown<false, delayInCompletion>, completeSuccess,
     "KeDelayExecutionThread at IRQL 2"},
    {"RoutineWithoutDelayOnInlineCompletion", passDown<false, propagatePending>, completeSuccess, nullptr},
    {"PagedPool", passDown<false, nullptr>, allocateAndComplete<PagedPool, kOwnTag>, "pool type 1"},
    {"OtherTag", passDown<false, nullptr>, allocateAndComplete<NonPagedPool, kOtherTag>, "not the driver's"},
    {"NonPagedPoolOwnTag", passDown<false, nullptr>, allocateAndComplete<NonPagedPool, kOwnTag>, nullptr},
    {"UsbLibraryTag", passDown<false, nullptr>, configurationRequestAndComplete, nullptr},
};
INSTANTIATE_TEST_SUITE_P(Rules, StandInTest, ::testing::ValuesIn(kStandIns),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
