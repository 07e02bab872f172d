// One vendor or class control transfer on the default pipe, waited for.
#include "harlen.h"

extern "C" NTSTATUS KxSendControlTransfer(PDEVICE_OBJECT DeviceObject, PKxControlRequest Request, PVOID Data,
                                          PMDL Mdl) {
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST *urb = (struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST *)
      ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), KX_POOL_TAG);
  if (urb == NULL) return STATUS_NO_MEMORY;
  BOOLEAN in = (Request->RequestType & KX_REQUEST_IN) != 0;
  RtlZeroMemory(urb, sizeof(*urb));
  urb->Hdr.Length = sizeof(*urb);
  urb->Hdr.Function =
      (Request->RequestType & KX_REQUEST_VENDOR) ? URB_FUNCTION_VENDOR_DEVICE : URB_FUNCTION_CLASS_DEVICE;
  urb->TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN : 0;
  urb->TransferBufferLength = Request->Length;
  urb->TransferBuffer = Data;
  urb->TransferBufferMDL = Mdl;
  urb->UrbLink = NULL;
  urb->RequestTypeReservedBits = 0;
  urb->Request = Request->Request;
  urb->Value = Request->Value;
  urb->Index = Request->Index;
  NTSTATUS status = KxCallUSBD(DeviceObject, urb, TRUE, NULL, NULL, NULL);
  ExFreePool(urb);
  return status;
}

extern "C" NTSTATUS KxVendorControl(PDEVICE_OBJECT DeviceObject, PKxControlRequest Request) {
  BOOLEAN in = (Request->RequestType & KX_REQUEST_IN) != 0;
  if (in || Request->Length == 0) return KxSendControlTransfer(DeviceObject, Request, Request->Buffer, NULL);
  // Outgoing data travels in a copy of its own; incoming lands in the caller's buffer.
  PVOID copy = ExAllocatePoolWithTag(NonPagedPool, Request->Length, KX_POOL_TAG);
  if (copy == NULL) return STATUS_NO_MEMORY;
  RtlCopyMemory(copy, Request->Buffer, Request->Length);
  NTSTATUS status = KxSendControlTransfer(DeviceObject, Request, copy, NULL);
  ExFreePool(copy);
  return status;
}
