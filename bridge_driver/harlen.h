// The bridge driver's device extension and the routines its sources share.
#pragma once

#include "kernel.h"

// Pool tag "Wdm " as it reads in memory. Blocks go back with ExFreePool:
// Windows 98 SE and Me export no ExFreePoolWithTag.
#define KX_POOL_TAG ((ULONG)'W' | ((ULONG)'d' << 8) | ((ULONG)'m' << 16) | ((ULONG)' ' << 24))

// The pipe table and the endpoint copies end here; a longer interface is refused at start.
#define KX_MAX_ENDPOINTS 4

// A bridge's byte offsets in the configuration descriptor set it returns.
#define KX_SET_INTERFACE_OFFSET 9
#define KX_SET_NUM_ENDPOINTS_OFFSET 13
#define KX_SET_ENDPOINTS_OFFSET 18

typedef ULONG DEVNODE;

// A vendor or class control request: the USB setup packet's fields and the
// data stage's buffer (12 bytes with 32-bit pointers, 16 with 64-bit ones).
#pragma pack(push, 1)
typedef struct _KxControlRequest {
  UCHAR RequestType;  // bit 7: device to host; bit 6: vendor, else class
  UCHAR Request;
  USHORT Value;
  USHORT Index;
  USHORT Length;
  PVOID Buffer;
} KxControlRequest, *PKxControlRequest;
#pragma pack(pop)
#define KX_REQUEST_IN 0x80
#define KX_REQUEST_VENDOR 0x40

// A select-configuration URB that names no configuration deconfigures: the
// header and an interface record without pipes.
#define KX_DECONFIGURE_URB_LENGTH (sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_PIPE_INFORMATION))

typedef struct _KxDeviceExtension {
  PDEVICE_OBJECT LowerDeviceObject;
  WCHAR NameDigit;
  UCHAR MaxLun;
  BOOLEAN DeviceStarted;
  USBD_PIPE_INFORMATION PipeInfo[KX_MAX_ENDPOINTS];
  USB_DEVICE_DESCRIPTOR DeviceDescriptor;
  USB_CONFIGURATION_DESCRIPTOR ConfigDescriptor;
  USB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
  USB_ENDPOINT_DESCRIPTOR EndpointDescriptors[KX_MAX_ENDPOINTS];
  UCHAR NumberOfEndpoints;
  BOOLEAN DeviceRemoved;
  BOOLEAN HoldIoRequests;
  PIRP ReadWriteIrp;
  SHORT TransferCount;
  SHORT PendingTransfers;
  PVOID TransferContext;
  SYSTEM_POWER_STATE CurrentSystemPowerState;
  DEVICE_POWER_STATE CurrentDevicePowerState;
  DEVNODE ChildDevNode;
  // Appended after the fields above, whose order stays as it was.
  // TransferLock guards the state flags, the busy mark and everything the
  // transfer table's users share: the submission loop, the chunk completions
  // and the cancel walk.
  KSPIN_LOCK TransferLock;
  SHORT TransferChunks;      // the table's size; TransferCount drops to 0 on a cancel
  LONG TransferUsers;        // submission loop and cancel walks reading the table
  NTSTATUS TransferStatus;   // the status the caller's request ends with
  ULONG_PTR TransferBytes;   // the information it ends with
  NTSTATUS TransferFailure;  // a chunk never submitted: reported over any success
  // Requests using the device; the device's own reference is dropped at removal,
  // which then waits for RemoveEvent before deleting the device object.
  LONG IoCount;
  KEVENT RemoveEvent;
  BOOLEAN SurpriseRemoved;
  // A stop is never failed to Windows; a failed deconfiguration is kept here.
  NTSTATUS StopFailure;
  // The driver's own synchronous requests to the bus, so that a removal can
  // end the waits of those the bridge never answers (under TransferLock).
  struct _KxOwnRequest *OwnRequests;
  // Set when removal begins: no new request that needs the bridge's answer goes out.
  BOOLEAN RefuseBridgeRequests;
  // The caller's read or write once its own chunk is back and others are out.
  UCHAR HeldCancel;
} KxDeviceExtension, *PKxDeviceExtension;

// A synchronous request to the bus, tracked while it is out.
typedef struct _KxOwnRequest {
  struct _KxOwnRequest *Next;
  PIRP Irp;
  BOOLEAN Cancelled;  // a cancel walk has reached it
  LONG Cancellers;    // walks between finding it and IoCancelIrp returning
  KEVENT Done;        // the bus completed it
  KEVENT Released;    // the last walk let go of it
} KxOwnRequest, *PKxOwnRequest;

// HeldCancel: no cancel routine; ours set on the caller's request; IoCancelIrp
// took it and the routine is on its way, to finish the request itself.
#define KX_HELD_NONE 0
#define KX_HELD_ARMED 1
#define KX_HELD_COMING 2

