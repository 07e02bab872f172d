// Driver entry, the dispatch table, open/close, the requests passed straight
// down, and the I/O gate.
#include "harlen.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  (void)RegistryPath;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = KxCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = KxClose;
  DriverObject->MajorFunction[IRP_MJ_READ] = KxRead;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = KxWrite;
  DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = KxInternalDevControl;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = KxSystemCtrl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = KxPnpPower;
  DriverObject->MajorFunction[IRP_MJ_POWER] = KxProcessPowerIrp;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = KxDeviceControl;
  DriverObject->DriverUnload = KxUnload;
  DriverObject->DriverExtension->AddDevice = KxPnpAddDevice;
  return STATUS_SUCCESS;
}

// Every device is cleaned up at its removal; nothing is left for unload.
extern "C" VOID NTAPI KxUnload(PDRIVER_OBJECT DriverObject) { (void)DriverObject; }

// No per-open state: opening and closing succeed in every device state. The
// device serves no namespace: a name below it ("\\.\Harlen0\x") is refused,
// since such an open would otherwise pass by the device's security check
// wherever FILE_DEVICE_SECURE_OPEN is not honoured.
extern "C" NTSTATUS NTAPI KxCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  (void)DeviceObject;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT file = (PFILE_OBJECT)stack->FileObject;
  BOOLEAN named = stack->MajorFunction == IRP_MJ_CREATE && file != NULL && file->FileName.Length != 0;
  NTSTATUS status = named ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
  Irp->IoStatus.Status = status;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

extern "C" NTSTATUS NTAPI KxSystemCtrl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PKxDeviceExtension extension = KxExtension(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  if (!KxAcquireIo(extension)) {
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  IoCopyCurrentIrpStackLocationToNext(Irp);
  NTSTATUS status = IoCallDriver(extension->LowerDeviceObject, Irp);
  KxReleaseIo(extension);
  return status;
}

// The driver serves no internal request of its own: all go down the stack.
extern "C" NTSTATUS NTAPI KxInternalDevControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return KxSystemCtrl(DeviceObject, Irp);
}

extern "C" BOOLEAN KxCanAcceptIoRequests(PKxDeviceExtension DeviceExtension) {
  return DeviceExtension->DeviceStarted && !DeviceExtension->DeviceRemoved && !DeviceExtension->HoldIoRequests;
}

extern "C" VOID ClearCountersNflags(PDEVICE_OBJECT DeviceObject) {
  PKxDeviceExtension extension = KxExtension(DeviceObject);
  extension->DeviceRemoved = FALSE;
  extension->HoldIoRequests = FALSE;
  extension->DeviceStarted = FALSE;
  extension->TransferContext = NULL;
  KeInitializeSpinLock(&extension->TransferLock);
  extension->TransferUsers = 0;
  extension->IoCount = 1;
  KeInitializeEvent(&extension->RemoveEvent, NotificationEvent, FALSE);
  extension->SurpriseRemoved = FALSE;
  extension->OwnRequests = NULL;
  extension->RefuseBridgeRequests = FALSE;
  extension->HeldCancel = KX_HELD_NONE;
}

extern "C" VOID KxSetStateFlag(PKxDeviceExtension DeviceExtension, BOOLEAN *Flag, BOOLEAN Value) {
  KIRQL irql;
  KeAcquireSpinLock(&DeviceExtension->TransferLock, &irql);
  *Flag = Value;
  KeReleaseSpinLock(&DeviceExtension->TransferLock, irql);
}

extern "C" VOID KxOpenGate(PKxDeviceExtension DeviceExtension) {
  KIRQL irql;
  KeAcquireSpinLock(&DeviceExtension->TransferLock, &irql);
  DeviceExtension->HoldIoRequests = FALSE;
  DeviceExtension->DeviceStarted = TRUE;
  KeReleaseSpinLock(&DeviceExtension->TransferLock, irql);
}

extern "C" BOOLEAN KxIsRemoved(PKxDeviceExtension DeviceExtension) {
  KIRQL irql;
  KeAcquireSpinLock(&DeviceExtension->TransferLock, &irql);
  BOOLEAN removed = DeviceExtension->DeviceRemoved;
  KeReleaseSpinLock(&DeviceExtension->TransferLock, irql);
  return removed;
}

// Win98 has no remove-lock routines; a count and an event do the same.
// Refused once removal has begun: the device below may be going away.
extern "C" BOOLEAN KxAcquireIo(PKxDeviceExtension DeviceExtension) {
  KIRQL irql;
  KeAcquireSpinLock(&DeviceExtension->TransferLock, &irql);
  BOOLEAN removed = DeviceExtension->DeviceRemoved;
  if (!removed) InterlockedIncrement(&DeviceExtension->IoCount);
  KeReleaseSpinLock(&DeviceExtension->TransferLock, irql);
  return !removed;
}

extern "C" VOID KxReleaseIo(PKxDeviceExtension DeviceExtension) {
  if (InterlockedDecrement(&DeviceExtension->IoCount) == 0) KeSetEvent(&DeviceExtension->RemoveEvent, 0, FALSE);
}

// At removal, after DeviceRemoved is set: drops the device's own reference and
// waits until every request that got in has let go.
extern "C" VOID KxReleaseIoAndWait(PKxDeviceExtension DeviceExtension) {
  KxReleaseIo(DeviceExtension);
  KeWaitForSingleObject(&DeviceExtension->RemoveEvent, Executive, KernelMode, FALSE, NULL);
}
