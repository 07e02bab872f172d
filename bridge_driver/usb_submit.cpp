// The one path by which requests reach the bus: synchronous (build, send,
// wait) or asynchronous (send with the caller's completion routine).
#include "harlen.h"

static NTSTATUS KxCallUSBDAndWait(PDEVICE_OBJECT Lower, PVOID Argument, PULONG ControlCode) {
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  ULONG code = ControlCode ? *ControlCode : IOCTL_INTERNAL_USB_SUBMIT_URB;

  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(code, Lower, NULL, 0, NULL, 0, TRUE, &event, &ioStatus);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Argument;
  if (IoCallDriver(Lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
  return ioStatus.Status;
}

static NTSTATUS KxCallUSBDAsync(PDEVICE_OBJECT Lower, PVOID Argument, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                PVOID Context, PIRP *IrpSent) {
  PIRP callerIrp = Context ? ((PIRP *)Context)[1] : NULL;
  PIRP irp = callerIrp ? callerIrp : IoAllocateIrp(Lower->StackSize, FALSE);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.Others.Argument1 = Argument;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  IoSetCompletionRoutine(irp, CompletionRoutine, Context, TRUE, TRUE, TRUE);
  // Stored before sending, so that the caller can cancel the request while it runs.
  if (IrpSent) *IrpSent = irp;
  return IoCallDriver(Lower, irp);
}

extern "C" NTSTATUS KxCallUSBD(PDEVICE_OBJECT DeviceObject, PVOID Argument, BOOLEAN Synchronous,
                               PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context, PIRP *IrpSent) {
  PDEVICE_OBJECT lower = KxExtension(DeviceObject)->LowerDeviceObject;
  if (Synchronous) return KxCallUSBDAndWait(lower, Argument, (PULONG)Context);
  return KxCallUSBDAsync(lower, Argument, CompletionRoutine, Context, IrpSent);
}

// Keeps the request for the routine that sent it, which completes it again.
extern "C" NTSTATUS NTAPI KxIrpCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  (void)DeviceObject;
  (void)Irp;
  KeSetEvent((PKEVENT)Context, 1, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}