// One chunk of a read or write; the table holds N of these, then N URBs.
typedef struct _KxTransferEntry {
  PURB Urb;  // non-null while the chunk is outstanding
  PIRP Irp;
  ULONG Length;
  PDEVICE_OBJECT DeviceObject;
} KxTransferEntry, *PKxTransferEntry;

// TransferCount and PendingTransfers are 16-bit signed.
#define KX_MAX_CHUNKS 32767
#define KX_NO_PIPE 0xFF
#define KX_DIRECTION_IN 0x80
#define KX_DIRECTION_OUT 0x00

// Abort selectors: one bulk pipe, or the whole transfer in flight.
#define KX_SELECT_IN 1
#define KX_SELECT_OUT 2
#define KX_SELECT_TRANSFER 3

// The platform's published layouts that the driver fills in.
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "device descriptor");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "configuration descriptor");
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9, "interface descriptor");
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7, "endpoint descriptor");
#if defined(_WIN32) && !defined(_WIN64)
// The shipped 32-bit driver, against the DDK's declarations.
static_assert(sizeof(USBD_PIPE_INFORMATION) == 20, "pipe information");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80, "get-descriptor URB");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 60, "select-configuration URB");
static_assert(KX_DECONFIGURE_URB_LENGTH == 40, "deconfiguration URB");
#else
// The 64-bit driver against the DDK's declarations, and the host build against
// the simulator's: both must give the sizes 64-bit Windows publishes (or, in a
// 32-bit host build, the 32-bit ones).
#define KX_PUBLISHED(size32, size64) (sizeof(void *) == 8 ? (size64) : (size32))
static_assert(sizeof(USBD_PIPE_INFORMATION) == KX_PUBLISHED(20, 24), "pipe information");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == KX_PUBLISHED(80, 136), "get-descriptor URB");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == KX_PUBLISHED(60, 88), "select-configuration URB");
static_assert(KX_DECONFIGURE_URB_LENGTH == KX_PUBLISHED(40, 64), "deconfiguration URB");
#undef KX_PUBLISHED
#endif
// The pipe record ends the URB, with no padding after it: its size less one
// pipe is where the interface record's pipes begin.
static_assert(KX_DECONFIGURE_URB_LENGTH == __builtin_offsetof(struct _URB_SELECT_CONFIGURATION, Interface) +
                                               __builtin_offsetof(USBD_INTERFACE_INFORMATION, Pipes),
              "deconfiguration URB is the header and a record without pipes");

// The descriptor copies lie byte-packed, one directly after the other.
#define KX_FOLLOWS(field, previous, size) \
  (__builtin_offsetof(KxDeviceExtension, field) == __builtin_offsetof(KxDeviceExtension, previous) + (size))
static_assert(KX_FOLLOWS(ConfigDescriptor, DeviceDescriptor, 18), "configuration copy after the device copy");
static_assert(KX_FOLLOWS(InterfaceDescriptor, ConfigDescriptor, 9), "interface copy after the configuration copy");
static_assert(KX_FOLLOWS(EndpointDescriptors, InterfaceDescriptor, 9), "endpoint copies after the interface copy");
static_assert(KX_FOLLOWS(NumberOfEndpoints, EndpointDescriptors, 4 * 7), "endpoint count after the endpoint copies");
#undef KX_FOLLOWS

inline PKxDeviceExtension KxExtension(PDEVICE_OBJECT DeviceObject) {
  return (PKxDeviceExtension)DeviceObject->DeviceExtension;
}

extern "C" {

// Entry, dispatch table and the handlers that belong to no other concern (entry.cpp).
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID NTAPI KxUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS NTAPI KxCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI KxSystemCtrl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI KxInternalDevControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
BOOLEAN KxCanAcceptIoRequests(PKxDeviceExtension DeviceExtension);
VOID ClearCountersNflags(PDEVICE_OBJECT DeviceObject);
// The flags change under TransferLock, so a request that passed the gate
// under the lock is seen by the cancellation that follows a change.
VOID KxSetStateFlag(PKxDeviceExtension DeviceExtension, BOOLEAN *Flag, BOOLEAN Value);
BOOLEAN KxIsRemoved(PKxDeviceExtension DeviceExtension);
// The remove lock: a request that touches the device or the device below holds it.
BOOLEAN KxAcquireIo(PKxDeviceExtension DeviceExtension);
VOID KxReleaseIo(PKxDeviceExtension DeviceExtension);
VOID KxReleaseIoAndWait(PKxDeviceExtension DeviceExtension);
// Started and no longer held, in one step: the gate opens with the pipe table in place.
VOID KxOpenGate(PKxDeviceExtension DeviceExtension);

// Bulk reads and writes (read_write.cpp).
NTSTATUS NTAPI KxRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI KxWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS KxReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp, USBD_PIPE_TYPE PipeType, UCHAR Direction);
UCHAR GetIndexFromPipeType(PKxDeviceExtension DeviceExtension, USBD_PIPE_TYPE PipeType, UCHAR Direction);
NTSTATUS NTAPI KxCompleteReadWriteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
BOOLEAN KxTransferInFlight(PKxDeviceExtension DeviceExtension);
VOID KxCancelPendingIo(PDEVICE_OBJECT DeviceObject);

