// The bus driver's side of one simulated bridge: URBs for descriptors and
// configuration, port requests, PnP at the bottom of the stack, and per-request
// failure injection. Bulk pipes are in bulk_pipes.cpp. The bus's state is
// under the platform lock; requests complete without it.
#include <cstdio>

#include "bulk_pipes.h"
#include "descriptors.h"
#include "urb_text.h"

namespace sim {

namespace {

NTSTATUS busDispatch(PDEVICE_OBJECT device, PIRP irp) {
  return (*static_cast<UsbBridge **>(device->DeviceExtension))->dispatch(irp);
}

}  // namespace

std::vector<uint8_t> BridgeSetup::configSetWith(const std::vector<EndpointSetup> &endpoints) {
  size_t total = 9 + 9 + 7 * endpoints.size();
  std::vector<uint8_t> set = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, uint8_t(total), uint8_t(total >> 8), 1, 1, 0, 0x80, 50,
                              9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, uint8_t(endpoints.size()), 0xFF, 0, 0, 0};
  for (auto &e : endpoints)
    set.insert(set.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, e.address, e.attributes, uint8_t(e.maxPacketSize),
                           uint8_t(e.maxPacketSize >> 8), e.interval});
  return set;
}

BridgeSetup BridgeSetup::standard(USHORT vendorId, USHORT productId) {
  BridgeSetup setup;
  setup.vendorId = vendorId;
  setup.productId = productId;
  setup.configSet = configSetWith({{0x81, USB_ENDPOINT_TYPE_BULK}, {0x02, USB_ENDPOINT_TYPE_BULK}});
  return setup;
}

UsbBridge::UsbBridge(const BridgeSetup &setup, std::string label)
    : setup_(setup), label_(std::move(label)), loopback_(std::make_unique<ByteStream>()) {
  auto &p = platform();
  PDRIVER_OBJECT bus = p.newDriver();
  for (auto &dispatch : bus->MajorFunction) dispatch = busDispatch;
  pdo_ = p.newDevice(bus, sizeof(UsbBridge *), FILE_DEVICE_UNKNOWN);
  *static_cast<UsbBridge **>(pdo_->DeviceExtension) = this;
  pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
  std::u16string name = u"\\Device\\USBPDO-";
  for (char c : std::to_string(p.bridges.size())) name += static_cast<char16_t>(c);
  p.deviceNames[name] = pdo_;
}

UsbBridge::~UsbBridge() = default;

// A record's index is held by its request while the bus has it, and by a
// completion queued for later.
bool UsbBridge::forgetRecords() {
  PlatformLock guard;
  for (auto &pipe : pipes_)
    if (!pipe->queue.empty() || pipe->scheduled) return false;
  if (!heldControls_.empty() || !platform().pendingWork.empty()) return false;
  urbs_.clear();
  requests_.clear();
  return true;
}

NTSTATUS UsbBridge::dispatch(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  bool control = stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL || stack->MajorFunction == IRP_MJ_DEVICE_CONTROL;
  BusRequest request{stack->MajorFunction, stack->MinorFunction,
                     control ? stack->Parameters.DeviceIoControl.IoControlCode : 0, stack->Parameters.Others.Argument1};
  size_t index;
  {
    PlatformLock guard;
    request.sequence = ++platform().busSequence;
    requests_.push_back(request);
    index = requests_.size() - 1;
  }
  if (onRequest) onRequest(request);
  switch (stack->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return internalControl(irp, stack, index);
    case IRP_MJ_PNP: return pnp(irp, stack);
    case IRP_MJ_POWER: return power(irp, stack);
    default: return complete(irp, irp->IoStatus.Status, Completion::Inline);
  }
}

