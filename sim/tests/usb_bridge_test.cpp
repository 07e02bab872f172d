// The bus side of a bridge and the USB driver interface library, as a function
// driver would use them.
#include <gtest/gtest.h>

#include "published_sizes.h"
#include "sim/sim.h"

namespace {

using published::kInterfaceInformationHead;
using published::kPipeInformation;
using published::kSelectConfigurationHead;
using sim::BridgeSetup;
using sim::platform;

class BridgeTest : public ::testing::Test {
 protected:
  void SetUp() override { platform().reset(); }
  void TearDown() override { platform().reset(); }

  NTSTATUS submit(sim::UsbBridge &bridge, PVOID urb) {
    PIRP irp = platform().newIrp(1, sim::IrpOrigin::Manager);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IofCallDriver(bridge.pdo(), irp);
    platform().runAllPendingWork();
    NTSTATUS status = irp->IoStatus.Status;
    platform().freeIrp(irp);
    return status;
  }
  sim::PnpManager pnp;
};

TEST_F(BridgeTest, ConfigurationRequestDescribesEveryPipeWithTheDefaultTransferSize) {
  auto set = BridgeSetup::configSetWith({{0x81, 2}, {0x02, 2}, {0x83, 3}});
  USHORT size = 0;
  PURB urb = USBD_CreateConfigurationRequest(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data()), &size);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(size, kSelectConfigurationHead + 3 * kPipeInformation);
  EXPECT_EQ(urb->UrbHeader.Length, size);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data()));
  EXPECT_EQ(urb->UrbSelectConfiguration.Interface.NumberOfPipes, 3u);
  EXPECT_EQ(urb->UrbSelectConfiguration.Interface.Length, kInterfaceInformationHead + 3 * kPipeInformation);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(urb->UrbSelectConfiguration.Interface.Pipes[i].MaximumTransferSize, ULONG(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));
  ExFreePool(urb);
}

TEST_F(BridgeTest, ConfigurationRequestDescribesOnlyTheFirstInterface) {
  sim::UsbBridge &bridge = pnp.plug(BridgeSetup::standard());
  auto set = bridge.setup().configSet;
  // An alternate setting of interface 0, then interface 1, each with one endpoint.
  const uint8_t more[] = {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 1, 1, 0xFF, 0, 0, 0,
                          7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x83, 3, 8, 0, 10,
                          9, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 0, 1, 0xFF, 0, 0, 0,
                          7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x84, 2, 64, 0, 0};
  set.insert(set.end(), more, more + sizeof more);
  set[2] = uint8_t(set.size());
  set[4] = 2;
  USHORT size = 0;
  PURB urb = USBD_CreateConfigurationRequest(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data()), &size);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(size, kSelectConfigurationHead + 2 * kPipeInformation);
  EXPECT_EQ(urb->UrbSelectConfiguration.Interface.InterfaceNumber, 0);
  EXPECT_EQ(urb->UrbSelectConfiguration.Interface.NumberOfPipes, 2u);
  EXPECT_EQ(submit(bridge, urb), STATUS_SUCCESS);
  EXPECT_EQ(bridge.pipeCount(), 2u);
  EXPECT_EQ(urb->UrbSelectConfiguration.Interface.Pipes[1].EndpointAddress, 0x02);
  ExFreePool(urb);
}

TEST_F(BridgeTest, SelectionHandsOutPipeHandlesAndKeepsTheDriversTransferSizes) {
  sim::UsbBridge &bridge = pnp.plug(BridgeSetup::standard());
  auto set = bridge.setup().configSet;
  USHORT size = 0;
  PURB urb = USBD_CreateConfigurationRequest(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data()), &size);
  urb->UrbSelectConfiguration.Interface.Pipes[1].MaximumTransferSize = 0x20000;
  EXPECT_EQ(submit(bridge, urb), STATUS_SUCCESS);
  PUSBD_PIPE_INFORMATION pipes = urb->UrbSelectConfiguration.Interface.Pipes;
  EXPECT_EQ(pipes[0].EndpointAddress, 0x81);
  EXPECT_EQ(pipes[1].EndpointAddress, 0x02);
  EXPECT_EQ(pipes[1].PipeType, UsbdPipeTypeBulk);
  EXPECT_NE(pipes[0].PipeHandle, pipes[1].PipeHandle);
  EXPECT_EQ(pipes[1].MaximumTransferSize, 0x20000u);
  EXPECT_TRUE(bridge.configured());
  EXPECT_EQ(bridge.pipeCount(), 2u);
  ExFreePool(urb);
}

