// The bus side of a bridge and the USB driver interface library, as a function
// driver would use them.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "published_sizes.h"
#include "sim/sim.h"

namespace {

using published::kInterfaceInformationHead;
using published::kPipeInformation;
using published::kSelectConfigurationHead;
using sim::BridgeSetup;
using sim::EndpointSetup;
using sim::platform;

class BridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform().reset();
    platform().verifier.clear();
  }
  void TearDown() override {
    platform().reset();
    platform().verifier.clear();
  }

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

// The library sizes the pipe array from bNumEndpoints, not from the endpoint
// descriptors it happens to find after the interface.
TEST_F(BridgeTest, ConfigurationRequestTakesThePipeCountFromTheInterfaceDescriptor) {
  struct Case {
    UCHAR claimed;
    size_t endpointDescriptors;
  };
  for (Case c : {Case{3, 2}, Case{1, 2}, Case{0, 1}}) {
    std::vector<EndpointSetup> endpoints(c.endpointDescriptors, EndpointSetup{0x81, 2});
    auto set = BridgeSetup::configSetWith(endpoints);
    set[13] = c.claimed;
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data()), &size);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbSelectConfiguration.Interface.NumberOfPipes, c.claimed);
    EXPECT_EQ(size, kSelectConfigurationHead + c.claimed * kPipeInformation)
        << int(c.claimed) << " claimed, " << c.endpointDescriptors << " found";
    ExFreePool(urb);
  }
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

// A vendor or class request on the default pipe, its data in `buffer`.
_URB_CONTROL_VENDOR_OR_CLASS_REQUEST controlUrb(USHORT function, bool in, UCHAR request, USHORT value, USHORT index,
                                                std::vector<uint8_t> &buffer) {
  _URB_CONTROL_VENDOR_OR_CLASS_REQUEST urb{};
  urb.Hdr.Length = sizeof urb;
  urb.Hdr.Function = function;
  urb.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN : 0;
  urb.Request = request;
  urb.Value = value;
  urb.Index = index;
  urb.TransferBuffer = buffer.data();
  urb.TransferBufferLength = ULONG(buffer.size());
  return urb;
}

