// PnP and power at a bridge's PDO: the identities a USB device reports, its
// capabilities, and its removal: a PDO removed after its unplug is deleted,
// one removed while still plugged stays for the next enumeration.
#include "bus.h"

namespace {

const GUID kUsbBusType = {0x9d7debbc, 0xc85d, 0x11d1, {0x9e, 0xb4, 0x00, 0x60, 0x08, 0xc3, 0xa1, 0x9a}};

// A multi-string built in place; ids are short.
struct IdText {
  WCHAR text[200];
  ULONG length = 0;

  IdText &Add(const WCHAR *part) {
    while (*part && length < 190) text[length++] = *part++;
    return *this;
  }
  IdText &Hex(ULONG value, int digits) {
    while (digits--) text[length++] = L"0123456789ABCDEF"[(value >> (4 * digits)) & 15];
    return *this;
  }
  IdText &Decimal(ULONG value) {
    WCHAR reversed[10];
    int count = 0;
    do reversed[count++] = static_cast<WCHAR>(L'0' + value % 10); while (value /= 10);
    while (count) text[length++] = reversed[--count];
    return *this;
  }
  IdText &End() {
    text[length++] = 0;
    return *this;
  }
  // The PnP manager frees it with ExFreePool.
  PWCHAR Copy() const {
    auto copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, length * sizeof(WCHAR), kBusTag));
    if (copy) RtlCopyMemory(copy, text, length * sizeof(WCHAR));
    return copy;
  }
};

IdText &DeviceId(IdText &id, const Bridge &bridge) {
  return id.Add(L"USB\\VID_").Hex(bridge.vendorId, 4).Add(L"&PID_").Hex(bridge.productId, 4);
}

// As a single-interface USB device reports them: from its first interface.
void CompatibleIds(IdText &id, const Bridge &bridge) {
  InterfaceModel model;
  if (!FindInterface(bridge, true, 0, 0, model)) model.descriptor = {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 0, 0xFF, 0, 0, 0};
  const USB_INTERFACE_DESCRIPTOR &d = model.descriptor;
  id.Add(L"USB\\Class_").Hex(d.bInterfaceClass, 2).Add(L"&SubClass_").Hex(d.bInterfaceSubClass, 2);
  id.Add(L"&Prot_").Hex(d.bInterfaceProtocol, 2).End();
  id.Add(L"USB\\Class_").Hex(d.bInterfaceClass, 2).Add(L"&SubClass_").Hex(d.bInterfaceSubClass, 2).End();
  id.Add(L"USB\\Class_").Hex(d.bInterfaceClass, 2).End().End();
}

NTSTATUS QueryId(const Bridge &bridge, BUS_QUERY_ID_TYPE type, ULONG_PTR &information, NTSTATUS status) {
  IdText id;
  switch (type) {
    case BusQueryDeviceID: DeviceId(id, bridge).End(); break;
    case BusQueryHardwareIDs:
      DeviceId(id, bridge).Add(L"&REV_0100").End();
      DeviceId(id, bridge).End().End();
      break;
    case BusQueryCompatibleIDs: CompatibleIds(id, bridge); break;
    case BusQueryInstanceID: id.Decimal(bridge.number).End(); break;
    default: return status;
  }
  information = reinterpret_cast<ULONG_PTR>(id.Copy());
  return information ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS QueryText(const Bridge &bridge, DEVICE_TEXT_TYPE type, ULONG_PTR &information, NTSTATUS status) {
  IdText text;
  if (type == DeviceTextDescription)
    text.Add(L"Harlen test bridge").End();
  else if (type == DeviceTextLocationInformation)
    text.Add(L"Harlen test bus port ").Decimal(bridge.number).End();
  else
    return status;
  information = reinterpret_cast<ULONG_PTR>(text.Copy());
  return information ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS QueryCapabilities(const Bridge &bridge, PDEVICE_CAPABILITIES caps) {
  if (caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) return STATUS_UNSUCCESSFUL;
  caps->DeviceD1 = caps->DeviceD2 = FALSE;
  caps->LockSupported = caps->EjectSupported = caps->DockDevice = FALSE;
  caps->UniqueID = caps->SilentInstall = caps->RawDeviceOK = FALSE;
  caps->Removable = caps->SurpriseRemovalOK = TRUE;
  caps->Address = caps->UINumber = bridge.number;
  caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; ++state) caps->DeviceState[state] = PowerDeviceD3;
  caps->SystemWake = PowerSystemUnspecified;
  caps->DeviceWake = PowerDeviceUnspecified;
  return STATUS_SUCCESS;
}

NTSTATUS QueryBusInformation(ULONG_PTR &information) {
  auto info = static_cast<PPNP_BUS_INFORMATION>(ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), kBusTag));
  if (info == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  info->BusTypeGuid = kUsbBusType;
  info->LegacyBusType = PNPBus;
  info->BusNumber = 0;
  information = reinterpret_cast<ULONG_PTR>(info);
  return STATUS_SUCCESS;
}

