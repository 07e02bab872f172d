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

TEST_F(VerifierTest, DeletingAnAttachedDeviceIsReported) {
  IoDeleteDevice(top);
  EXPECT_TRUE(found("still attached"));
}

}  // namespace