TEST_F(BridgeTest, VendorAndClassRequestsAnswerAsTheBridgeIsSetUp) {
  using sim::ControlRequest;
  const USHORT vendor = URB_FUNCTION_VENDOR_DEVICE, klass = URB_FUNCTION_CLASS_DEVICE;
  const struct {
    const char *what;
    USHORT function;
    bool in;
    UCHAR request;
    USHORT value, index, asked;
    std::function<void(sim::VendorSetup &)> setUp;
    USBD_STATUS usbd;
    std::vector<uint8_t> received;
  } rows[] = {
      {"word at FFFC", vendor, true, 0xFF, 7, 0xFFFC, 2, [](sim::VendorSetup &) {}, USBD_STATUS_SUCCESS, {7, 0}},
      {"word at 00AE", vendor, true, 0xFF, 7, 0x00AE, 2, [](sim::VendorSetup &v) { v.wordAt00AE = 0x1234; },
       USBD_STATUS_SUCCESS, {0x34, 0x12}},
      {"short answer", vendor, true, 4, 0, 0, 8, [](sim::VendorSetup &v) { v.vendor4In = {1, 2, 3}; },
       USBD_STATUS_SUCCESS, {1, 2, 3}},
      {"answer cut to the buffer", vendor, true, 12, 0, 0, 2, [](sim::VendorSetup &v) { v.vendor12In = {9, 8, 7}; },
       USBD_STATUS_SUCCESS, {9, 8}},
      {"max LUN", klass, true, 0xFE, 0, 0, 1, [](sim::VendorSetup &v) { v.maxLun = 3; }, USBD_STATUS_SUCCESS, {3}},
      {"max LUN stalled", klass, true, 0xFE, 0, 0, 1,
       [](sim::VendorSetup &v) { v.failures[ControlRequest::GetMaxLun] = USBD_STATUS_STALL_PID; },
       USBD_STATUS_STALL_PID, {}},
      {"word failing", vendor, true, 0xFF, 7, 0xFFFC, 2,
       [](sim::VendorSetup &v) { v.failures[ControlRequest::WordAtFFFC] = USBD_STATUS_DEV_NOT_RESPONDING; },
       USBD_STATUS_DEV_NOT_RESPONDING, {}},
      {"unknown vendor request", vendor, true, 0x33, 0, 0, 2, [](sim::VendorSetup &) {}, USBD_STATUS_STALL_PID, {}},
      {"max LUN as a vendor request", vendor, true, 0xFE, 0, 0, 1, [](sim::VendorSetup &) {}, USBD_STATUS_STALL_PID, {}},
      {"word request sent OUT", vendor, false, 0xFF, 7, 0xFFFC, 2, [](sim::VendorSetup &) {}, USBD_STATUS_STALL_PID, {}},
      {"word at another index", vendor, true, 0xFF, 7, 0x0001, 2, [](sim::VendorSetup &) {}, USBD_STATUS_STALL_PID, {}},
  };
  for (const auto &row : rows) {
    sim::UsbBridge &bridge = pnp.plug(BridgeSetup::standard());
    row.setUp(bridge.vendor);
    std::vector<uint8_t> buffer(row.asked, 0xEE);
    auto urb = controlUrb(row.function, row.in, row.request, row.value, row.index, buffer);
    EXPECT_EQ(submit(bridge, &urb), row.usbd ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS) << row.what;
    EXPECT_EQ(urb.Hdr.Status, row.usbd) << row.what;
    ASSERT_EQ(urb.TransferBufferLength, row.received.size()) << row.what;
    EXPECT_TRUE(std::equal(row.received.begin(), row.received.end(), buffer.begin())) << row.what;
    const sim::UrbRecord &record = bridge.urbs().back();
    EXPECT_EQ(record.function, row.function) << row.what;
    EXPECT_EQ(record.request, row.request) << row.what;
    EXPECT_EQ(record.value, row.value) << row.what;
    EXPECT_EQ(record.index, row.index) << row.what;
    EXPECT_EQ(record.transferBufferLength, row.asked) << row.what;
    EXPECT_EQ(record.bytesMoved, row.received.size()) << row.what;
  }
  EXPECT_TRUE(platform().trace.contains("usb", "-> VENDOR_DEVICE IN request 0xFF: value 0x0007, index 0x00AE, 2 bytes"));
  EXPECT_TRUE(platform().trace.contains(
      "usb", "<- CLASS_DEVICE IN request 0xFE: USBD_STATUS_SUCCESS, 1 bytes, STATUS_SUCCESS"));
  EXPECT_TRUE(platform().verifier.violations().empty());
}

