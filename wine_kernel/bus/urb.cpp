// What reaches a bridge's PDO as an internal device control: URBs for
// descriptors, configuration and transfers, port status and port reset, and
// the faults the test injects. Answers are known on arrival; URBs that do not
// wait in a pipe's queue complete from the DPC, never in the dispatch call.
#include "bus.h"

namespace {

constexpr ULONG kInterfaceHead = sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION);

USBD_STATUS GetDescriptor(Bridge &bridge, _URB_CONTROL_DESCRIPTOR_REQUEST &request, HarlenWireRecord &record,
                          USBD_STATUS injected) {
  record.descriptorType = request.DescriptorType;
  record.descriptorIndex = request.Index;
  record.languageId = request.LanguageId;
  record.transferBufferLength = request.TransferBufferLength;
  record.flags |= (request.TransferBufferMDL ? HARLEN_WIRE_HAS_MDL : 0) | (request.UrbLink ? HARLEN_WIRE_HAS_LINK : 0);
  if (injected) {
    request.TransferBufferLength = 0;
    return injected;
  }
  USB_DEVICE_DESCRIPTOR device = {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x0110, 0, 0, 0, 64,
                                  bridge.vendorId, bridge.productId, 0x0100, 0, 0, 0, 1};
  const UCHAR *answer;
  ULONG size;
  if (request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
    answer = reinterpret_cast<const UCHAR *>(&device);
    size = sizeof device;
  } else if (request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && request.Index == 0) {
    answer = bridge.config;
    size = bridge.configLength;
  } else {
    request.TransferBufferLength = 0;
    return USBD_STATUS_STALL_PID;
  }
  if (request.TransferBuffer == nullptr && request.TransferBufferLength) return USBD_STATUS_INVALID_PARAMETER;
  ULONG count = request.TransferBufferLength < size ? request.TransferBufferLength : size;
  RtlCopyMemory(request.TransferBuffer, answer, count);
  request.TransferBufferLength = count;
  record.bytesMoved = count;
  return USBD_STATUS_SUCCESS;
}

// The pipes as the caller sent them, whatever the outcome.
void RecordPipesAsSent(_URB_SELECT_CONFIGURATION &request, HarlenWireRecord &record) {
  PUCHAR end = reinterpret_cast<PUCHAR>(&request) + request.Hdr.Length;
  for (PUCHAR cursor = reinterpret_cast<PUCHAR>(&request.Interface); cursor + kInterfaceHead <= end;) {
    auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
    if (info->Length < kInterfaceHead || cursor + info->Length > end) break;
    ULONG room = (info->Length - kInterfaceHead) / sizeof(USBD_PIPE_INFORMATION);
    for (ULONG i = 0; i < room && i < info->NumberOfPipes; ++i, ++record.pipeCount)
      if (record.pipeCount < 4) record.maxTransfer[record.pipeCount] = info->Pipes[i].MaximumTransferSize;
    cursor += info->Length;
  }
}