NTSTATUS QueryTargetRelation(PDEVICE_OBJECT pdo, ULONG_PTR &information) {
  auto relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kBusTag));
  if (relations == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  ObReferenceObject(pdo);
  relations->Count = 1;
  relations->Objects[0] = pdo;
  information = reinterpret_cast<ULONG_PTR>(relations);
  return STATUS_SUCCESS;
}

void SetStarted(Bridge &bridge, BOOLEAN started) {
  BusLock guard;
  bridge.started = started;
}

ULONG LogArrival(const Bridge &bridge, HarlenWireKind kind, UCHAR minor) {
  HarlenWireRecord record = {};
  record.bridge = static_cast<uint16_t>(bridge.number);
  record.kind = static_cast<uint16_t>(kind);
  record.function = minor;
  return WireLogAppend(record);
}

// The PDO stays while the bridge is plugged; after its unplug it goes.
NTSTATUS RemoveChild(Bridge &bridge, PIRP irp, ULONG sequence) {
  PDEVICE_OBJECT gone = nullptr;
  {
    BusLock guard;
    bridge.started = FALSE;
    if (!bridge.present) {
      gone = bridge.pdo;
      bridge.pdo = nullptr;
      bridge.reported = FALSE;
    }
  }
  if (gone) FailQueued(bridge, -1, USBD_STATUS_DEVICE_GONE);
  WireLogFinish(sequence, STATUS_SUCCESS, 0, 0);
  CompleteIrp(irp, STATUS_SUCCESS);
  if (gone) IoDeleteDevice(gone);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ChildPnp(Bridge &bridge, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG sequence = LogArrival(bridge, HarlenWirePnp, stack->MinorFunction);
  NTSTATUS status = irp->IoStatus.Status;
  ULONG_PTR information = irp->IoStatus.Information;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      SetStarted(bridge, TRUE);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      SetStarted(bridge, FALSE);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_RESOURCES:  // none: the information stays empty
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: return RemoveChild(bridge, irp, sequence);
    case IRP_MN_QUERY_ID: status = QueryId(bridge, stack->Parameters.QueryId.IdType, information, status); break;
    case IRP_MN_QUERY_DEVICE_TEXT:
      status = QueryText(bridge, stack->Parameters.QueryDeviceText.DeviceTextType, information, status);
      break;
    case IRP_MN_QUERY_CAPABILITIES: status = QueryCapabilities(bridge, stack->Parameters.DeviceCapabilities.Capabilities); break;
    case IRP_MN_QUERY_BUS_INFORMATION: status = QueryBusInformation(information); break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation)
        status = QueryTargetRelation(bridge.pdo, information);
      break;
  }
  WireLogFinish(sequence, status, 0, 0);
  return CompleteIrp(irp, status, information);
}

// Set and query are answered at once; the bus starts the next power IRP itself.
NTSTATUS ChildPower(Bridge &bridge, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG sequence = LogArrival(bridge, HarlenWirePower, stack->MinorFunction);
  NTSTATUS status = irp->IoStatus.Status;
  if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
    status = STATUS_SUCCESS;
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState)
      PoSetPowerState(bridge.pdo, DevicePowerState, stack->Parameters.Power.State);
  }
  PoStartNextPowerIrp(irp);
  WireLogFinish(sequence, status, 0, 0);
  return CompleteIrp(irp, status, irp->IoStatus.Information);
}

NTSTATUS CreateChild(Bridge &bridge) {
  PDEVICE_OBJECT pdo;
  NTSTATUS status = IoCreateDevice(TheBus.fdo->DriverObject, sizeof(BusExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                   FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
  if (!NT_SUCCESS(status)) return status;
  BusExtension *extension = ExtensionOf(pdo);
  extension->kind = BusObject::Child;
  extension->bridge = &bridge;
  extension->lower = nullptr;
  pdo->Flags |= DO_POWER_PAGABLE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  bridge.pdo = pdo;
  return STATUS_SUCCESS;
}
