// The bus driver's side of one simulated bridge: URBs for descriptors and
// configuration, port requests, PnP at the bottom of the stack, and per-request
// failure injection.
#include <cstdio>

#include "descriptors.h"

namespace sim {

namespace {

NTSTATUS busDispatch(PDEVICE_OBJECT device, PIRP irp) {
  return (*static_cast<UsbBridge **>(device->DeviceExtension))->dispatch(irp);
}

NTSTATUS toNtStatus(USBD_STATUS usbd) {
  if (usbd == USBD_STATUS_SUCCESS) return STATUS_SUCCESS;
  if (usbd == USBD_STATUS_INVALID_URB_FUNCTION || usbd == USBD_STATUS_INVALID_PARAMETER) return STATUS_INVALID_PARAMETER;
  return STATUS_UNSUCCESSFUL;
}

std::string usbdName(USBD_STATUS usbd) {
  switch (usbd) {
    case USBD_STATUS_SUCCESS: return "USBD_STATUS_SUCCESS";
    case USBD_STATUS_STALL_PID: return "USBD_STATUS_STALL_PID";
    case USBD_STATUS_INVALID_URB_FUNCTION: return "USBD_STATUS_INVALID_URB_FUNCTION";
    case USBD_STATUS_INVALID_PARAMETER: return "USBD_STATUS_INVALID_PARAMETER";
    case USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR: return "USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR";
  }
  return hexCode(static_cast<ULONG>(usbd));
}

std::string functionName(USHORT function) {
  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: return "SELECT_CONFIGURATION";
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return "GET_DESCRIPTOR_FROM_DEVICE";
  }
  return "function " + std::to_string(function);
}

std::string describe(const UrbRecord &record) {
  std::string text = "URB " + functionName(record.function) + " (length " + std::to_string(record.length) + ")";
  if (record.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)
    text += ": descriptor type " + std::to_string(record.descriptorType) + ", index " +
            std::to_string(record.descriptorIndex) + ", " + std::to_string(record.transferBufferLength) + " bytes";
  if (record.function == URB_FUNCTION_SELECT_CONFIGURATION) {
    if (record.nullConfiguration) return text + ": no configuration (deconfigure)";
    text += ":";
    for (size_t i = 0; i < record.pipesAsSent.size(); ++i)
      text += " pipe " + std::to_string(i) + " max transfer " + std::to_string(record.pipesAsSent[i].MaximumTransferSize) +
              (i + 1 < record.pipesAsSent.size() ? "," : "");
  }
  return text;
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

UsbBridge::UsbBridge(const BridgeSetup &setup, std::string label) : setup_(setup), label_(std::move(label)) {
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

NTSTATUS UsbBridge::dispatch(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  bool control = stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL || stack->MajorFunction == IRP_MJ_DEVICE_CONTROL;
  requests_.push_back({stack->MajorFunction, stack->MinorFunction,
                       control ? stack->Parameters.DeviceIoControl.IoControlCode : 0, stack->Parameters.Others.Argument1});
  if (onRequest) onRequest(requests_.back());
  switch (stack->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return internalControl(irp, stack);
    case IRP_MJ_PNP: return pnp(irp, stack);
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
    platform().pendingWork.push_back([irp, status] {
      irp->IoStatus.Status = status;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
    });
  return STATUS_PENDING;
}

NTSTATUS UsbBridge::internalControl(PIRP irp, PIO_STACK_LOCATION stack) {
  auto &trace = platform().trace;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return submitUrb(irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_RESET_PORT:
      trace.add("usb", "-> reset port");
      return complete(irp, STATUS_SUCCESS, Completion::Inline);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
      trace.add("usb", "-> get port status: connected, enabled");
      *static_cast<PULONG>(stack->Parameters.Others.Argument1) = USBD_PORT_CONNECTED | USBD_PORT_ENABLED;
      return complete(irp, STATUS_SUCCESS, Completion::Inline);
  }
  return complete(irp, STATUS_INVALID_DEVICE_REQUEST, Completion::Inline);
}

NTSTATUS UsbBridge::submitUrb(PIRP irp, PURB urb) {
  if (urb == nullptr) return complete(irp, STATUS_INVALID_PARAMETER, Completion::Inline);
  UrbRecord record;
  record.function = urb->UrbHeader.Function;
  record.length = urb->UrbHeader.Length;
  USBD_STATUS usbd = USBD_STATUS_INVALID_URB_FUNCTION;
  bool injected = ++urbCount_ == failUrbAt_;
  if (record.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
    usbd = record.length == sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)
               ? getDescriptor(urb->UrbControlDescriptorRequest, record, injected)
               : USBD_STATUS_INVALID_PARAMETER;
  } else if (record.function == URB_FUNCTION_SELECT_CONFIGURATION) {
    usbd = record.length >= offsetof(_URB_SELECT_CONFIGURATION, Interface)
               ? selectConfiguration(urb->UrbSelectConfiguration, record, injected)
               : USBD_STATUS_INVALID_PARAMETER;
  }
  platform().trace.add("usb", "-> " + describe(record));
  if (injected) platform().trace.add("fault", "the bridge stalls this request");
  urbs_.push_back(record);
  size_t index = urbs_.size() - 1;
  NTSTATUS status = toNtStatus(usbd);
  auto finish = [this, urb, index, usbd, status] {
    urb->UrbHeader.Status = usbd;
    urbs_[index].status = status;
    urbs_[index].usbdStatus = usbd;
    std::string bytes;
    if (urbs_[index].function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)
      bytes = ", " + std::to_string(urb->UrbControlDescriptorRequest.TransferBufferLength) + " bytes";
    else if (usbd == USBD_STATUS_SUCCESS && !urbs_[index].nullConfiguration)
      bytes = ", " + std::to_string(pipes_.size()) + " pipe handles";
    platform().trace.add("usb", "<- " + functionName(urbs_[index].function) + ": " + usbdName(usbd) + bytes + ", " +
                                    statusName(status));
  };
  if (urbCompletion == Completion::Inline) {
    finish();
    return complete(irp, status, Completion::Inline);
  }
  IoMarkIrpPending(irp);
  if (urbCompletion == Completion::Deferred)
    platform().pendingWork.push_back([irp, finish, status] {
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
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbBridge::selectConfiguration(_URB_SELECT_CONFIGURATION &request, UrbRecord &record, bool stall) {
  if (request.ConfigurationDescriptor == nullptr) {
    record.nullConfiguration = true;
    if (stall) return USBD_STATUS_STALL_PID;
    configured_ = false;
    pipes_.clear();
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
  pipes_.clear();
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
      pipes_.push_back(std::make_unique<Pipe>(Pipe{endpoint}));
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
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
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