TEST_F(BridgeTest, DescriptorReadIsCutToTheBufferAndToTheSet) {
  sim::UsbBridge &bridge = pnp.plug(BridgeSetup::standard(0x04A7, 0x1234));
  bridge.urbCompletion = sim::Completion::Deferred;
  uint8_t buffer[64];
  _URB_CONTROL_DESCRIPTOR_REQUEST request{};
  request.Hdr.Length = sizeof request;
  request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  request.DescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
  request.TransferBuffer = buffer;
  request.TransferBufferLength = sizeof buffer;
  EXPECT_EQ(submit(bridge, &request), STATUS_SUCCESS);
  EXPECT_EQ(request.TransferBufferLength, 32u);

  request.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
  request.TransferBufferLength = 8;
  EXPECT_EQ(submit(bridge, &request), STATUS_SUCCESS);
  EXPECT_EQ(request.TransferBufferLength, 8u);
  EXPECT_EQ(bridge.urbs().back().status, STATUS_SUCCESS);

  request.Hdr.Length = published::kDescriptorUrb - 8;
  EXPECT_EQ(submit(bridge, &request), STATUS_INVALID_PARAMETER)
      << "a get-descriptor URB is " << published::kDescriptorUrb << " bytes";
}

TEST_F(BridgeTest, InjectedStallFailsOnlyThatRequest) {
  sim::UsbBridge &bridge = pnp.plug(BridgeSetup::standard());
  USB_DEVICE_DESCRIPTOR device{};
  _URB_CONTROL_DESCRIPTOR_REQUEST request{};
  request.Hdr.Length = sizeof request;
  request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  request.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
  request.TransferBuffer = &device;
  request.TransferBufferLength = sizeof device;
  bridge.failUrb(2);
  EXPECT_EQ(submit(bridge, &request), STATUS_SUCCESS);
  EXPECT_EQ(submit(bridge, &request), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(request.Hdr.Status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(submit(bridge, &request), STATUS_SUCCESS);
  EXPECT_EQ(device.idVendor, 0x0590);
}

// A stand-in function driver that forgets one pool block per device.
NTSTATUS leakyAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device;
  IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  *static_cast<PDEVICE_OBJECT *>(device->DeviceExtension) = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  ExAllocatePoolWithTag(NonPagedPool, 24, 'L' | ('e' << 8) | ('a' << 16) | ('k' << 24));
  return STATUS_SUCCESS;
}

NTSTATUS leakyPnp(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower = *static_cast<PDEVICE_OBJECT *>(device->DeviceExtension);
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IofCallDriver(lower, irp);
}

NTSTATUS leakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = leakyAddDevice;
  driver->MajorFunction[IRP_MJ_PNP] = leakyPnp;
  return STATUS_SUCCESS;
}

TEST_F(BridgeTest, PoolLeftByADriverAfterItsLastRemovalIsReported) {
  ASSERT_EQ(pnp.loadDriver(leakyEntry), STATUS_SUCCESS);
  sim::UsbBridge &bridge = pnp.plug(BridgeSetup::standard());
  ASSERT_EQ(pnp.addDevice(bridge), STATUS_SUCCESS);
  EXPECT_EQ(pnp.start(bridge), STATUS_SUCCESS);
  EXPECT_TRUE(platform().verifier.violations().empty());
  EXPECT_EQ(pnp.remove(bridge), STATUS_SUCCESS);
  ASSERT_EQ(platform().verifier.violations().size(), 1u);
  EXPECT_EQ(platform().verifier.violations()[0], "pool block of 24 bytes tagged 'Leak' left allocated after removal");
}

}  // namespace
