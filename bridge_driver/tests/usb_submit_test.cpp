// KxCallUSBD in both modes and the start handler's completion routine.
#include "driver_fixture.h"

namespace {

struct CompletionSeen {
  int calls = 0;
  PIRP irp = nullptr;
  PVOID context = nullptr;
  NTSTATUS status = 0;
} seen;

NTSTATUS NTAPI recordCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  ++seen.calls;
  seen.irp = irp;
  seen.context = context;
  seen.status = irp->IoStatus.Status;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

class SubmitTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    seen = CompletionSeen{};
    bridge = &plugAndStart();
  }
  void TearDown() override {
    pnp.remove(*bridge);
    DriverTest::TearDown();
  }
  // A get-descriptor URB for the device descriptor into `descriptor`.
  PURB deviceDescriptorUrb() {
    memset(&urb, 0, sizeof urb);
    urb.UrbHeader.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb.UrbControlDescriptorRequest.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    urb.UrbControlDescriptorRequest.TransferBuffer = &descriptor;
    urb.UrbControlDescriptorRequest.TransferBufferLength = sizeof descriptor;
    return &urb;
  }
  bool traced(const char *fragment) { return sim::platform().trace.contains("ke", fragment); }

  sim::UsbBridge *bridge = nullptr;
  URB urb;
  USB_DEVICE_DESCRIPTOR descriptor{};
};

TEST_F(SubmitTest, SynchronousRequestCompletedAtOnceReturnsWithoutWaiting) {
  sim::platform().trace.clear();
  EXPECT_EQ(KxCallUSBD(fdo(*bridge), deviceDescriptorUrb(), TRUE, nullptr, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(descriptor.idVendor, 0x0590);
  EXPECT_FALSE(traced("KeWaitForSingleObject"));
}

TEST_F(SubmitTest, SynchronousRequestPendingIsWaitedFor) {
  bridge->urbCompletion = sim::Completion::Deferred;
  sim::platform().trace.clear();
  EXPECT_EQ(KxCallUSBD(fdo(*bridge), deviceDescriptorUrb(), TRUE, nullptr, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(traced("KeWaitForSingleObject(Executive)"));
  EXPECT_EQ(descriptor.bLength, 18);
}

TEST_F(SubmitTest, SynchronousRequestReturnsTheFailureOfTheBus) {
  bridge->urbCompletion = sim::Completion::Deferred;
  bridge->failUrb(1);
  EXPECT_EQ(KxCallUSBD(fdo(*bridge), deviceDescriptorUrb(), TRUE, nullptr, nullptr, nullptr), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
}

TEST_F(SubmitTest, ContextSelectsTheControlCodeAndTheArgumentGoesAsIs) {
  ULONG resetPort = IOCTL_INTERNAL_USB_RESET_PORT;
  EXPECT_EQ(KxCallUSBD(fdo(*bridge), nullptr, TRUE, nullptr, &resetPort, nullptr), STATUS_SUCCESS);
  const sim::BusRequest &request = bridge->requests().back();
  EXPECT_EQ(request.major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  EXPECT_EQ(request.ioControlCode, ULONG(IOCTL_INTERNAL_USB_RESET_PORT));
  EXPECT_EQ(request.argument1, nullptr);
}

TEST_F(SubmitTest, SynchronousRequestThatCannotBeBuiltSendsNothing) {
  size_t before = bridge->requests().size();
  sim::platform().faults.failAllocation(1);
  EXPECT_EQ(KxCallUSBD(fdo(*bridge), deviceDescriptorUrb(), TRUE, nullptr, nullptr, nullptr),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(bridge->requests().size(), before);
}

TEST_F(SubmitTest, AsynchronousRequestAllocatesAPacketSizedForTheLowerStack) {
  PIRP sent = nullptr;
  bridge->urbCompletion = sim::Completion::Deferred;
  EXPECT_EQ(KxCallUSBD(fdo(*bridge), deviceDescriptorUrb(), FALSE, recordCompletion, nullptr, &sent), STATUS_PENDING);
  ASSERT_NE(sent, nullptr);
  EXPECT_EQ(sent->StackCount, bridge->pdo()->StackSize);
  EXPECT_EQ(seen.calls, 0);
  sim::platform().runAllPendingWork();
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.irp, sent);
  EXPECT_EQ(seen.status, STATUS_SUCCESS);
  EXPECT_EQ(bridge->requests().back().ioControlCode, ULONG(IOCTL_INTERNAL_USB_SUBMIT_URB));
  IoFreeIrp(sent);
}

TEST_F(SubmitTest, AsynchronousRequestWithAContextNamingNoPacketAllocatesOne) {
  PVOID context[2] = {&descriptor, nullptr};
  PIRP sent = nullptr;
  EXPECT_EQ(KxCallUSBD(fdo(*bridge), deviceDescriptorUrb(), FALSE, recordCompletion, context, &sent), STATUS_SUCCESS);
  ASSERT_NE(sent, nullptr);
  EXPECT_EQ(sent->StackCount, bridge->pdo()->StackSize);
  EXPECT_EQ(seen.irp, sent);
  EXPECT_EQ(seen.context, context);
  EXPECT_EQ(bridge->requests().back().ioControlCode, ULONG(IOCTL_INTERNAL_USB_SUBMIT_URB));
  IoFreeIrp(sent);
}

TEST_F(SubmitTest, AsynchronousRequestUsesThePacketNamedByTheContext) {
  auto &p = sim::platform();
  // The caller's own request, as it stands in the caller's dispatch routine.
  PIRP own = p.newIrp(fdo(*bridge)->StackSize, sim::IrpOrigin::Manager);
  own->CurrentLocation--;
  own->Tail.Overlay.CurrentStackLocation--;
  PVOID context[2] = {nullptr, own};
  PIRP sent = nullptr;
  p.trace.clear();
  bridge->failUrb(1);
  EXPECT_EQ(KxCallUSBD(fdo(*bridge), deviceDescriptorUrb(), FALSE, recordCompletion, context, &sent),
            STATUS_UNSUCCESSFUL);
  EXPECT_EQ(sent, own);
  EXPECT_FALSE(p.trace.contains("io", "IoAllocateIrp"));
  EXPECT_EQ(seen.calls, 1) << "called on error too";
  EXPECT_EQ(seen.context, context);
  EXPECT_EQ(seen.status, STATUS_UNSUCCESSFUL);
  p.freeIrp(own);
}

TEST_F(SubmitTest, AsynchronousRequestWithoutPacketSendsNothing) {
  size_t before = bridge->requests().size();
  PIRP sent = nullptr;
  sim::platform().faults.failAllocation(1);
  EXPECT_EQ(KxCallUSBD(fdo(*bridge), deviceDescriptorUrb(), FALSE, recordCompletion, nullptr, &sent),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(sent, nullptr);
  EXPECT_EQ(bridge->requests().size(), before);
}

TEST_F(SubmitTest, StartCompletionRoutineSignalsAndKeepsTheRequest) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(1, FALSE);
  EXPECT_EQ(KxIrpCompletionRoutine(nullptr, irp, &event), STATUS_MORE_PROCESSING_REQUIRED);
  EXPECT_EQ(event.Header.SignalState, 1);
  EXPECT_NE(sim::platform().irps[irp].state, sim::IrpState::Completed);
  IoFreeIrp(irp);
}

}  // namespace
