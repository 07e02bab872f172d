// Reading the bridge's descriptors, keeping copies, and selecting the first
// interface with large transfers on its bulk pipes.
#include "harlen.h"

static void KxBuildDescriptorRequest(struct _URB_CONTROL_DESCRIPTOR_REQUEST *Request, UCHAR DescriptorType,
                                     PVOID Buffer, ULONG Length) {
  RtlZeroMemory(Request, sizeof(*Request));
  Request->Hdr.Length = sizeof(*Request);
  Request->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  Request->Index = 0;
  Request->DescriptorType = DescriptorType;
  Request->LanguageId = 0;
  Request->TransferBuffer = Buffer;
  Request->TransferBufferLength = Length;
  Request->TransferBufferMDL = NULL;
  Request->UrbLink = NULL;
}

static NTSTATUS KxSubmitAndWait(PDEVICE_OBJECT DeviceObject, PVOID Urb) {
  return KxCallUSBD(DeviceObject, Urb, TRUE, NULL, NULL, NULL);
}

// The copies and the pipe table read the set by fixed positions: refuse a set
// that does not hold what those positions claim, or more endpoints than fit.
static NTSTATUS KxCheckConfigSet(const UCHAR *Buffer, ULONG Received) {
  if (Received < KX_SET_ENDPOINTS_OFFSET) return STATUS_DEVICE_DATA_ERROR;
  if (Received < ((const USB_CONFIGURATION_DESCRIPTOR *)Buffer)->wTotalLength) return STATUS_DEVICE_DATA_ERROR;
  ULONG endpoints = Buffer[KX_SET_NUM_ENDPOINTS_OFFSET];
  if (endpoints > KX_MAX_ENDPOINTS) return STATUS_DEVICE_CONFIGURATION_ERROR;
  if (Received < KX_SET_ENDPOINTS_OFFSET + endpoints * sizeof(USB_ENDPOINT_DESCRIPTOR)) return STATUS_DEVICE_DATA_ERROR;
  // Another descriptor where an endpoint should stand would be copied as one.
  for (ULONG i = 0; i < endpoints; ++i) {
    const UCHAR *endpoint = Buffer + KX_SET_ENDPOINTS_OFFSET + i * sizeof(USB_ENDPOINT_DESCRIPTOR);
    if (endpoint[0] != sizeof(USB_ENDPOINT_DESCRIPTOR) || endpoint[1] != USB_ENDPOINT_DESCRIPTOR_TYPE)
      return STATUS_DEVICE_DATA_ERROR;
  }
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS KxGetDeviceDescriptor(PDEVICE_OBJECT DeviceObject) {
  struct _URB_CONTROL_DESCRIPTOR_REQUEST request;
  KxBuildDescriptorRequest(&request, USB_DEVICE_DESCRIPTOR_TYPE, &KxExtension(DeviceObject)->DeviceDescriptor,
                           sizeof(USB_DEVICE_DESCRIPTOR));
  return KxSubmitAndWait(DeviceObject, &request);
}

extern "C" USHORT GetConfigDescriptorSize(PDEVICE_OBJECT DeviceObject) {
  struct _URB_CONTROL_DESCRIPTOR_REQUEST request;
  PUSB_CONFIGURATION_DESCRIPTOR head = (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePoolWithTag(
      NonPagedPool, sizeof(USB_CONFIGURATION_DESCRIPTOR), KX_POOL_TAG);
  if (head == NULL) return 0;
  RtlZeroMemory(head, sizeof(USB_CONFIGURATION_DESCRIPTOR));
  KxBuildDescriptorRequest(&request, USB_CONFIGURATION_DESCRIPTOR_TYPE, head, sizeof(USB_CONFIGURATION_DESCRIPTOR));
  NTSTATUS status = KxSubmitAndWait(DeviceObject, &request);
  USHORT size = NT_SUCCESS(status) ? head->wTotalLength : 0;
  ExFreePool(head);
  return size;
}

extern "C" NTSTATUS KxGetConfigDescriptor(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer, ULONG Length) {
  struct _URB_CONTROL_DESCRIPTOR_REQUEST request;
  KxBuildDescriptorRequest(&request, USB_CONFIGURATION_DESCRIPTOR_TYPE, Buffer, Length);
  NTSTATUS status = KxSubmitAndWait(DeviceObject, &request);
  if (!NT_SUCCESS(status)) return status;
  ULONG received = request.TransferBufferLength < Length ? request.TransferBufferLength : Length;
  status = KxCheckConfigSet(Buffer, received);
  if (NT_SUCCESS(status)) KxSaveDescriptorsInDeviveExt(DeviceObject, Buffer);
  return status;
}

// The buffer has passed KxCheckConfigSet.
extern "C" VOID KxSaveDescriptorsInDeviveExt(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer) {
  PKxDeviceExtension extension = KxExtension(DeviceObject);
  RtlCopyMemory(&extension->ConfigDescriptor, Buffer, sizeof(USB_CONFIGURATION_DESCRIPTOR));
  RtlCopyMemory(&extension->InterfaceDescriptor, Buffer + KX_SET_INTERFACE_OFFSET, sizeof(USB_INTERFACE_DESCRIPTOR));
  extension->NumberOfEndpoints = Buffer[KX_SET_NUM_ENDPOINTS_OFFSET];
  RtlCopyMemory(extension->EndpointDescriptors, Buffer + KX_SET_ENDPOINTS_OFFSET,
                extension->NumberOfEndpoints * sizeof(USB_ENDPOINT_DESCRIPTOR));
}

extern "C" NTSTATUS KxSelectInterface(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer) {
  PKxDeviceExtension extension = KxExtension(DeviceObject);
  USHORT size = 0;
  PURB urb = USBD_CreateConfigurationRequest((PUSB_CONFIGURATION_DESCRIPTOR)Buffer, &size);
  if (urb == NULL) return STATUS_NO_MEMORY;

  PUSBD_INTERFACE_INFORMATION pipes = &urb->UrbSelectConfiguration.Interface;
  ULONG count = Buffer[KX_SET_NUM_ENDPOINTS_OFFSET];
  // A builder that found other descriptors where endpoints should be made a
  // shorter pipe array than the interface claims: do not index past it.
  if (pipes->NumberOfPipes != count) {
    ExFreePool(urb);
    return STATUS_DEVICE_DATA_ERROR;
  }
  for (ULONG i = 0; i < count; ++i) {
    const USB_ENDPOINT_DESCRIPTOR *endpoint =
        (const USB_ENDPOINT_DESCRIPTOR *)(Buffer + KX_SET_ENDPOINTS_OFFSET + i * sizeof(USB_ENDPOINT_DESCRIPTOR));
    if (endpoint->bmAttributes == USB_ENDPOINT_TYPE_BULK) pipes->Pipes[i].MaximumTransferSize = 0x20000;
  }
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbHeader.Length = size;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = (PUSB_CONFIGURATION_DESCRIPTOR)Buffer;

  NTSTATUS status = KxSubmitAndWait(DeviceObject, urb);
  for (ULONG i = 0; i < count; ++i) extension->PipeInfo[i] = pipes->Pipes[i];
  ExFreePool(urb);
  return status;
}

extern "C" NTSTATUS ConfigDeviceWithFirstInterface(PDEVICE_OBJECT DeviceObject) {
  USHORT size = GetConfigDescriptorSize(DeviceObject);
  // The probe reports every failure as 0; nothing can be read without a size.
  if (size == 0) return STATUS_DEVICE_DATA_ERROR;
  PUCHAR buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, size, KX_POOL_TAG);
  if (buffer == NULL) return STATUS_NO_MEMORY;
  RtlZeroMemory(buffer, size);
  NTSTATUS status = KxGetConfigDescriptor(DeviceObject, buffer, size);
  if (NT_SUCCESS(status)) status = KxSelectInterface(DeviceObject, buffer);
  ExFreePool(buffer);
  return status;
}

// The gate opens only once configuration has made the pipe table that reads
// and writes use; a failed start leaves it closed.
extern "C" NTSTATUS KxStartDevice(PDEVICE_OBJECT DeviceObject) {
  PKxDeviceExtension extension = KxExtension(DeviceObject);
  if (KxIsRemoved(extension)) return STATUS_DELETE_PENDING;
  NTSTATUS status = KxGetDeviceDescriptor(DeviceObject);
  if (NT_SUCCESS(status)) status = ConfigDeviceWithFirstInterface(DeviceObject);
  if (NT_SUCCESS(status)) KxOpenGate(extension);
  DoEnumerate(DeviceObject);
  return status;
}