TEST_F(BridgeTest, ControlDataGoesThroughAMappedOrLockedMdlOnly) {
  sim::UsbBridge &bridge = pnp.plug(BridgeSetup::standard());
  bridge.urbCompletion = sim::Completion::Deferred;
  std::vector<uint8_t> sent = {0x10, 0x20, 0x30}, none;
  const struct {
    const char *what;
    CSHORT mdlFlags;
    NTSTATUS status;
    size_t findings;
  } rows[] = {
      {"mapped", MDL_MAPPED_TO_SYSTEM_VA, STATUS_SUCCESS, 0},
      {"neither locked nor mapped", 0, STATUS_INVALID_PARAMETER, 1},
  };
  for (const auto &row : rows) {
    MDL mdl{};
    mdl.MdlFlags = row.mdlFlags;
    mdl.MappedSystemVa = row.mdlFlags ? sent.data() : nullptr;
    mdl.StartVa = sent.data();
    mdl.ByteCount = ULONG(sent.size());
    auto urb = controlUrb(URB_FUNCTION_VENDOR_DEVICE, false, 12, 0x0102, 0x0304, none);
    urb.TransferBufferMDL = &mdl;
    urb.TransferBufferLength = mdl.ByteCount;
    EXPECT_EQ(submit(bridge, &urb), row.status) << row.what;
    EXPECT_EQ(bridge.urbs().back().dataOut, row.status == STATUS_SUCCESS ? sent : none) << row.what;
    EXPECT_TRUE(bridge.urbs().back().hasMdl && !bridge.urbs().back().hasBuffer) << row.what;
    EXPECT_EQ(platform().verifier.violations().size(), row.findings) << row.what;
  }
  EXPECT_TRUE(platform().trace.contains("usb", "<- VENDOR_DEVICE OUT request 0x0C: USBD_STATUS_SUCCESS, 3 bytes"));
  auto urb = controlUrb(URB_FUNCTION_CLASS_DEVICE, true, 0xFE, 0, 0, sent);
  urb.Hdr.Length = USHORT(published::kVendorOrClassRequestUrb - 8);
  EXPECT_EQ(submit(bridge, &urb), STATUS_INVALID_PARAMETER) << "a vendor or class URB is " << published::kVendorOrClassRequestUrb
                                                            << " bytes";
}

NTSTATUS toNt(USBD_STATUS usbd) {
  return usbd == USBD_STATUS_SUCCESS ? STATUS_SUCCESS : usbd == USBD_STATUS_CANCELED ? STATUS_CANCELLED
         : usbd == USBD_STATUS_DEVICE_GONE                                          ? STATUS_DEVICE_NOT_CONNECTED
                                                                                    : STATUS_UNSUCCESSFUL;
}

// Bulk transfers on a configured standard bridge (bulk IN 0x81, bulk OUT 0x02),
// each through its own IRP; completions are recorded in the order they come.
class BulkTest : public BridgeTest {
 protected:
  struct Sent {
    PIRP irp;
    _URB_BULK_OR_INTERRUPT_TRANSFER urb;
    std::vector<uint8_t> data;
    std::vector<int> *order;
    int tag;
    NTSTATUS returned;
  };

  void SetUp() override {
    BridgeTest::SetUp();
    plugConfigured();
  }

  // A new bridge, configured; rows of a table each take one.
  void plugConfigured() {
    sent.clear();
    order.clear();
    bridge = &pnp.plug(BridgeSetup::standard());
    auto set = bridge->setup().configSet;
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data()), &size);
    ASSERT_EQ(submit(*bridge, urb), STATUS_SUCCESS);
    handles.clear();
    for (ULONG i = 0; i < urb->UrbSelectConfiguration.Interface.NumberOfPipes; ++i)
      handles[urb->UrbSelectConfiguration.Interface.Pipes[i].EndpointAddress] =
          urb->UrbSelectConfiguration.Interface.Pipes[i].PipeHandle;
    ExFreePool(urb);
  }

  static NTSTATUS noteCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto sent = static_cast<Sent *>(context);
    sent->order->push_back(sent->tag);
    return STATUS_SUCCESS;
  }

  // Sends a transfer of `bytes` (OUT: these bytes) to the endpoint; the IRP lives until the platform resets.
  Sent &send(UCHAR endpoint, std::vector<uint8_t> data, bool cancelled = false) {
    sent.push_back(std::make_unique<Sent>(Sent{platform().newIrp(1, sim::IrpOrigin::Manager), {}, std::move(data),
                                               &order, int(sent.size()), STATUS_PENDING}));
    Sent &s = *sent.back();
    s.urb.Hdr.Length = sizeof s.urb;
    s.urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    s.urb.PipeHandle = handles[endpoint];
    s.urb.TransferFlags = (endpoint & 0x80 ? USBD_TRANSFER_DIRECTION_IN : 0) | USBD_SHORT_TRANSFER_OK;
    s.urb.TransferBufferLength = ULONG(s.data.size());
    s.urb.TransferBuffer = s.data.data();
    s.irp->Cancel = cancelled;
    s.returned = call(s.irp, &s.urb, &s);
    return s;
  }

  NTSTATUS call(PIRP irp, PVOID urb, Sent *noted = nullptr) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    if (noted) IoSetCompletionRoutine(irp, noteCompletion, noted, TRUE, TRUE, TRUE);
    return IofCallDriver(bridge->pdo(), irp);
  }

  NTSTATUS pipeRequest(USHORT function, UCHAR endpoint) {
    _URB_PIPE_REQUEST request{};
    request.Hdr.Length = sizeof request;
    request.Hdr.Function = function;
    request.PipeHandle = handles[endpoint];
    return submit(*bridge, &request);
  }

  NTSTATUS clearHalt(USHORT index) {
    _URB_CONTROL_FEATURE_REQUEST request{};
    request.Hdr.Length = sizeof request;
    request.Hdr.Function = URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT;
    request.FeatureSelector = USB_FEATURE_ENDPOINT_STALL;
    request.Index = index;
    return submit(*bridge, &request);
  }

  static std::vector<uint8_t> pattern(uint64_t from, size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = sim::patternByte(from + i);
    return bytes;
  }

  sim::UsbBridge *bridge = nullptr;
  std::map<UCHAR, USBD_PIPE_HANDLE> handles;
  std::vector<std::unique_ptr<Sent>> sent;
  std::vector<int> order;
};