// Power (power.cpp).
NTSTATUS NTAPI KxProcessPowerIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS KxSetPowerState(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS KxQueryPowerState(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS KxPassDownToNextPowerDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI KxPowerCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Control requests on the default pipe (vendor_control.cpp).
NTSTATUS KxVendorControl(PDEVICE_OBJECT DeviceObject, PKxControlRequest Request);
// The data stage in a kernel buffer (Data) or in locked pages (Mdl).
NTSTATUS KxSendControlTransfer(PDEVICE_OBJECT DeviceObject, PKxControlRequest Request, PVOID Data, PMDL Mdl);

// The device-control interface (device_control.cpp).
NTSTATUS NTAPI KxDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The legacy kernel's child device node (legacy_node.cpp).
// Windows 98 or Me, told apart from NT by the code segment selector.
BOOLEAN KxOnLegacyKernel(void);
VOID DoEnumerate(PDEVICE_OBJECT DeviceObject);
VOID RemoveDevice(DEVNODE Node);

// The legacy kernel's services, each reached through a stub of its own.
ULONG CCODE__CONFIGMG_Locate_DevNode(DEVNODE *Node, char *DeviceId, ULONG Flags);
ULONG CCODE__Sprintf(char *Buffer, const char *Format, ...);
ULONG CCODE__CONFIGMG_Create_DevNode(DEVNODE *NewNode, char *DeviceId, DEVNODE Parent, ULONG Flags);
ULONG CCODE__CONFIGMG_Write_Registry_Value(DEVNODE Node, char *SubKey, char *ValueName, ULONG Type, char *Data,
                                           ULONG Length, ULONG Flags);
ULONG CCODE__CONFIGMG_Query_Remove_SubTree(DEVNODE Node, ULONG Flags);
ULONG CCODE__CONFIGMG_Remove_SubTree(DEVNODE Node, ULONG Flags);

// Cancellation and pipe recovery (recovery.cpp).
NTSTATUS KxCallAbortPipe(PDEVICE_OBJECT DeviceObject, ULONG Selector);
VOID KxCancelReadWriteIrp(PDEVICE_OBJECT DeviceObject);
VOID AbortResetBulkPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_TYPE PipeType, UCHAR Direction);
NTSTATUS KxAbortPipeSelected(PDEVICE_OBJECT DeviceObject, UCHAR Index);
NTSTATUS KxResetPipeSelected(PDEVICE_OBJECT DeviceObject, UCHAR Index);
NTSTATUS KxClearStall(PDEVICE_OBJECT DeviceObject, ULONG Endpoint);
NTSTATUS KxResetDevice(PDEVICE_OBJECT DeviceObject);

// USB request submission (usb_submit.cpp).
NTSTATUS KxCallUSBD(PDEVICE_OBJECT DeviceObject, PVOID Argument, BOOLEAN Synchronous,
                    PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context, PIRP *IrpSent);
NTSTATUS NTAPI KxIrpCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// Cancels the driver's own synchronous requests that are out; with Refuse,
// later ones that wait for the bridge's answer are refused too (removal).
VOID KxCancelOwnRequests(PKxDeviceExtension DeviceExtension, BOOLEAN Refuse);

// Configuration (configuration.cpp).
NTSTATUS KxGetDeviceDescriptor(PDEVICE_OBJECT DeviceObject);
USHORT GetConfigDescriptorSize(PDEVICE_OBJECT DeviceObject);
NTSTATUS KxGetConfigDescriptor(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer, ULONG Length);
VOID KxSaveDescriptorsInDeviveExt(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer);
NTSTATUS KxSelectInterface(PDEVICE_OBJECT DeviceObject, PUCHAR Buffer);
NTSTATUS ConfigDeviceWithFirstInterface(PDEVICE_OBJECT DeviceObject);
NTSTATUS KxStartDevice(PDEVICE_OBJECT DeviceObject);

// Plug and Play (pnp.cpp).
NTSTATUS NTAPI KxPnpAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS NTAPI KxPnpPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS KxStopDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS KxRemoveDevice(PDEVICE_OBJECT DeviceObject);
VOID KxSurpriseRemoval(PDEVICE_OBJECT DeviceObject);
NTSTATUS DetachDeviceObject(PDEVICE_OBJECT DeviceObject, PKxDeviceExtension DeviceExtension);

}  // extern "C"

// Open and close are one routine.
#define KxClose KxCreate
