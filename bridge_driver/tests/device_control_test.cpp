// The device-control interface: answers, refusals of what does not fit a
// buffer, and the general request's data stage at the caller's address.
#include <cstring>

#include "transfer_fixture.h"
#include "sim/user_memory.h"

namespace {

constexpr ULONG code(ULONG function) { return (0x8000u << 16) | (function << 2); }
constexpr ULONG kDescriptor = code(0x800), kAbort = code(0x801), kVendorRead = code(0x803),
                kVendorWrite = code(0x804), kControl = code(0x806), kReset = code(0x808), kClearStall = code(0x809);

std::vector<uint8_t> words(std::initializer_list<ULONG> values) {
  std::vector<uint8_t> bytes;
  for (ULONG v : values)
    for (int i = 0; i < 4; ++i) bytes.push_back(uint8_t(v >> (8 * i)));
  return bytes;
}

// A 16-bit value and a 32-bit count, then padding that makes the system buffer longer.
std::vector<uint8_t> vendorInput(USHORT value, ULONG count, size_t padding = 0) {
  std::vector<uint8_t> bytes = words({value, count});
  bytes.resize(bytes.size() + padding);
  return bytes;
}

// Control requests on the default pipe complete at once, whatever the bulk pipes do.
class DeviceControlTest : public TransferTest {
 protected:
  sim::UsbBridge &openBridge(bool caller32 = false) {
    return TransferTest::openBridge(sim::BridgeSetup::standard(), caller32);
  }
  std::shared_ptr<sim::UserRequest> control(ULONG code, std::vector<uint8_t> input, ULONG outputLength) {
    output.assign(outputLength, 0xEE);
    auto request = file->deviceControl(code, input.data(), ULONG(input.size()), output.data(), outputLength);
    sim::platform().runAllPendingWork();
    EXPECT_TRUE(request->completed);
    EXPECT_EQ(request->completions(), 1u);
    return request;
  }
  // The record as a caller of this build's width lays it out, or a 32-bit caller's.
  std::vector<uint8_t> record(UCHAR type, UCHAR request, USHORT length, PVOID buffer, bool caller32 = false) {
    std::vector<uint8_t> bytes = {type, request, 0, 0, 0, 0, uint8_t(length), uint8_t(length >> 8)};
    ULONG_PTR address = reinterpret_cast<ULONG_PTR>(buffer);
    size_t width = caller32 ? 4 : sizeof(PVOID);
    for (size_t i = 0; i < width; ++i) bytes.push_back(uint8_t(address >> (8 * i)));
    return bytes;
  }
  std::vector<uint8_t> output;
};

struct Answer {
  const char *what;
  ULONG code;
  std::vector<uint8_t> input;
  ULONG outputLength;
  NTSTATUS status;
  ULONG_PTR information;
  std::vector<uint8_t> outputStart;
};

TEST_F(DeviceControlTest, CodesAnswerWithinTheirBuffers) {
  const Answer cases[] = {
      {"descriptor, 12 bytes", kDescriptor, {}, 12, STATUS_SUCCESS, 12, words({2, 0, 0})},
      {"descriptor, 18 bytes", kDescriptor, {}, 18, STATUS_SUCCESS, 18, {18, 1}},
      {"descriptor, 64 bytes", kDescriptor, {}, 64, STATUS_SUCCESS, 18, {18, 1}},
      {"descriptor, 8 bytes", kDescriptor, {}, 8, STATUS_BUFFER_TOO_SMALL, 0, {}},
      {"abort selector 4", kAbort, words({4}), 0, STATUS_INVALID_PARAMETER, 0, {}},
      {"abort selector 3, idle", kAbort, words({3}), 0, STATUS_SUCCESS, 0, {}},
      {"abort without a selector", kAbort, {3, 0}, 0, STATUS_INVALID_PARAMETER, 0, {}},
      {"vendor read of 1", kVendorRead, vendorInput(0x1234, 1), 8, STATUS_SUCCESS, 1, {0xAB}},
      {"vendor read of 2", kVendorRead, vendorInput(0x1234, 2), 8, STATUS_SUCCESS, 2, {0xCD, 0xEF}},
      {"vendor read longer than the output", kVendorRead, vendorInput(1, 9, 4), 8, STATUS_BUFFER_TOO_SMALL, 0, {}},
      {"vendor read without its count", kVendorRead, {1, 0, 2, 0}, 8, STATUS_INVALID_PARAMETER, 0, {}},
      {"vendor write past the system buffer", kVendorWrite, vendorInput(1, 64), 8, STATUS_INVALID_PARAMETER, 0, {}},
      {"vendor write of 8, output 4", kVendorWrite, vendorInput(1, 8), 4, STATUS_SUCCESS, 4, {}},
      {"port reset, port enabled", kReset, {}, 0, STATUS_SUCCESS, 0, {}},
      {"clear stall of 0x81", kClearStall, words({0x81}), 0, STATUS_SUCCESS, 0, {}},
      {"an undefined code", code(0x802), words({1}), 4, STATUS_SUCCESS, 0, {}},
  };
  sim::UsbBridge &bridge = openBridge();
  bridge.vendor.vendor12In = {0xAB};
  bridge.vendor.vendor4In = {0xCD, 0xEF};
  for (const Answer &c : cases) {
    SCOPED_TRACE(c.what);
    size_t urbs = bridge.urbs().size();
    uint64_t clock = sim::platform().now;
    auto request = control(c.code, c.input, c.outputLength);
    EXPECT_EQ(request->status, c.status);
    EXPECT_EQ(request->information, c.information);
    ASSERT_GE(output.size(), c.outputStart.size());
    EXPECT_TRUE(std::equal(c.outputStart.begin(), c.outputStart.end(), output.begin()));
    EXPECT_EQ(sim::platform().now, clock) << "no pause without a transfer in flight";
    if (c.code == kVendorRead && NT_SUCCESS(c.status)) {
      const sim::UrbRecord &urb = bridge.urbs().back();
      EXPECT_EQ(urb.function, URB_FUNCTION_VENDOR_DEVICE);
      EXPECT_EQ(urb.request, c.information < 2 ? 12 : 4);
      EXPECT_EQ(urb.value, 0x1234);
      EXPECT_EQ(urb.index, 0);
      EXPECT_EQ(urb.transferFlags, ULONG(USBD_TRANSFER_DIRECTION_IN));
    }
    if (c.code == kClearStall) {
      EXPECT_EQ(bridge.urbs().back().featureIndex, 0x81);
    }
    if (!NT_SUCCESS(c.status)) {
      EXPECT_EQ(bridge.urbs().size(), urbs) << "a refusal sends nothing";
    }
  }
}

struct General {
  const char *what;
  sim::KernelKind kernel;
  bool caller32;
  UCHAR type;
  UCHAR request;
  sim::UserAccess access;
  size_t regionSize;  // 0: an address with no region
  USHORT length;
  NTSTATUS status;
  USHORT function;  // what reached the bus, 0: nothing
};

TEST_F(DeviceControlTest, TheGeneralRequestUsesTheCallersBufferOrFailsCleanly) {
  using sim::UserAccess;
  const General cases[] = {
      {"class request into the caller's buffer", sim::KernelKind::Nt, false, 0xA1, 0xFE, UserAccess::ReadWrite, 4, 1,
       STATUS_SUCCESS, URB_FUNCTION_CLASS_DEVICE},
      {"the same from a 32-bit caller", sim::KernelKind::Nt, true, 0xA1, 0xFE, UserAccess::ReadWrite, 4, 1,
       STATUS_SUCCESS, URB_FUNCTION_CLASS_DEVICE},
      {"vendor data out of a read-only buffer", sim::KernelKind::Nt, false, 0x40, 4, UserAccess::Read, 4, 4,
       STATUS_SUCCESS, URB_FUNCTION_VENDOR_DEVICE},
      {"data in to a read-only buffer", sim::KernelKind::Nt, false, 0xC0, 4, UserAccess::Read, 4, 2,
       STATUS_INVALID_USER_BUFFER, 0},
      {"a length past the buffer", sim::KernelKind::Nt, false, 0xC0, 4, UserAccess::ReadWrite, 4096, 4097,
       STATUS_INVALID_USER_BUFFER, 0},
      // The legacy kernel: no data stage at the caller's address, good or bad
      // (the simulator reports any guard used there); none needed, no refusal.
      {"a length past the buffer, legacy kernel", sim::KernelKind::Legacy, false, 0xC0, 4, UserAccess::ReadWrite,
       4096, 4097, STATUS_NOT_SUPPORTED, 0},
      {"an address with nothing behind it, legacy kernel", sim::KernelKind::Legacy, false, 0xC0, 4, UserAccess::None,
       0, 2, STATUS_NOT_SUPPORTED, 0},
      {"a good buffer, legacy kernel", sim::KernelKind::Legacy, false, 0xA1, 0xFE, UserAccess::ReadWrite, 4, 1,
       STATUS_NOT_SUPPORTED, 0},
      {"no data stage, legacy kernel", sim::KernelKind::Legacy, false, 0x40, 12, UserAccess::None, 0, 0,
       STATUS_SUCCESS, URB_FUNCTION_VENDOR_DEVICE},
      {"an address with nothing behind it, NT kernel", sim::KernelKind::Nt, false, 0xC0, 4, UserAccess::None, 0, 2,
       STATUS_INVALID_USER_BUFFER, 0},
      {"a request the device stalls", sim::KernelKind::Nt, false, 0xC0, 0x33, UserAccess::ReadWrite, 4, 2,
       STATUS_UNSUCCESSFUL, URB_FUNCTION_VENDOR_DEVICE},
  };
  for (const General &c : cases) {
    SCOPED_TRACE(c.what);
    sim::platform().reset();
    ASSERT_EQ(pnp.loadDriver(DriverEntry, KX_POOL_TAG), STATUS_SUCCESS);
    sim::platform().kernel = c.kernel;
    sim::UsbBridge &bridge = openBridge(c.caller32);
    bridge.vendor.maxLun = 1;
    bridge.vendor.vendor4In = {0x11, 0x22};
    PVOID buffer = c.regionSize ? sim::platform().userMemory.allocate(c.regionSize, c.access)
                                : reinterpret_cast<PVOID>(ULONG_PTR(0x00400000));
    if (c.regionSize && c.access != sim::UserAccess::None)
      memset(sim::platform().userMemory.bytes(buffer), 0x5A, c.regionSize);
    size_t urbs = bridge.urbs().size();
    auto request = control(kControl, record(c.type, c.request, c.length, buffer, c.caller32), 16);
    EXPECT_EQ(request->status, c.status);
    EXPECT_EQ(request->information, NT_SUCCESS(c.status) ? c.length : 0u);
    EXPECT_TRUE(sim::platform().verifier.violations().empty()) << sim::platform().trace.render({"verifier"});
    ASSERT_EQ(bridge.urbs().size(), urbs + (c.function ? 1 : 0));
    if (!c.function) continue;
    const sim::UrbRecord &urb = bridge.urbs().back();
    EXPECT_EQ(urb.function, c.function);
    EXPECT_TRUE(c.length == 0 ? !urb.hasMdl : urb.hasMdl && !urb.hasBuffer) << "the bus gets the caller's locked pages";
    if (c.request == 0xFE) {
      EXPECT_EQ(sim::platform().userMemory.bytes(buffer)[0], 1) << "the answer lands there";
    }
    if (c.type == 0x40) {
      EXPECT_EQ(urb.dataOut, std::vector<uint8_t>(c.length, 0x5A));
    }
  }
}

// The I/O manager hands over a system buffer as long as the longer of input
// and output, the input copied in and the rest as the pool had it (0xCD
// here), and copies Information bytes back. None of that rest may reach the
// caller or go to the bridge.
TEST_F(DeviceControlTest, PoolBytesPastTheInputReachNeitherTheCallerNorTheBridge) {
  struct Leak {
    const char *what;
    ULONG code;
    ULONG outputLength;
    USHORT count;  // the vendor count or the general request's length
  };
  const Leak cases[] = {
      {"descriptor into a long output", kDescriptor, 64, 0},
      {"general request longer than its record, bridge answering short", kControl, 48, 48},
      {"vendor write of more than its input", kVendorWrite, 24, 24},
      {"vendor read answered short", kVendorRead, 32, 24},
  };
  sim::UsbBridge &bridge = openBridge();
  bridge.vendor.vendor4In = {0x11, 0x22};
  PVOID user = sim::platform().userMemory.allocate(64, sim::UserAccess::ReadWrite);
  for (const Leak &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> input = c.code == kControl ? record(0xC0, 4, c.count, user) : vendorInput(0x1234, c.count);
    if (c.code == kDescriptor) input.clear();
    auto request = control(c.code, input, c.outputLength);
    ASSERT_EQ(request->status, STATUS_SUCCESS);
    ASSERT_GT(request->information, input.size()) << "the case must copy back more than its input";
    for (size_t i = input.size(); i < request->information; ++i) ASSERT_NE(output[i], 0xCD) << "output byte " << i;
    const std::vector<uint8_t> &wire = bridge.urbs().back().dataOut;
    for (size_t i = input.size(); i < wire.size(); ++i) ASSERT_NE(wire[i], 0xCD) << "byte " << i << " to the bridge";
  }
}

TEST_F(DeviceControlTest, EveryCodeIsRefusedWhileAStopIsQueried) {
  sim::UsbBridge &bridge = openBridge();
  ASSERT_EQ(pnp.send(bridge, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  size_t urbs = bridge.urbs().size();
  for (ULONG c : {kDescriptor, kAbort, kVendorRead, kVendorWrite, kControl, kReset, kClearStall, code(0x805)}) {
    auto request = control(c, vendorInput(3, 1), 18);
    EXPECT_EQ(request->status, STATUS_DELETE_PENDING) << std::hex << c;
    EXPECT_EQ(request->information, 0u);
  }
  EXPECT_EQ(bridge.urbs().size(), urbs);
}

}  // namespace