NTSTATUS UsbBridge::complete(PIRP irp, NTSTATUS status, Completion how) {
  if (how == Completion::Inline) {
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  IoMarkIrpPending(irp);
  if (how == Completion::Deferred)
    platform().defer([irp, status] {
      irp->IoStatus.Status = status;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
    });
  return STATUS_PENDING;
}

NTSTATUS UsbBridge::internalControl(PIRP irp, PIO_STACK_LOCATION stack, size_t request) {
  if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB)
    return submitUrb(irp, static_cast<PURB>(stack->Parameters.Others.Argument1), request);
  return portRequest(irp, stack, request);
}

NTSTATUS UsbBridge::portRequest(PIRP irp, PIO_STACK_LOCATION stack, size_t request) {
  auto &trace = platform().trace;
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  {
    PlatformLock guard;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
      case IOCTL_INTERNAL_USB_RESET_PORT:
        ++portResets_;
        trace.add("usb", gone_ ? "-> reset port: nothing connected" : "-> reset port");
        if (!gone_) portStatus |= USBD_PORT_ENABLED;
        status = gone_ ? STATUS_DEVICE_NOT_CONNECTED : STATUS_SUCCESS;
        break;
      case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        trace.add("usb", [&] {
          return std::string("-> get port status: ") +
                 (portStatus & USBD_PORT_CONNECTED ? "connected" : "not connected") +
                 (portStatus & USBD_PORT_ENABLED ? ", enabled" : ", disabled");
        });
        *static_cast<PULONG>(stack->Parameters.Others.Argument1) = portStatus;
        status = STATUS_SUCCESS;
        break;
    }
    requests_[request].status = status;
    requests_[request].portStatus = portStatus;
  }
  return complete(irp, status, Completion::Inline);
}

NTSTATUS UsbBridge::submitUrb(PIRP irp, PURB urb, size_t request) {
  if (urb == nullptr) return complete(irp, STATUS_INVALID_PARAMETER, Completion::Inline);
  UrbRecord record;
  {
    PlatformLock guard;
    record.sequence = requests_[request].sequence;
  }
  record.function = urb->UrbHeader.Function;
  record.length = urb->UrbHeader.Length;
  bool injected, gone;
  {
    PlatformLock guard;
    injected = ++urbCount_ == failUrbAt_;
    gone = gone_;
  }
  USBD_STATUS usbd = gone ? refuseAsGone(urb, record) : actOnUrb(urb, record, injected);
  size_t index;
  {
    PlatformLock guard;
    platform().trace.add("usb", [&] { return "-> " + describeArrival(record); });
    if (injected) platform().trace.add("fault", "the bridge stalls this request");
    urbs_.push_back(record);
    index = urbs_.size() - 1;
  }
  // The abort shows after its own arrival: the transfers it ends follow it in the trace.
  if (record.function == URB_FUNCTION_ABORT_PIPE && usbd == USBD_STATUS_SUCCESS)
    failAll(pipeIdAt(record.endpointAddress), USBD_STATUS_CANCELED);
  if (usbd == USBD_STATUS_PENDING && isControlRequest(record.function)) return holdControl(irp, urb, index);
  if (usbd == USBD_STATUS_PENDING) return queueTransfer(irp, urb->UrbBulkOrInterruptTransfer, index);
  return finishUrb(irp, urb, usbd, index);
}

// USBD_STATUS_PENDING: a valid transfer, for its pipe's queue.
USBD_STATUS UsbBridge::actOnUrb(PURB urb, UrbRecord &record, bool stall) {
  switch (record.function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return record.length == sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)
                 ? getDescriptor(urb->UrbControlDescriptorRequest, record, stall)
                 : USBD_STATUS_INVALID_PARAMETER;
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return record.length >= offsetof(_URB_SELECT_CONFIGURATION, Interface)
                 ? selectConfiguration(urb->UrbSelectConfiguration, record, stall)
                 : USBD_STATUS_INVALID_PARAMETER;
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_CLASS_DEVICE: return controlRequest(urb->UrbControlVendorClassRequest, record, stall);
  }
  USBD_STATUS usbd = USBD_STATUS_INVALID_URB_FUNCTION;
  if (record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
    usbd = checkTransfer(urb->UrbBulkOrInterruptTransfer, record);
  else if (record.function == URB_FUNCTION_ABORT_PIPE || record.function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL)
    usbd = pipeRequest(urb->UrbPipeRequest, record);
  else if (record.function == URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT)
    usbd = clearEndpointFeature(urb->UrbControlFeatureRequest, record);
  bool known = usbd != USBD_STATUS_INVALID_URB_FUNCTION && usbd != USBD_STATUS_INVALID_PARAMETER &&
               usbd != USBD_STATUS_INVALID_PIPE_HANDLE;
  return stall && known ? USBD_STATUS_STALL_PID : usbd;
}

