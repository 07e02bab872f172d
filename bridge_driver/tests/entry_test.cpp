// Driver entry, open/close, requests passed straight down, the I/O gate.
#include "driver_fixture.h"

using EntryTest = DriverTest;

TEST_F(EntryTest, DispatchTableServesItsRequestsAndRejectsTheRest) {
  PDRIVER_OBJECT driver = pnp.driver();
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], driver->MajorFunction[IRP_MJ_CLOSE]);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_PNP], &KxPnpPower);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_READ], &KxRead);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_WRITE], &KxWrite);
  EXPECT_EQ(driver->DriverExtension->AddDevice, &KxPnpAddDevice);
  EXPECT_EQ(driver->DriverUnload, &KxUnload);
  EXPECT_EQ(driver->DeviceObject, nullptr) << "DriverEntry creates no device object";

  sim::UsbBridge &bridge = plugAndStart();
  // A request kind the driver does not serve keeps the platform's default handler.
  EXPECT_EQ(sendRequest(fdo(bridge), IRP_MJ_FLUSH_BUFFERS), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(EntryTest, OpenAndCloseSucceedInEveryState) {
  sim::UsbBridge &bridge = plugAndAdd();
  auto openClose = [&] {
    ULONG_PTR information = 1;
    EXPECT_EQ(sendRequest(fdo(bridge), IRP_MJ_CREATE, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(sendRequest(fdo(bridge), IRP_MJ_CLOSE, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 0u);
  };
  openClose();  // created, never started
  ASSERT_EQ(pnp.send(bridge, IRP_MN_START_DEVICE), STATUS_SUCCESS);
  openClose();
  ASSERT_EQ(pnp.send(bridge, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  openClose();
  ASSERT_EQ(pnp.send(bridge, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  openClose();
  extension(bridge)->DeviceRemoved = TRUE;
  openClose();
  // Opens and closes never reach the bus.
  for (auto &request : bridge.requests()) EXPECT_NE(request.major, IRP_MJ_CREATE);
  extension(bridge)->DeviceRemoved = FALSE;
  pnp.remove(bridge);
}

// The device serves no namespace: a name below it is refused, so no open
// reaches the device past the security check Windows makes on its own name.
TEST_F(EntryTest, AnOpenOfANameBelowTheDeviceIsRefused) {
  const std::pair<std::u16string, NTSTATUS> opens[] = {
      {u"\\DosDevices\\Harlen0", STATUS_SUCCESS},
      {u"\\DosDevices\\Harlen0\\x", STATUS_OBJECT_NAME_NOT_FOUND},
      {u"\\DosDevices\\Harlen0\\", STATUS_OBJECT_NAME_NOT_FOUND},
  };
  sim::UsbBridge &bridge = plugAndAdd();
  ASSERT_EQ(pnp.send(bridge, IRP_MN_START_DEVICE), STATUS_SUCCESS);
  for (auto &[name, status] : opens) {
    sim::UserFile file = sim::UserFile::open(name);
    EXPECT_EQ(file.status(), status) << std::string(name.begin(), name.end());
  }
}

TEST_F(EntryTest, SystemControlGoesDownUnlessRemoved) {
  sim::UsbBridge &bridge = plugAndStart();
  size_t before = bridge.requests().size();
  // The bus completes WMI requests it does not serve with the status they carry,
  // which the driver set to success.
  EXPECT_EQ(sendRequest(fdo(bridge), IRP_MJ_SYSTEM_CONTROL), STATUS_SUCCESS);
  ASSERT_EQ(bridge.requests().size(), before + 1);
  EXPECT_EQ(bridge.requests().back().major, IRP_MJ_SYSTEM_CONTROL);

  extension(bridge)->DeviceRemoved = TRUE;
  ULONG_PTR information = 1;
  EXPECT_EQ(sendRequest(fdo(bridge), IRP_MJ_SYSTEM_CONTROL, &information), STATUS_SUCCESS);
  EXPECT_EQ(sendRequest(fdo(bridge), IRP_MJ_INTERNAL_DEVICE_CONTROL, &information), STATUS_SUCCESS);
  EXPECT_EQ(information, 0u);
  EXPECT_EQ(bridge.requests().size(), before + 1) << "nothing passed down after removal";
  extension(bridge)->DeviceRemoved = FALSE;
  pnp.remove(bridge);
}

TEST_F(EntryTest, InternalDeviceControlIsPassedDownWhole) {
  sim::UsbBridge &bridge = plugAndStart();
  auto &p = sim::platform();
  PIRP irp = p.newIrp(fdo(bridge)->StackSize, sim::IrpOrigin::Manager);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  ULONG portStatus = 0;
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
  next->Parameters.Others.Argument1 = &portStatus;
  EXPECT_EQ(IofCallDriver(fdo(bridge), irp), STATUS_SUCCESS);
  EXPECT_EQ(portStatus, ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));
  EXPECT_EQ(bridge.requests().back().ioControlCode, ULONG(IOCTL_INTERNAL_USB_GET_PORT_STATUS));
  p.freeIrp(irp);
}

TEST_F(EntryTest, UnloadWithNoDeviceChangesNothing) {
  size_t lines = sim::platform().trace.lines().size();
  EXPECT_EQ(pnp.unloadDriver(), STATUS_SUCCESS);
  // Only the manager's own line: the driver called nothing.
  EXPECT_EQ(sim::platform().trace.lines().size(), lines + 1);
}

TEST_F(EntryTest, IoGateOpensOnlyWhenStartedAndNeitherHeldNorRemoved) {
  KxDeviceExtension extension{};
  for (int started = 0; started < 2; ++started)
    for (int held = 0; held < 2; ++held)
      for (int removed = 0; removed < 2; ++removed) {
        extension.DeviceStarted = started;
        extension.HoldIoRequests = held;
        extension.DeviceRemoved = removed;
        EXPECT_EQ(KxCanAcceptIoRequests(&extension) != 0, started && !held && !removed)
            << started << held << removed;
      }
}

TEST_F(EntryTest, NinthBridgeGetsNoDeviceAndLeavesNothingBehind) {
  std::vector<sim::UsbBridge *> bridges;
  for (int i = 0; i < 8; ++i) bridges.push_back(&plugAndAdd());
  for (int i = 0; i < 8; ++i) EXPECT_EQ(extension(*bridges[i])->NameDigit, WCHAR('0' + i));

  sim::UsbBridge &ninth = pnp.plug(sim::BridgeSetup::standard());
  size_t devices = sim::platform().devices.size();
  EXPECT_EQ(pnp.addDevice(ninth), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(sim::platform().devices.size(), devices);
  EXPECT_EQ(sim::platform().symbolicLinks.size(), 8u);
  EXPECT_EQ(fdo(ninth), nullptr);
  for (auto *bridge : bridges) pnp.remove(*bridge);
}

TEST_F(EntryTest, DigitFreedByRemovalIsReused) {
  sim::UsbBridge &first = plugAndAdd();
  sim::UsbBridge &second = plugAndAdd();
  EXPECT_EQ(extension(second)->NameDigit, WCHAR('1'));
  EXPECT_TRUE(sim::platform().symbolicLinks.count(u"\\DosDevices\\Harlen1"));
  EXPECT_EQ(pnp.remove(first), STATUS_SUCCESS);
  EXPECT_FALSE(sim::platform().symbolicLinks.count(u"\\DosDevices\\Harlen0"));

  sim::UsbBridge &third = plugAndAdd();
  EXPECT_EQ(extension(third)->NameDigit, WCHAR('0'));
  EXPECT_EQ(sim::platform().symbolicLinks[u"\\DosDevices\\Harlen0"], u"\\Device\\Harlen0");
  pnp.remove(second);
  pnp.remove(third);
}
