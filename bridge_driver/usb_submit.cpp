// The one path by which requests reach the bus: synchronous (allocate, send,
// wait, free) or asynchronous (send with the caller's completion routine).
#include "harlen.h"

// The bus's stack location: an internal device control with its argument.
static VOID KxAddressToBus(PIRP Irp, ULONG Code, PVOID Argument) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = Code;
  next->Parameters.Others.Argument1 = Argument;
}

// Requests whose end depends on the bridge answering a data stage; a removal
// refuses them, while it still sends the bus's own pipe and configuration requests.
static BOOLEAN KxWaitsForBridge(ULONG Code, PVOID Argument) {
  if (Code != IOCTL_INTERNAL_USB_SUBMIT_URB) return FALSE;
  USHORT function = ((PURB)Argument)->UrbHeader.Function;
  return function == URB_FUNCTION_VENDOR_DEVICE || function == URB_FUNCTION_CLASS_DEVICE ||
         function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
}

static BOOLEAN KxTrackOwnRequest(PKxDeviceExtension Extension, PKxOwnRequest Own, BOOLEAN Refusable) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->TransferLock, &irql);
  BOOLEAN tracked = !(Refusable && Extension->RefuseBridgeRequests);
  if (tracked) {
    Own->Next = Extension->OwnRequests;
    Extension->OwnRequests = Own;
  }
  KeReleaseSpinLock(&Extension->TransferLock, irql);
  return tracked;
}

// Once it is off the list no walk can find it; one that already has must let
// go before the packet is freed.
static VOID KxUntrackOwnRequest(PKxDeviceExtension Extension, PKxOwnRequest Own) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->TransferLock, &irql);
  PKxOwnRequest *link = &Extension->OwnRequests;
  while (*link != Own) link = &(*link)->Next;
  *link = Own->Next;
  BOOLEAN walked = Own->Cancellers > 0;
  KeReleaseSpinLock(&Extension->TransferLock, irql);
  if (walked) KeWaitForSingleObject(&Own->Released, Executive, KernelMode, FALSE, NULL);
}

static NTSTATUS NTAPI KxOwnRequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  (void)DeviceObject;
  (void)Irp;
  KeSetEvent(&((PKxOwnRequest)Context)->Done, 1, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The packet is ours until freed here, so a cancel walk can reach it safely
// for as long as it is on the list.
static NTSTATUS KxCallUSBDAndWait(PDEVICE_OBJECT DeviceObject, PVOID Argument, PULONG ControlCode) {
  PKxDeviceExtension extension = KxExtension(DeviceObject);
  PDEVICE_OBJECT lower = extension->LowerDeviceObject;
  ULONG code = ControlCode ? *ControlCode : IOCTL_INTERNAL_USB_SUBMIT_URB;
  KxOwnRequest own;
  own.Next = NULL;
  own.Cancelled = FALSE;
  own.Cancellers = 0;
  KeInitializeEvent(&own.Done, NotificationEvent, FALSE);
  KeInitializeEvent(&own.Released, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  own.Irp = irp;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  KxAddressToBus(irp, code, Argument);
  IoSetCompletionRoutine(irp, KxOwnRequestDone, &own, TRUE, TRUE, TRUE);
  if (!KxTrackOwnRequest(extension, &own, KxWaitsForBridge(code, Argument))) {
    IoFreeIrp(irp);
    return STATUS_DELETE_PENDING;
  }
  if (IoCallDriver(lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&own.Done, Executive, KernelMode, FALSE, NULL);
  NTSTATUS status = irp->IoStatus.Status;
  KxUntrackOwnRequest(extension, &own);
  IoFreeIrp(irp);
  return status;
}

extern "C" VOID KxCancelOwnRequests(PKxDeviceExtension DeviceExtension, BOOLEAN Refuse) {
  KIRQL irql;
  KeAcquireSpinLock(&DeviceExtension->TransferLock, &irql);
  if (Refuse) DeviceExtension->RefuseBridgeRequests = TRUE;
  for (;;) {
    PKxOwnRequest own = DeviceExtension->OwnRequests;
    while (own != NULL && own->Cancelled) own = own->Next;
    if (own == NULL) break;
    own->Cancelled = TRUE;
    ++own->Cancellers;
    // Cancelling may complete the request, whose waiter then takes the lock.
    KeReleaseSpinLock(&DeviceExtension->TransferLock, irql);
    IoCancelIrp(own->Irp);
    KeAcquireSpinLock(&DeviceExtension->TransferLock, &irql);
    if (--own->Cancellers == 0) KeSetEvent(&own->Released, 0, FALSE);
  }
  KeReleaseSpinLock(&DeviceExtension->TransferLock, irql);
}

static NTSTATUS KxCallUSBDAsync(PDEVICE_OBJECT Lower, PVOID Argument, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                PVOID Context, PIRP *IrpSent) {
  PIRP callerIrp = Context ? ((PIRP *)Context)[1] : NULL;
  PIRP irp = callerIrp ? callerIrp : IoAllocateIrp(Lower->StackSize, FALSE);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  KxAddressToBus(irp, IOCTL_INTERNAL_USB_SUBMIT_URB, Argument);
  IoSetCompletionRoutine(irp, CompletionRoutine, Context, TRUE, TRUE, TRUE);
  // Stored before sending, so that the caller can cancel the request while it runs.
  if (IrpSent) *IrpSent = irp;
  return IoCallDriver(Lower, irp);
}

extern "C" NTSTATUS KxCallUSBD(PDEVICE_OBJECT DeviceObject, PVOID Argument, BOOLEAN Synchronous,
                               PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context, PIRP *IrpSent) {
  if (Synchronous) return KxCallUSBDAndWait(DeviceObject, Argument, (PULONG)Context);
  return KxCallUSBDAsync(KxExtension(DeviceObject)->LowerDeviceObject, Argument, CompletionRoutine, Context, IrpSent);
}

// Keeps the request for the routine that sent it, which completes it again.
extern "C" NTSTATUS NTAPI KxIrpCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  (void)DeviceObject;
  (void)Irp;
  KeSetEvent((PKEVENT)Context, 1, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}