// A removed device answers nothing; a transfer is still described by its pipe.
USBD_STATUS UsbBridge::refuseAsGone(PURB urb, UrbRecord &record) const {
  if (record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) checkTransfer(urb->UrbBulkOrInterruptTransfer, record);
  return USBD_STATUS_DEVICE_GONE;
}

// Completes a URB that does not wait in a pipe's queue, as urbCompletion says.
NTSTATUS UsbBridge::finishUrb(PIRP irp, PURB urb, USBD_STATUS usbd, size_t index) {
  NTSTATUS status = toNtStatus(usbd);
  auto finish = [this, urb, index, usbd, status] {
    PlatformLock guard;
    urb->UrbHeader.Status = usbd;
    UrbRecord &record = urbs_[index];
    record.status = status;
    record.usbdStatus = usbd;
    const bool failedTransfer = record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
                                record.length == sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    if (failedTransfer) urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;  // a failed transfer moved nothing
    platform().trace.add("usb", [&] {
      std::string bytes;
      if (record.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)
        bytes = std::to_string(urb->UrbControlDescriptorRequest.TransferBufferLength) + " bytes";
      else if (isControlRequest(record.function))
        bytes = std::to_string(record.bytesMoved) + " bytes";
      else if (record.function == URB_FUNCTION_SELECT_CONFIGURATION && usbd == USBD_STATUS_SUCCESS &&
               !record.nullConfiguration)
        bytes = std::to_string(pipes_.size()) + " pipe handles";
      else if (failedTransfer)
        bytes = "0 bytes";
      return "<- " + describeCompletion(record, bytes);
    });
  };
  if (urbCompletion == Completion::Inline || urbCompletion == Completion::Manual) {
    finish();
    return complete(irp, status, Completion::Inline);
  }
  IoMarkIrpPending(irp);
  if (urbCompletion == Completion::Deferred)
    platform().defer([irp, finish, status] {
      finish();
      irp->IoStatus.Status = status;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
    });
  return STATUS_PENDING;
}

