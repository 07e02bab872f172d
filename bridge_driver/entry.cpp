// Driver entry, the dispatch table, open/close, the requests passed straight
// down, and the I/O gate.
#include "harlen.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  (void)RegistryPath;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = KxCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = KxClose;
  DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = KxInternalDevControl;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = KxSystemCtrl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = KxPnpPower;
  DriverObject->DriverUnload = KxUnload;
  DriverObject->DriverExtension->AddDevice = KxPnpAddDevice;
  return STATUS_SUCCESS;
}

// Every device is cleaned up at its removal; nothing is left for unload.
extern "C" VOID NTAPI KxUnload(PDRIVER_OBJECT DriverObject) { (void)DriverObject; }

// No per-open state: opening and closing succeed in every device state.
extern "C" NTSTATUS NTAPI KxCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  (void)DeviceObject;
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI KxSystemCtrl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PKxDeviceExtension extension = KxExtension(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  if (extension->DeviceRemoved) {
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  IoCopyCurrentIrpStackLocationToNext(Irp);
  return IoCallDriver(extension->LowerDeviceObject, Irp);
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
}