std::vector<uint8_t> counting(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(i * 7 + 3);
  return bytes;
}

TEST_F(BulkTest, ReadsAnswerAsTheirModeSays) {
  const std::vector<uint8_t> written = counting(1000);
  const struct {
    sim::BulkMode mode;
    std::vector<uint8_t> first, second;  // what two reads of 600 bytes receive
    USBD_STATUS usbd;
  } rows[] = {
      {sim::BulkMode::Loopback, {written.begin(), written.begin() + 600}, {written.begin() + 600, written.end()},
       USBD_STATUS_SUCCESS},
      {sim::BulkMode::Pattern, pattern(0, 600), pattern(600, 600), USBD_STATUS_SUCCESS},
      {sim::BulkMode::Short, pattern(0, 100), pattern(100, 100), USBD_STATUS_SUCCESS},
      {sim::BulkMode::Stall, {}, {}, USBD_STATUS_STALL_PID},
  };
  for (const auto &row : rows) {
    plugConfigured();
    bridge->bulk.reads = row.mode;
    bridge->bulk.shortLength = 100;
    ASSERT_EQ(send(0x02, written).returned, STATUS_SUCCESS);
    for (const auto *expected : {&row.first, &row.second}) {
      Sent &read = send(0x81, std::vector<uint8_t>(600, 0xEE));
      EXPECT_EQ(read.returned, toNt(row.usbd));
      EXPECT_EQ(read.urb.Hdr.Status, row.usbd);
      ASSERT_EQ(read.urb.TransferBufferLength, expected->size());
      EXPECT_TRUE(std::equal(expected->begin(), expected->end(), read.data.begin())) << int(row.mode);
      EXPECT_EQ(bridge->urbs().back().bytesMoved, expected->size());
    }
  }
}

TEST_F(BulkTest, PatternWritesRememberTheFirstByteOffTheStream) {
  bridge->bulk.writes = sim::BulkMode::Pattern;
  send(0x02, pattern(0, 500));
  EXPECT_FALSE(bridge->firstPatternMismatch(0x02));
  auto next = pattern(500, 500);
  next[200] ^= 1;
  next[300] ^= 1;
  EXPECT_EQ(send(0x02, next).urb.TransferBufferLength, 500u);
  EXPECT_EQ(bridge->firstPatternMismatch(0x02), 700u);
  EXPECT_EQ(bridge->streamOffset(0x02), 1000u);
}