USBD_STATUS UsbBridge::getDescriptor(_URB_CONTROL_DESCRIPTOR_REQUEST &request, UrbRecord &record, bool stall) {
  record.descriptorType = request.DescriptorType;
  record.descriptorIndex = request.Index;
  record.languageId = request.LanguageId;
  record.transferBufferLength = request.TransferBufferLength;
  record.hasMdl = request.TransferBufferMDL != nullptr;
  record.hasLink = request.UrbLink != nullptr;
  if (stall) {
    request.TransferBufferLength = 0;
    return USBD_STATUS_STALL_PID;
  }
  std::vector<uint8_t> answer;
  if (request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
    USB_DEVICE_DESCRIPTOR device = {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x0110, 0, 0, 0, 64,
                                    setup_.vendorId, setup_.productId, 0x0100, 0, 0, 0, 1};
    answer.assign(reinterpret_cast<uint8_t *>(&device), reinterpret_cast<uint8_t *>(&device) + sizeof device);
  } else if (request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && request.Index == 0) {
    answer = setup_.configSet;
  } else {
    request.TransferBufferLength = 0;
    return USBD_STATUS_STALL_PID;
  }
  if (request.TransferBuffer == nullptr && request.TransferBufferLength) return USBD_STATUS_INVALID_PARAMETER;
  size_t count = std::min<size_t>(request.TransferBufferLength, answer.size());
  memcpy(request.TransferBuffer, answer.data(), count);
  request.TransferBufferLength = static_cast<ULONG>(count);
  record.bytesMoved = static_cast<ULONG>(count);
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbBridge::selectConfiguration(_URB_SELECT_CONFIGURATION &request, UrbRecord &record, bool stall) {
  if (request.ConfigurationDescriptor == nullptr) {
    record.nullConfiguration = true;
    if (stall) return USBD_STATUS_STALL_PID;
    {
      PlatformLock guard;
      configured_ = false;
    }
    dropPipes();
    return USBD_STATUS_SUCCESS;
  }
  auto base = reinterpret_cast<uint8_t *>(&request);
  auto end = base + request.Hdr.Length;
  auto at = reinterpret_cast<uint8_t *>(&request.Interface);
  const size_t head = sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION);
  for (auto cursor = at; cursor + head <= end;) {
    auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
    if (info->Length < head || cursor + info->Length > end) break;
    size_t room = (info->Length - head) / sizeof(USBD_PIPE_INFORMATION);
    for (size_t i = 0; i < std::min<size_t>(room, info->NumberOfPipes); ++i) record.pipesAsSent.push_back(info->Pipes[i]);
    cursor += info->Length;
  }
  if (stall) return USBD_STATUS_STALL_PID;
  if (request.ConfigurationDescriptor->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE)
    return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
  auto interfaces = parseConfigSet(setup_.configSet.data(), setup_.configSet.size());
  dropPipes();
  PlatformLock guard;
  while (at + head <= end) {
    auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
    if (info->Length < head || at + info->Length > end) return USBD_STATUS_INVALID_PARAMETER;
    const InterfaceModel *model = nullptr;
    for (auto &i : interfaces)
      if (i.descriptor.bInterfaceNumber == info->InterfaceNumber && i.descriptor.bAlternateSetting == info->AlternateSetting)
        model = &i;
    size_t room = (info->Length - head) / sizeof(USBD_PIPE_INFORMATION);
    if (model == nullptr || room < model->endpoints.size()) return USBD_STATUS_INVALID_PARAMETER;
    info->Class = model->descriptor.bInterfaceClass;
    info->SubClass = model->descriptor.bInterfaceSubClass;
    info->Protocol = model->descriptor.bInterfaceProtocol;
    info->InterfaceHandle = info;
    info->NumberOfPipes = static_cast<ULONG>(model->endpoints.size());
    for (size_t i = 0; i < model->endpoints.size(); ++i) {
      const EndpointSetup &endpoint = model->endpoints[i];
      pipes_.push_back(std::make_unique<Pipe>(endpoint, ++pipesMade_));
      closedHandles_.erase(pipes_.back().get());
      USBD_PIPE_INFORMATION &pipe = info->Pipes[i];
      pipe.MaximumPacketSize = endpoint.maxPacketSize;
      pipe.EndpointAddress = endpoint.address;
      pipe.Interval = endpoint.interval;
      pipe.PipeType = static_cast<USBD_PIPE_TYPE>(endpoint.attributes & 3);
      pipe.PipeHandle = pipes_.back().get();
    }
    at += info->Length;
  }
  request.ConfigurationHandle = this;
  configured_ = true;
  return USBD_STATUS_SUCCESS;
}

NTSTATUS UsbBridge::pnp(PIRP irp, PIO_STACK_LOCATION stack) {
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return complete(irp, startStatus, startCompletion);
    case IRP_MN_REMOVE_DEVICE:
      endWaitWake(STATUS_NO_SUCH_DEVICE);
      return complete(irp, STATUS_SUCCESS, Completion::Inline);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return complete(irp, STATUS_SUCCESS, Completion::Inline);
  }
  return complete(irp, irp->IoStatus.Status, Completion::Inline);
}

}  // namespace sim