// With the bus lock held: the pipes of one interface, the caller's maximum transfer sizes kept.
USBD_STATUS ConfigureInterface(Bridge &bridge, USBD_INTERFACE_INFORMATION &info) {
  InterfaceModel model;
  if (!FindInterface(bridge, false, info.InterfaceNumber, info.AlternateSetting, model)) return USBD_STATUS_INVALID_PARAMETER;
  ULONG room = (info.Length - kInterfaceHead) / sizeof(USBD_PIPE_INFORMATION);
  if (room < model.endpointCount || bridge.pipeCount + model.endpointCount > kMaxPipes) return USBD_STATUS_INVALID_PARAMETER;
  info.Class = model.descriptor.bInterfaceClass;
  info.SubClass = model.descriptor.bInterfaceSubClass;
  info.Protocol = model.descriptor.bInterfaceProtocol;
  info.InterfaceHandle = &info;
  info.NumberOfPipes = model.endpointCount;
  for (ULONG i = 0; i < model.endpointCount; ++i) {
    const USB_ENDPOINT_DESCRIPTOR &endpoint = model.endpoints[i];
    AddPipeLocked(bridge, endpoint);
    USBD_PIPE_INFORMATION &pipe = info.Pipes[i];
    pipe.MaximumPacketSize = endpoint.wMaxPacketSize;
    pipe.EndpointAddress = endpoint.bEndpointAddress;
    pipe.Interval = endpoint.bInterval;
    pipe.PipeType = static_cast<USBD_PIPE_TYPE>(endpoint.bmAttributes & 3);
    pipe.PipeHandle = bridge.pipes[bridge.pipeCount - 1].handle;
  }
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS SelectConfiguration(Bridge &bridge, _URB_SELECT_CONFIGURATION &request, HarlenWireRecord &record,
                                USBD_STATUS injected) {
  if (request.ConfigurationDescriptor == nullptr) {
    record.flags |= HARLEN_WIRE_NULL_CONFIGURATION;
    if (injected) return injected;
    {
      BusLock guard;
      bridge.configured = FALSE;
    }
    DropPipes(bridge);
    return USBD_STATUS_SUCCESS;
  }
  RecordPipesAsSent(request, record);
  if (injected) return injected;
  if (request.ConfigurationDescriptor->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE)
    return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
  DropPipes(bridge);
  PUCHAR end = reinterpret_cast<PUCHAR>(&request) + request.Hdr.Length;
  BusLock guard;
  for (PUCHAR cursor = reinterpret_cast<PUCHAR>(&request.Interface); cursor + kInterfaceHead <= end;) {
    auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
    if (info->Length < kInterfaceHead || cursor + info->Length > end) return USBD_STATUS_INVALID_PARAMETER;
    USBD_STATUS usbd = ConfigureInterface(bridge, *info);
    if (usbd != USBD_STATUS_SUCCESS) return usbd;
    cursor += info->Length;
  }
  request.ConfigurationHandle = &bridge;
  bridge.configured = TRUE;
  return USBD_STATUS_SUCCESS;
}

// USBD_STATUS_PENDING: a valid transfer, for its pipe's queue.
USBD_STATUS ActOnUrb(Bridge &bridge, PURB urb, HarlenWireRecord &record, USBD_STATUS injected) {
  switch (record.function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return record.length == sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)
                 ? GetDescriptor(bridge, urb->UrbControlDescriptorRequest, record, injected)
                 : USBD_STATUS_INVALID_PARAMETER;
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return record.length >= FIELD_OFFSET(_URB_SELECT_CONFIGURATION, Interface)
                 ? SelectConfiguration(bridge, urb->UrbSelectConfiguration, record, injected)
                 : USBD_STATUS_INVALID_PARAMETER;
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_CLASS_DEVICE:
      return ControlRequest(bridge, urb->UrbControlVendorClassRequest, record, injected);
  }
  USBD_STATUS usbd = USBD_STATUS_INVALID_URB_FUNCTION;
  if (record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
    usbd = CheckTransfer(bridge, urb->UrbBulkOrInterruptTransfer, record);
  else if (record.function == URB_FUNCTION_ABORT_PIPE || record.function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL)
    usbd = PipeRequest(bridge, urb->UrbPipeRequest, record);
  else if (record.function == URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT)
    usbd = ClearEndpointFeature(bridge, urb->UrbControlFeatureRequest, record);
  bool known = usbd != USBD_STATUS_INVALID_URB_FUNCTION && usbd != USBD_STATUS_INVALID_PARAMETER &&
               usbd != USBD_STATUS_INVALID_PIPE_HANDLE;
  return injected && known ? injected : usbd;
}

// A removed device answers nothing; a transfer is still described by its pipe.
USBD_STATUS RefuseAsGone(Bridge &bridge, PURB urb, HarlenWireRecord &record) {
  if (record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
    CheckTransfer(bridge, urb->UrbBulkOrInterruptTransfer, record);
  return USBD_STATUS_DEVICE_GONE;
}

// The fault the test armed for the next URB, taken by this one.
USBD_STATUS TakeFault(Bridge &bridge, bool &drop, bool &gone) {
  BusLock guard;
  gone = !bridge.present;
  drop = false;
  if (!bridge.faultArmed) return 0;
  bridge.faultArmed = FALSE;
  drop = bridge.fault.kind == HarlenDropNext;
  if (bridge.fault.kind == HarlenStallNext) return USBD_STATUS_STALL_PID;
  return bridge.fault.kind == HarlenFailNext ? bridge.fault.usbdStatus : 0;
}

NTSTATUS SubmitUrb(Bridge &bridge, PIRP irp, PURB urb) {
  HarlenWireRecord record = {};
  record.bridge = static_cast<uint16_t>(bridge.number);
  record.kind = HarlenWireUrb;
  if (urb == nullptr) {
    WireLogFinish(WireLogAppend(record), STATUS_INVALID_PARAMETER, 0, 0);
    return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
  }
  record.function = urb->UrbHeader.Function;
  record.length = urb->UrbHeader.Length;
  bool drop, gone;
  USBD_STATUS injected = TakeFault(bridge, drop, gone);
  if (drop) {
    Unplug(bridge);
    gone = true;
  }
  USBD_STATUS usbd = gone ? RefuseAsGone(bridge, urb, record) : ActOnUrb(bridge, urb, record, injected);
  ULONG sequence = WireLogAppend(record);
  // The abort shows before the transfers it ends.
  if (record.function == URB_FUNCTION_ABORT_PIPE && usbd == USBD_STATUS_SUCCESS) {
    LONG index;
    {
      BusLock guard;
      index = PipeIndexAt(bridge, record.endpointAddress);
    }
    if (index >= 0) FailQueued(bridge, index, USBD_STATUS_CANCELED);
  }
  irp->Tail.Overlay.DriverContext[1] = urb;
  if (usbd == USBD_STATUS_PENDING) return QueueTransfer(bridge, irp, urb, sequence);
  return FinishLater(bridge, irp, usbd, sequence, record.bytesMoved);
}

// Port requests complete in the dispatch call, as the bus answers them itself.
NTSTATUS PortRequest(Bridge &bridge, PIRP irp, ULONG code, PVOID argument) {
  HarlenWireRecord record = {};
  record.bridge = static_cast<uint16_t>(bridge.number);
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  {
    BusLock guard;
    if (code == IOCTL_INTERNAL_USB_RESET_PORT) {
      record.kind = HarlenWirePortReset;
      ++bridge.portResets;
      if (bridge.present) bridge.behaviour.portStatus |= USBD_PORT_ENABLED;
      status = bridge.present ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED;
    } else if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
      record.kind = HarlenWirePortStatus;
      record.value = static_cast<uint16_t>(bridge.behaviour.portStatus);
      status = argument ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
      if (argument) *static_cast<PULONG>(argument) = bridge.behaviour.portStatus;
    } else {
      record.kind = HarlenWireOther;
      record.value = static_cast<uint16_t>(code);
    }
  }
  WireLogFinish(WireLogAppend(record), status, 0, 0);
  return CompleteIrp(irp, status);
}

}  // namespace