TEST_F(BulkTest, DataGoesThroughTheMdlWhenThereIsNoBuffer) {
  bridge->bulk.reads = sim::BulkMode::Pattern;
  std::vector<uint8_t> target(64);
  MDL mdl{};
  mdl.MappedSystemVa = target.data();
  mdl.ByteCount = 64;
  sent.push_back(std::make_unique<Sent>(Sent{platform().newIrp(1, sim::IrpOrigin::Manager), {}, {}, &order, 0, 0}));
  Sent &read = *sent.back();
  read.urb.Hdr.Length = sizeof read.urb;
  read.urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  read.urb.PipeHandle = handles[0x81];
  read.urb.TransferBufferLength = 64;
  read.urb.TransferBufferMDL = &mdl;
  EXPECT_EQ(call(read.irp, &read.urb), STATUS_SUCCESS);
  EXPECT_EQ(target, pattern(0, 64));
  const sim::UrbRecord &record = bridge->urbs().back();
  EXPECT_EQ(record.endpointAddress, 0x81);
  EXPECT_TRUE(record.hasMdl);
  EXPECT_FALSE(record.hasBuffer);
}

TEST_F(BulkTest, MalformedTransfersFailWithoutReachingAPipe) {
  int stranger = 0;
  const struct {
    USHORT length;
    USBD_PIPE_HANDLE handle;
    USBD_STATUS usbd;
  } rows[] = {
      {USHORT(published::kBulkTransferUrb - 8), handles[0x81], USBD_STATUS_INVALID_PARAMETER},
      {USHORT(published::kBulkTransferUrb), &stranger, USBD_STATUS_INVALID_PIPE_HANDLE},
  };
  for (const auto &row : rows) {
    _URB_BULK_OR_INTERRUPT_TRANSFER urb{};
    urb.Hdr.Length = row.length;
    urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.PipeHandle = row.handle;
    EXPECT_EQ(submit(*bridge, &urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.Hdr.Status, row.usbd);
  }
  EXPECT_EQ(bridge->queued(0x81), 0u);
}

TEST_F(BulkTest, TransfersOnOnePipeCompleteInQueueOrder) {
  for (auto completion : {sim::Completion::Deferred, sim::Completion::Manual}) {
    plugConfigured();
    bridge->urbCompletion = completion;
    bridge->bulk.reads = sim::BulkMode::Pattern;
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(send(0x81, std::vector<uint8_t>(100)).returned, STATUS_PENDING);
      send(0x02, counting(10));
    }
    EXPECT_EQ(bridge->queued(0x81), 3u);
    EXPECT_EQ(bridge->queued(0x02), 3u);
    if (completion == sim::Completion::Manual) {
      EXPECT_TRUE(bridge->completeNext(0x81) && bridge->completeNext(0x81) && bridge->completeNext(0x02));
      EXPECT_TRUE(bridge->completeNext(0x81) && bridge->completeNext(0x02) && bridge->completeNext(0x02));
      EXPECT_FALSE(bridge->completeNext(0x81));
    }
    platform().runAllPendingWork();
    std::vector<int> reads, writes;
    for (int tag : order) (tag % 2 ? writes : reads).push_back(tag);
    EXPECT_EQ(reads, (std::vector<int>{0, 2, 4}));
    EXPECT_EQ(writes, (std::vector<int>{1, 3, 5}));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(sent[2 * i]->data, pattern(100 * i, 100)) << "read " << i;
    EXPECT_TRUE(platform().trace.contains("usb", "-> BULK_OR_INTERRUPT_TRANSFER pipe 0x81: 100 bytes, flags 0x3"));
    EXPECT_TRUE(platform().trace.contains(
        "usb", "<- BULK_OR_INTERRUPT_TRANSFER pipe 0x02: USBD_STATUS_SUCCESS, 10 bytes, STATUS_SUCCESS"));
  }
}


