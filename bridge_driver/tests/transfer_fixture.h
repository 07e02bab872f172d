// A started bridge opened from user mode, with the checks every transfer
// test ends with: each request completed exactly once, the device idle again,
// no packet or pool block of the transfer left.
#pragma once

#include <memory>
#include <vector>

#include "driver_fixture.h"

constexpr ULONG kChunk = 0x20000;
constexpr UCHAR kIn = 0x81;
constexpr UCHAR kOut = 0x02;

class TransferTest : public DriverTest {
 protected:
  // Plugs, starts and opens a bridge whose bulk transfers wait for the test.
  sim::UsbBridge &openBridge(const sim::BridgeSetup &setup = sim::BridgeSetup::standard(), bool caller32 = false) {
    sim::UsbBridge &bridge = plugAndStart(setup);
    bridge.urbCompletion = sim::Completion::Manual;
    file = std::make_unique<sim::UserFile>(sim::UserFile::open(u"\\DosDevices\\Harlen0", caller32));
    EXPECT_EQ(file->status(), STATUS_SUCCESS);
    poolBefore = sim::platform().pool.size();
    return bridge;
  }

  std::shared_ptr<sim::UserRequest> send(UCHAR major, ULONG length, bool mapped = true) {
    // Longer requests are refused or held: the bus never reaches their bytes.
    if (buffer.size() < length) buffer.resize(length <= (64u << 20) ? length : 64);
    return major == IRP_MJ_READ ? file->read(buffer.data(), length, mapped) : file->write(buffer.data(), length, mapped);
  }

  // Every queued transfer of both pipes completes as the bridge's mode says.
  void completeAll(sim::UsbBridge &bridge) {
    while (bridge.completeNext(kIn) || bridge.completeNext(kOut)) {
    }
    sim::platform().runAllPendingWork();
  }

  size_t bulkUrbs(sim::UsbBridge &bridge) {
    size_t count = 0;
    for (auto &urb : bridge.urbs()) count += urb.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    return count;
  }

  size_t allocatedIrps() {
    size_t count = 0;
    for (auto &entry : sim::platform().irps) count += entry.second.origin == sim::IrpOrigin::Allocated;
    return count;
  }

  void expectFinished(sim::UsbBridge &bridge, const std::shared_ptr<sim::UserRequest> &request) {
    sim::platform().runAllPendingWork();
    EXPECT_TRUE(request->completed);
    EXPECT_EQ(request->completions(), 1u);
    EXPECT_NE(request->status, STATUS_PENDING);
    if (PDEVICE_OBJECT device = fdo(bridge)) {
      EXPECT_EQ(KxExtension(device)->TransferContext, nullptr);
    }
    EXPECT_EQ(allocatedIrps(), 0u);
    EXPECT_EQ(sim::platform().pool.size(), poolBefore);
  }

  std::unique_ptr<sim::UserFile> file;
  std::vector<UCHAR> buffer;
  size_t poolBefore = 0;
};