NTSTATUS NtStatusOf(USBD_STATUS usbd) {
  switch (usbd) {
    case USBD_STATUS_SUCCESS: return STATUS_SUCCESS;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE: return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
  }
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS ChildInternalControl(Bridge &bridge, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) return SubmitUrb(bridge, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
  return PortRequest(bridge, irp, code, stack->Parameters.Others.Argument1);
}

// The answer is known; the DPC delivers it.
NTSTATUS FinishLater(Bridge &bridge, PIRP irp, USBD_STATUS usbd, ULONG sequence, ULONG bytes) {
  irp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(sequence));
  irp->Tail.Overlay.DriverContext[2] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(usbd));
  irp->Tail.Overlay.DriverContext[3] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(bytes));
  IoMarkIrpPending(irp);
  {
    BusLock guard;
    InsertTailList(&bridge.finished, &irp->Tail.Overlay.ListEntry);
  }
  KickDpc();
  return STATUS_PENDING;
}

void CompleteFinished(Bridge &bridge) {
  LIST_ENTRY taken;
  InitializeListHead(&taken);
  {
    BusLock guard;
    while (!IsListEmpty(&bridge.finished)) InsertTailList(&taken, RemoveHeadList(&bridge.finished));
  }
  while (!IsListEmpty(&taken)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&taken), IRP, Tail.Overlay.ListEntry);
    void **context = irp->Tail.Overlay.DriverContext;
    auto urb = static_cast<PURB>(context[1]);
    auto usbd = static_cast<USBD_STATUS>(reinterpret_cast<ULONG_PTR>(context[2]));
    urb->UrbHeader.Status = usbd;
    // A failed transfer moved nothing.
    if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
        urb->UrbHeader.Length == sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER))
      urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    NTSTATUS status = NtStatusOf(usbd);
    WireLogFinish(static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(context[0])), status, usbd,
                  static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(context[3])));
    CompleteIrp(irp, status);
  }
}

// The pipes of the configuration's first interface, as a select-configuration
// with default sizes would make them: for transfers with no function driver.
bool ConfigureForDirectLocked(Bridge &bridge) {
  InterfaceModel model;
  if (!FindInterface(bridge, false, 0, 0, model) || model.endpointCount > kMaxPipes) return false;
  for (ULONG i = 0; i < model.endpointCount; ++i) AddPipeLocked(bridge, model.endpoints[i]);
  bridge.configured = TRUE;
  return true;
}
