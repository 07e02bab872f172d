// One vendor or class control transfer on the default pipe, waited for.
#include "harlen.h"

extern "C" NTSTATUS KxVendorControl(PDEVICE_OBJECT DeviceObject, PKxControlRequest Request) {
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST *urb = (struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST *)
      ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), KX_POOL_TAG);
  if (urb == NULL) return STATUS_NO_MEMORY;
  BOOLEAN in = (Request->RequestType & KX_REQUEST_IN) != 0;
  PVOID data = Request->Buffer;
  // Outgoing data travels in a copy of its own; incoming lands in the caller's buffer.
  if (!in && Request->Length != 0) {
    data = ExAllocatePoolWithTag(NonPagedPool, Request->Length, KX_POOL_TAG);
    if (data == NULL) {
      ExFreePoolWithTag(urb, KX_POOL_TAG);
      return STATUS_NO_MEMORY;
    }
    RtlCopyMemory(data, Request->Buffer, Request->Length);
  }
  RtlZeroMemory(urb, sizeof(*urb));
  urb->Hdr.Length = sizeof(*urb);
  urb->Hdr.Function =
      (Request->RequestType & KX_REQUEST_VENDOR) ? URB_FUNCTION_VENDOR_DEVICE : URB_FUNCTION_CLASS_DEVICE;
  urb->TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN : 0;
  urb->TransferBufferLength = Request->Length;
  urb->TransferBuffer = data;
  urb->TransferBufferMDL = NULL;
  urb->UrbLink = NULL;
  urb->RequestTypeReservedBits = 0;
  urb->Request = Request->Request;
  urb->Value = Request->Value;
  urb->Index = Request->Index;
  NTSTATUS status = KxCallUSBD(DeviceObject, urb, TRUE, NULL, NULL, NULL);
  if (data != Request->Buffer) ExFreePoolWithTag(data, KX_POOL_TAG);
  ExFreePoolWithTag(urb, KX_POOL_TAG);
  return status;
}