TEST_F(BulkTest, HeldTransfersEndAsAbortCancelOrRemovalSays) {
  const struct {
    const char *how;
    std::function<void()> act;
    std::vector<int> ended;  // tags, in completion order
    USBD_STATUS usbd;
  } rows[] = {
      {"abort", [this] { EXPECT_EQ(pipeRequest(URB_FUNCTION_ABORT_PIPE, 0x81), STATUS_SUCCESS); },
       {0, 1, 2}, USBD_STATUS_CANCELED},
      {"cancel",
       [this] {
         EXPECT_TRUE(IoCancelIrp(sent[1]->irp));
         EXPECT_TRUE(sent[1]->irp->Cancel);
       },
       {1}, USBD_STATUS_CANCELED},
      {"unplug", [this] { bridge->unplug(); }, {0, 1, 2}, USBD_STATUS_DEVICE_GONE},
  };
  for (const auto &row : rows) {
    plugConfigured();
    bridge->bulk.reads = sim::BulkMode::Hold;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(send(0x81, std::vector<uint8_t>(8)).returned, STATUS_PENDING);
    EXPECT_TRUE(order.empty());
    row.act();
    EXPECT_EQ(order, row.ended) << row.how;
    for (int tag : row.ended) {
      EXPECT_EQ(sent[tag]->irp->IoStatus.Status, toNt(row.usbd)) << row.how;
      EXPECT_EQ(sent[tag]->urb.Hdr.Status, row.usbd) << row.how;
      EXPECT_EQ(sent[tag]->urb.TransferBufferLength, 0u) << row.how;
      EXPECT_FALSE(IoCancelIrp(sent[tag]->irp)) << "no cancel routine is left on a completed transfer";
    }
    EXPECT_EQ(bridge->queued(0x81), 3 - row.ended.size()) << row.how;
    EXPECT_EQ(platform().irql, PASSIVE_LEVEL);
  }
  EXPECT_TRUE(platform().verifier.violations().empty());
  EXPECT_EQ(send(0x81, std::vector<uint8_t>(8)).returned, STATUS_DEVICE_NOT_CONNECTED) << "after the unplug";
}

// A transfer the bus still holds, or whose completion is queued, refers to
// its record by index: until it has ended, the records stay.
TEST_F(BulkTest, RecordsAreForgottenOnlyWhenNoRequestIsOut) {
  for (auto completion : {sim::Completion::Deferred, sim::Completion::Manual}) {
    plugConfigured();
    bridge->urbCompletion = completion;
    send(0x81, std::vector<uint8_t>(8));
    const size_t urbs = bridge->urbs().size();
    EXPECT_FALSE(bridge->forgetRecords());
    EXPECT_EQ(bridge->urbs().size(), urbs);
    if (completion == sim::Completion::Manual) {
      EXPECT_TRUE(bridge->completeNext(0x81));
    }
    platform().runAllPendingWork();
    EXPECT_EQ(order, std::vector<int>{0});
    EXPECT_EQ(bridge->urbs().back().usbdStatus, USBD_STATUS_SUCCESS);
    EXPECT_TRUE(bridge->forgetRecords());
    EXPECT_TRUE(bridge->urbs().empty() && bridge->requests().empty());
  }
  EXPECT_TRUE(platform().verifier.violations().empty());
}

TEST_F(BulkTest, TransferCancelledBeforeTheBusQueuesItEndsAtOnce) {
  bridge->urbCompletion = sim::Completion::Manual;
  Sent &early = send(0x81, std::vector<uint8_t>(8), true);
  EXPECT_EQ(early.returned, STATUS_PENDING);
  EXPECT_EQ(order, std::vector<int>{0});
  EXPECT_EQ(early.irp->IoStatus.Status, STATUS_CANCELLED);
  EXPECT_EQ(bridge->queued(0x81), 0u);
}

