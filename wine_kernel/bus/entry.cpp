// The test bus driver's entry, its dispatch by kind of device object, and the
// root-enumerated FDO: it reports the plugged bridges as its children and
// owns the control device while it exists.
#include "bus.h"

Bus TheBus;  // zero-initialised; no constructors run in this image

namespace {

WCHAR controlName[] = HARLEN_BUS_DEVICE_NAME;
WCHAR linkName[] = HARLEN_BUS_LINK_NAME;
UNICODE_STRING kControlName = RTL_CONSTANT_STRING(controlName);
UNICODE_STRING kLinkName = RTL_CONSTANT_STRING(linkName);

NTSTATUS PassDown(PDEVICE_OBJECT fdo, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ExtensionOf(fdo)->lower, irp);
}

NTSTATUS NTAPI SignalStarted(PDEVICE_OBJECT, PIRP, PVOID event) {
  KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The lower device starts first; the FDO then has nothing of its own to start.
NTSTATUS StartFdo(PDEVICE_OBJECT fdo, PIRP irp) {
  KEVENT started;
  KeInitializeEvent(&started, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalStarted, &started, TRUE, TRUE, TRUE);
  if (IoCallDriver(ExtensionOf(fdo)->lower, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&started, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  // The root device has no start of its own to fail: it answers as unsupported.
  if (status == STATUS_NOT_SUPPORTED) status = STATUS_SUCCESS;
  return CompleteIrp(irp, status, irp->IoStatus.Information);
}

// The present bridges, each referenced for the PnP manager, which releases them.
NTSTATUS QueryBusRelations(PIRP irp) {
  PDEVICE_OBJECT children[kMaxBridges];
  ULONG count = 0;
  {
    BusLock guard;
    for (ULONG i = 0; i < TheBus.bridgeCount; ++i) {
      Bridge &bridge = *TheBus.bridges[i];
      if (!bridge.present || bridge.pdo == nullptr) continue;
      bridge.reported = TRUE;
      children[count++] = bridge.pdo;
    }
  }
  ULONG size = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + (count ? count : 1) * sizeof(PDEVICE_OBJECT);
  auto relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, kBusTag));
  if (relations == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  relations->Count = count;
  for (ULONG i = 0; i < count; ++i) {
    ObReferenceObject(children[i]);
    relations->Objects[i] = children[i];
  }
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  return STATUS_SUCCESS;
}

// Everything the bus holds ends as for removed devices, then is freed.
void RemoveBridges() {
  for (ULONG i = 0; Bridge *bridge = BridgeAt(i); ++i) {
    {
      BusLock guard;
      bridge->present = FALSE;
    }
    FailQueued(*bridge, -1, USBD_STATUS_DEVICE_GONE);
  }
  WaitForDpcIdle();
  Bridge *bridges[kMaxBridges];
  ULONG count;
  {
    BusLock guard;
    count = TheBus.bridgeCount;
    RtlCopyMemory(bridges, TheBus.bridges, count * sizeof(Bridge *));
    TheBus.bridgeCount = 0;
  }
  WaitForDpcIdle();
  for (ULONG i = 0; i < count; ++i) {
    CompleteFinished(*bridges[i]);
    if (bridges[i]->pdo) IoDeleteDevice(bridges[i]->pdo);
    FreeLoopback(*bridges[i]);
    ExFreePoolWithTag(bridges[i], kBusTag);
  }
}

NTSTATUS RemoveFdo(PDEVICE_OBJECT fdo, PIRP irp) {
  IoDeleteSymbolicLink(&kLinkName);
  if (TheBus.control) IoDeleteDevice(TheBus.control);
  TheBus.control = nullptr;
  RemoveBridges();
  StopDeferred();
  PDEVICE_OBJECT lower = ExtensionOf(fdo)->lower;
  irp->IoStatus.Status = STATUS_SUCCESS;
  NTSTATUS status = PassDown(fdo, irp);
  IoDetachDevice(lower);
  IoDeleteDevice(fdo);
  TheBus.fdo = TheBus.rootPdo = nullptr;
  return status;
}

NTSTATUS CreateControlDevice(PDRIVER_OBJECT driver) {
  PDEVICE_OBJECT control;
  NTSTATUS status = IoCreateDevice(driver, sizeof(BusExtension), &kControlName,
                                   FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &control);
  if (!NT_SUCCESS(status)) return status;
  status = IoCreateSymbolicLink(&kLinkName, &kControlName);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(control);
    return status;
  }
  ExtensionOf(control)->kind = BusObject::Control;
  // Reads and writes come as MDLs, as they do to a function driver.
  control->Flags |= DO_DIRECT_IO;
  control->Flags &= ~DO_DEVICE_INITIALIZING;
  TheBus.control = control;
  return STATUS_SUCCESS;
}

// One bus per system: a second root device would find the control device's name taken.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT rootPdo) {
  if (TheBus.fdo) return STATUS_DEVICE_ALREADY_ATTACHED;
  PDEVICE_OBJECT fdo;
  NTSTATUS status = IoCreateDevice(driver, sizeof(BusExtension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, rootPdo);
  ExtensionOf(fdo)->kind = BusObject::Fdo;
  ExtensionOf(fdo)->lower = lower;
  if (lower == nullptr || !NT_SUCCESS(status = CreateControlDevice(driver))) {
    if (lower) IoDetachDevice(lower);
    IoDeleteDevice(fdo);
    return lower ? status : STATUS_NO_SUCH_DEVICE;
  }
  TheBus.fdo = fdo;
  TheBus.rootPdo = rootPdo;
  StartDeferred();
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  BusExtension *extension = ExtensionOf(device);
  if (extension->kind == BusObject::Child) return ChildPnp(*extension->bridge, irp);
  if (extension->kind == BusObject::Control) return CompleteIrp(irp, irp->IoStatus.Status, irp->IoStatus.Information);
  return FdoPnp(device, irp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  BusExtension *extension = ExtensionOf(device);
  if (extension->kind == BusObject::Child) return ChildPower(*extension->bridge, irp);
  PoStartNextPowerIrp(irp);
  if (extension->kind == BusObject::Control) return CompleteIrp(irp, irp->IoStatus.Status, irp->IoStatus.Information);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(extension->lower, irp);
}

NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp) {
  BusExtension *extension = ExtensionOf(device);
  if (extension->kind == BusObject::Child) return ChildInternalControl(*extension->bridge, irp);
  return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  BusExtension *extension = ExtensionOf(device);
  if (extension->kind == BusObject::Control) return ControlDeviceControl(irp);
  if (extension->kind == BusObject::Fdo) return PassDown(device, irp);
  return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS NTAPI DispatchOpenClose(PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); }

NTSTATUS NTAPI DispatchReadWrite(PDEVICE_OBJECT device, PIRP irp) {
  if (ExtensionOf(device)->kind != BusObject::Control) return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
  return DirectTransfer(irp, IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_WRITE);
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp) {
  if (ExtensionOf(device)->kind == BusObject::Fdo) return PassDown(device, irp);
  return CompleteIrp(irp, irp->IoStatus.Status, irp->IoStatus.Information);
}

VOID NTAPI Unload(PDRIVER_OBJECT) {
  StopDeferred();
  WireLogFree();
}

}  // namespace

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS FdoPnp(PDEVICE_OBJECT fdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: return StartFdo(fdo, irp);
    case IRP_MN_REMOVE_DEVICE: return RemoveFdo(fdo, irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) break;
      NTSTATUS status = QueryBusRelations(irp);
      if (!NT_SUCCESS(status)) return CompleteIrp(irp, status);
      irp->IoStatus.Status = status;
      break;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
  }
  return PassDown(fdo, irp);
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  KeInitializeSpinLock(&TheBus.lock);
  InitDeferred();
  NTSTATUS status = WireLogCreate();
  if (!NT_SUCCESS(status)) return status;
  driver->DriverUnload = Unload;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchOpenClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchOpenClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchOpenClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  driver->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
  driver->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  return STATUS_SUCCESS;
}
