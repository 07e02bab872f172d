// A loaded driver on a fresh simulated machine; every test ends with the
// verifier's findings checked and, on failure, the trace printed.
#pragma once

#include <gtest/gtest.h>

#include "harlen.h"
#include "published_sizes.h"
#include "sim/sim.h"

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::platform().reset();
    sim::platform().verifier.clear();
    ASSERT_EQ(pnp.loadDriver(DriverEntry, KX_POOL_TAG), STATUS_SUCCESS);
  }

  void TearDown() override {
    if (!HasFatalFailure()) expectAtRest();
    auto &violations = sim::platform().verifier.violations();
    std::string found;
    for (auto &v : violations) found += "  " + v + "\n";
    EXPECT_TRUE(violations.empty()) << "verifier:\n" << found;
    if (HasFailure()) std::cout << "trace:\n" << sim::platform().trace.render();
    sim::platform().reset();
    sim::platform().verifier.clear();
  }

  // Every test ends with nothing of the driver's left in flight: a leak fails
  // the test that made it. Pool, MDLs and requests are all gone, and each
  // device still there holds only its own reference on the remove lock.
  void expectAtRest() {
    auto &p = sim::platform();
    p.runAllPendingWork();
    EXPECT_TRUE(p.pool.empty()) << p.pool.size() << " pool block(s) left";
    EXPECT_TRUE(p.mdls.empty()) << p.mdls.size() << " MDL(s) left";
    if (!requestLeftWithTheBus) {
      EXPECT_TRUE(p.irps.empty()) << p.irps.size() << " request(s) left";
    }
    for (PDEVICE_OBJECT device : p.devices)
      if (!p.deletedDevices.count(device) && device->DriverObject->MajorFunction[IRP_MJ_PNP] == KxPnpPower) {
        EXPECT_EQ(KxExtension(device)->IoCount, 1) << "remove lock not at rest";
      }
  }

  sim::UsbBridge &plugAndAdd(const sim::BridgeSetup &setup = sim::BridgeSetup::standard()) {
    sim::UsbBridge &bridge = pnp.plug(setup);
    EXPECT_EQ(pnp.addDevice(bridge), STATUS_SUCCESS);
    return bridge;
  }

  sim::UsbBridge &plugAndStart(const sim::BridgeSetup &setup = sim::BridgeSetup::standard()) {
    sim::UsbBridge &bridge = plugAndAdd(setup);
    EXPECT_EQ(pnp.send(bridge, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    return bridge;
  }

  PDEVICE_OBJECT fdo(sim::UsbBridge &bridge) { return pnp.functionDevice(bridge); }
  PKxDeviceExtension extension(sim::UsbBridge &bridge) { return KxExtension(fdo(bridge)); }

  // Sends one request of the given major function to the device, as the I/O
  // manager would for a user's open, close or WMI request.
  NTSTATUS sendRequest(PDEVICE_OBJECT device, UCHAR major, ULONG_PTR *information = nullptr) {
    auto &p = sim::platform();
    PIRP irp = p.newIrp(device->StackSize, sim::IrpOrigin::Manager);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0xDEAD;
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    NTSTATUS returned = IofCallDriver(device, irp);
    p.runAllPendingWork();
    EXPECT_EQ(p.irps[irp].state, sim::IrpState::Completed);
    NTSTATUS status = irp->IoStatus.Status;
    EXPECT_EQ(returned, status);
    if (information) *information = irp->IoStatus.Information;
    p.freeIrp(irp);
    return status;
  }

  size_t urbCount(sim::UsbBridge &bridge) { return bridge.urbs().size(); }

  sim::PnpManager pnp;
  // A test of a request the bus never completes ends with it still there.
  bool requestLeftWithTheBus = false;
};