TEST_F(BulkTest, StallHaltsThePipeUntilResetOrClearFeature) {
  const struct {
    const char *how;
    std::function<NTSTATUS()> clear;
  } rows[] = {
      {"reset pipe", [this] { return pipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 0x81); }},
      {"clear feature", [this] { return clearHalt(0x81); }},
  };
  for (const auto &row : rows) {
    plugConfigured();
    bridge->bulk.reads = sim::BulkMode::Stall;
    EXPECT_EQ(send(0x81, std::vector<uint8_t>(8)).urb.Hdr.Status, USBD_STATUS_STALL_PID);
    bridge->bulk.reads = sim::BulkMode::Pattern;
    EXPECT_EQ(send(0x81, std::vector<uint8_t>(8)).returned, STATUS_UNSUCCESSFUL) << "still halted";
    EXPECT_EQ(send(0x02, counting(8)).returned, STATUS_SUCCESS) << "the other pipe goes on";
    EXPECT_EQ(row.clear(), STATUS_SUCCESS) << row.how;
    EXPECT_EQ(bridge->urbs().back().endpointAddress, 0x81);
    EXPECT_EQ(send(0x81, std::vector<uint8_t>(8)).urb.TransferBufferLength, 8u) << row.how;
  }
  EXPECT_EQ(clearHalt(0x05), STATUS_UNSUCCESSFUL) << "no endpoint 0x05";
  EXPECT_EQ(bridge->urbs().back().featureIndex, 0x05);
  EXPECT_EQ(bridge->urbs().back().usbdStatus, USBD_STATUS_STALL_PID);
}

TEST_F(BulkTest, PortStatusFollowsResetsAndRemoval) {
  auto portStatus = [this] {
    ULONG status = 0xFFFF;
    PIRP irp = platform().newIrp(1, sim::IrpOrigin::Manager);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
    next->Parameters.Others.Argument1 = &status;
    EXPECT_EQ(IofCallDriver(bridge->pdo(), irp), STATUS_SUCCESS);
    return status;
  };
  auto resetPort = [this] {
    PIRP irp = platform().newIrp(1, sim::IrpOrigin::Manager);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_RESET_PORT;
    return IofCallDriver(bridge->pdo(), irp);
  };
  EXPECT_EQ(portStatus(), ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));
  bridge->portStatus = USBD_PORT_CONNECTED;
  EXPECT_EQ(portStatus(), ULONG(USBD_PORT_CONNECTED));
  EXPECT_EQ(resetPort(), STATUS_SUCCESS);
  EXPECT_EQ(portStatus(), ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));
  bridge->unplug();
  EXPECT_EQ(portStatus(), 0u);
  EXPECT_EQ(resetPort(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(bridge->portResets(), 2u);
}

TEST_F(BridgeTest, CancelSpinLockMisuseAndCancelOfAFreedIrpAreReported) {
  const struct {
    std::function<void()> misuse;
    const char *finding;
  } rows[] = {
      {[] { IoReleaseCancelSpinLock(PASSIVE_LEVEL); }, "IoReleaseCancelSpinLock without IoAcquireCancelSpinLock"},
      {[] {
         KIRQL first, second;
         IoAcquireCancelSpinLock(&first);
         IoAcquireCancelSpinLock(&second);
         IoReleaseCancelSpinLock(first);
       },
       "IoAcquireCancelSpinLock while the cancel spin lock is already held (recursion)"},
      {[] {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoFreeIrp(irp);
         EXPECT_FALSE(IoCancelIrp(irp));
       },
       "IoCancelIrp on an IRP that does not exist (freed, or never made)"},
  };
  for (const auto &row : rows) {
    platform().reset();
    platform().verifier.clear();
    row.misuse();
    EXPECT_EQ(platform().verifier.violations(), std::vector<std::string>{row.finding});
    EXPECT_EQ(platform().irql, PASSIVE_LEVEL);
  }
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
