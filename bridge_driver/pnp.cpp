// Adding a device, and carrying it through start, queried and cancelled stops
// and removals, stop, removal and surprise removal.
#include "harlen.h"

#define KX_MAX_DEVICES 8

// "\Device\Harlen0" and "\DosDevices\Harlen0" with the last character replaced.
static void KxNameWithDigit(PUNICODE_STRING Name, PWSTR Buffer, WCHAR Digit) {
  RtlInitUnicodeString(Name, Buffer);
  Buffer[Name->Length / sizeof(WCHAR) - 1] = Digit;
}

static NTSTATUS KxCopyDown(PDEVICE_OBJECT Lower, PIRP Irp) {
  IoCopyCurrentIrpStackLocationToNext(Irp);
  return IoCallDriver(Lower, Irp);
}

static NTSTATUS KxSkipDown(PDEVICE_OBJECT Lower, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(Lower, Irp);
}

static NTSTATUS KxCompleteWith(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

// The lower drivers start first; the request comes back here to be completed.
static void KxForwardAndWait(PDEVICE_OBJECT Lower, PIRP Irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, KxIrpCompletionRoutine, &event, TRUE, TRUE, TRUE);
  if (IoCallDriver(Lower, Irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
}

extern "C" NTSTATUS NTAPI KxPnpAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  WCHAR deviceBuffer[] = KX_WIDE("\\Device\\Harlen0");
  WCHAR linkBuffer[] = KX_WIDE("\\DosDevices\\Harlen0");
  UNICODE_STRING deviceName, linkName;
  PDEVICE_OBJECT device = NULL;
  NTSTATUS status = STATUS_SUCCESS;
  WCHAR digit = '0';

  if (PhysicalDeviceObject == NULL) return STATUS_NO_MORE_ENTRIES;
  for (int attempt = 0; attempt < KX_MAX_DEVICES; ++attempt) {
    digit = (WCHAR)('0' + attempt);
    KxNameWithDigit(&deviceName, deviceBuffer, digit);
    // Secure open: the security descriptor guards names below the device too.
    status = IoCreateDevice(DriverObject, sizeof(KxDeviceExtension), &deviceName, FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (NT_SUCCESS(status)) break;
  }
  if (!NT_SUCCESS(status)) return status;
  ClearCountersNflags(device);

  PKxDeviceExtension extension = KxExtension(device);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  device->Flags |= DO_DIRECT_IO;
  extension->NameDigit = digit;

  KxNameWithDigit(&linkName, linkBuffer, digit);
  status = IoCreateSymbolicLink(&linkName, &deviceName);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
  // Every pass-down relies on the lower device: without one, leave nothing behind.
  if (extension->LowerDeviceObject == NULL) {
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  device->Flags |= DO_POWER_PAGABLE;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI KxPnpPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PKxDeviceExtension extension = KxExtension(DeviceObject);
  // Kept for the whole request: removal deletes the device object before the request goes down.
  PDEVICE_OBJECT lower = extension->LowerDeviceObject;

  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      KxSetStateFlag(extension, &extension->HoldIoRequests, TRUE);
      KxForwardAndWait(lower, Irp);
      return KxCompleteWith(Irp, KxStartDevice(DeviceObject));

    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
      if (!extension->DeviceStarted) return KxSkipDown(lower, Irp);
      // Held first, so that no new read or write slips in after the cancel.
      KxSetStateFlag(extension, &extension->HoldIoRequests, TRUE);
      KxCancelOwnRequests(extension, FALSE);
      KxCallAbortPipe(DeviceObject, KX_SELECT_TRANSFER);
      return KxCopyDown(lower, Irp);

    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
      if (!extension->DeviceStarted) return KxSkipDown(lower, Irp);
      KxSetStateFlag(extension, &extension->HoldIoRequests, FALSE);
      return KxCopyDown(lower, Irp);

    case IRP_MN_STOP_DEVICE:
      // Windows does not let a function driver fail a stop: the failure is
      // kept, and the lower drivers stop all the same.
      extension->StopFailure = KxStopDevice(DeviceObject);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return KxCopyDown(lower, Irp);

    case IRP_MN_REMOVE_DEVICE:
      KxRemoveDevice(DeviceObject);
      return KxCopyDown(lower, Irp);

    case IRP_MN_SURPRISE_REMOVAL:
      KxSurpriseRemoval(DeviceObject);
      return KxCopyDown(lower, Irp);

    default:
      return KxCopyDown(lower, Irp);
  }
}

extern "C" NTSTATUS KxStopDevice(PDEVICE_OBJECT DeviceObject) {
  PKxDeviceExtension extension = KxExtension(DeviceObject);
  NTSTATUS status = STATUS_SUCCESS;
  if (!extension->DeviceStarted) return STATUS_SUCCESS;
  // Closed before anything is torn down and never open again until the next
  // start: a read that got past it is the one the cancel below finds.
  KxSetStateFlag(extension, &extension->DeviceStarted, FALSE);
  KxCallAbortPipe(DeviceObject, KX_SELECT_TRANSFER);
  // A removed bridge is gone from the bus: nothing to deconfigure.
  if (!KxIsRemoved(extension)) {
    struct _URB_SELECT_CONFIGURATION urb;
    RtlZeroMemory(&urb, sizeof(urb));
    urb.Hdr.Length = (USHORT)KX_DECONFIGURE_URB_LENGTH;
    urb.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb.ConfigurationDescriptor = NULL;
    status = KxCallUSBD(DeviceObject, &urb, TRUE, NULL, NULL, NULL);
  }
  KxSetStateFlag(extension, &extension->HoldIoRequests, FALSE);
  return status;
}

static VOID KxDeleteLink(PKxDeviceExtension DeviceExtension) {
  WCHAR linkBuffer[] = KX_WIDE("\\DosDevices\\Harlen0");
  UNICODE_STRING linkName;
  KxNameWithDigit(&linkName, linkBuffer, DeviceExtension->NameDigit);
  IoDeleteSymbolicLink(&linkName);
}

// The bridge is gone: its I/O ends and nobody can open it any more, but the
// device object stays attached until the removal that follows.
extern "C" VOID KxSurpriseRemoval(PDEVICE_OBJECT DeviceObject) {
  PKxDeviceExtension extension = KxExtension(DeviceObject);
  KxSetStateFlag(extension, &extension->DeviceRemoved, TRUE);
  KxCancelOwnRequests(extension, TRUE);
  KxStopDevice(DeviceObject);
  KxDeleteLink(extension);
  extension->SurpriseRemoved = TRUE;
}

extern "C" NTSTATUS KxRemoveDevice(PDEVICE_OBJECT DeviceObject) {
  PKxDeviceExtension extension = KxExtension(DeviceObject);
  KxSetStateFlag(extension, &extension->DeviceRemoved, TRUE);
  // A request waiting for a bridge that never answers would hold the remove
  // lock forever: its wait ends here, and no new one starts.
  KxCancelOwnRequests(extension, TRUE);
  KxStopDevice(DeviceObject);
  // No request may still be using the device when it is deleted.
  KxReleaseIoAndWait(extension);
  DEVNODE child = extension->ChildDevNode;
  NTSTATUS status = DetachDeviceObject(DeviceObject, extension);
  RemoveDevice(child);
  return status;
}

extern "C" NTSTATUS DetachDeviceObject(PDEVICE_OBJECT DeviceObject, PKxDeviceExtension DeviceExtension) {
  IoDetachDevice(DeviceExtension->LowerDeviceObject);
  if (!DeviceExtension->SurpriseRemoved) KxDeleteLink(DeviceExtension);
  IoDeleteDevice(DeviceObject);
  return STATUS_SUCCESS;
}
