// Ending a transfer before its time and bringing the pipes and the port back:
// abort and reset of a bulk pipe, the cancellation of the transfer in flight,
// clearing an endpoint's stall, and the conditional port reset.
#include "harlen.h"

// Half a second, relative, in 100 ns units.
static VOID KxPause(void) {
  LARGE_INTEGER interval;
  interval.QuadPart = -5000000LL;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

extern "C" NTSTATUS KxCallAbortPipe(PDEVICE_OBJECT DeviceObject, ULONG Selector) {
  switch (Selector) {
    case KX_SELECT_IN:
      AbortResetBulkPipe(DeviceObject, UsbdPipeTypeBulk, KX_DIRECTION_IN);
      return STATUS_SUCCESS;
    case KX_SELECT_OUT:
      AbortResetBulkPipe(DeviceObject, UsbdPipeTypeBulk, KX_DIRECTION_OUT);
      return STATUS_SUCCESS;
    case KX_SELECT_TRANSFER:
      KxCancelReadWriteIrp(DeviceObject);
      return STATUS_SUCCESS;
  }
  return STATUS_INVALID_PARAMETER;
}

extern "C" VOID KxCancelReadWriteIrp(PDEVICE_OBJECT DeviceObject) {
  AbortResetBulkPipe(DeviceObject, UsbdPipeTypeBulk, KX_DIRECTION_IN);
  AbortResetBulkPipe(DeviceObject, UsbdPipeTypeBulk, KX_DIRECTION_OUT);
  KxCancelPendingIo(DeviceObject);
}

extern "C" VOID AbortResetBulkPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_TYPE PipeType, UCHAR Direction) {
  PKxDeviceExtension extension = KxExtension(DeviceObject);
  if (!KxTransferInFlight(extension)) return;
  UCHAR index = GetIndexFromPipeType(extension, PipeType, Direction);
  if (index == KX_NO_PIPE) return;
  KxPause();
  KxAbortPipeSelected(DeviceObject, index);
  KxPause();
  KxResetPipeSelected(DeviceObject, index);
}

static NTSTATUS KxPipeRequest(PDEVICE_OBJECT DeviceObject, UCHAR Index, USHORT Function) {
  struct _URB_PIPE_REQUEST *urb =
      (struct _URB_PIPE_REQUEST *)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST), KX_POOL_TAG);
  if (urb == NULL) return STATUS_NO_MEMORY;
  RtlZeroMemory(urb, sizeof(*urb));
  urb->Hdr.Length = sizeof(*urb);
  urb->Hdr.Function = Function;
  urb->PipeHandle = KxExtension(DeviceObject)->PipeInfo[Index].PipeHandle;
  NTSTATUS status = KxCallUSBD(DeviceObject, urb, TRUE, NULL, NULL, NULL);
  ExFreePool(urb);
  return status;
}

extern "C" NTSTATUS KxAbortPipeSelected(PDEVICE_OBJECT DeviceObject, UCHAR Index) {
  return KxPipeRequest(DeviceObject, Index, URB_FUNCTION_ABORT_PIPE);
}

extern "C" NTSTATUS KxResetPipeSelected(PDEVICE_OBJECT DeviceObject, UCHAR Index) {
  return KxPipeRequest(DeviceObject, Index, URB_FUNCTION_RESET_PIPE);
}

extern "C" NTSTATUS KxClearStall(PDEVICE_OBJECT DeviceObject, ULONG Endpoint) {
  struct _URB_CONTROL_FEATURE_REQUEST *urb = (struct _URB_CONTROL_FEATURE_REQUEST *)ExAllocatePoolWithTag(
      NonPagedPool, sizeof(struct _URB_CONTROL_FEATURE_REQUEST), KX_POOL_TAG);
  if (urb == NULL) return STATUS_NO_MEMORY;
  RtlZeroMemory(urb, sizeof(*urb));
  urb->Hdr.Length = sizeof(*urb);
  urb->Hdr.Function = URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT;
  urb->FeatureSelector = USB_FEATURE_ENDPOINT_STALL;
  urb->Index = (USHORT)(Endpoint & 0xFFFF);
  urb->UrbLink = NULL;
  NTSTATUS status = KxCallUSBD(DeviceObject, urb, TRUE, NULL, NULL, NULL);
  ExFreePool(urb);
  return status;
}

// Resets the upstream port only when the bridge is connected but its port is
// not enabled.
extern "C" NTSTATUS KxResetDevice(PDEVICE_OBJECT DeviceObject) {
  ULONG portStatus = 0;
  ULONG code = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
  NTSTATUS status = KxCallUSBD(DeviceObject, &portStatus, TRUE, NULL, &code, NULL);
  if (!NT_SUCCESS(status)) return status;
  if ((portStatus & USBD_PORT_ENABLED) || !(portStatus & USBD_PORT_CONNECTED)) return status;
  code = IOCTL_INTERNAL_USB_RESET_PORT;
  return KxCallUSBD(DeviceObject, NULL, TRUE, NULL, &code, NULL);
}
