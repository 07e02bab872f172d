// The management interface: the stored device descriptor, the abort
// selectors, vendor requests of two fixed shapes, a general control request
// described by the caller, the conditional port reset and stall clearing.
// Every code is METHOD_BUFFERED: nothing is read past the input, nothing
// written past the system buffer, and the information never exceeds the
// caller's output buffer.
#include "harlen.h"

#define KX_CODE(function) ((ULONG)CTL_CODE(0x8000, function, METHOD_BUFFERED, FILE_ANY_ACCESS))
#define IOCTL_HARLEN_GET_DEVICE_DESCRIPTOR KX_CODE(0x800)
#define IOCTL_HARLEN_ABORT_PIPE KX_CODE(0x801)
#define IOCTL_HARLEN_VENDOR_READ KX_CODE(0x803)
#define IOCTL_HARLEN_VENDOR_WRITE KX_CODE(0x804)
#define IOCTL_HARLEN_CONTROL_REQUEST KX_CODE(0x806)
#define IOCTL_HARLEN_RESET_DEVICE KX_CODE(0x808)
#define IOCTL_HARLEN_CLEAR_STALL KX_CODE(0x809)

// The answer a 12-byte output gets: three 32-bit words.
static const ULONG KxShortAnswer[3] = {2, 0, 0};

// A 32-bit caller's record on a 64-bit system: its buffer address is 32 bits.
#pragma pack(push, 1)
typedef struct _KxControlRequest32 {
  UCHAR RequestType;
  UCHAR Request;
  USHORT Value;
  USHORT Index;
  USHORT Length;
  ULONG Buffer;
} KxControlRequest32;
#pragma pack(pop)

typedef struct _KxIoctl {
  PUCHAR Buffer;  // the system buffer: input in, output out
  ULONG InputLength;
  ULONG OutputLength;
  ULONG_PTR Information;
} KxIoctl, *PKxIoctl;

static ULONG KxSystemBufferLength(PKxIoctl Call) {
  return Call->InputLength > Call->OutputLength ? Call->InputLength : Call->OutputLength;
}

static NTSTATUS KxAnswerDescriptor(PKxDeviceExtension Extension, PKxIoctl Call) {
  if (Call->OutputLength < sizeof(KxShortAnswer)) return STATUS_BUFFER_TOO_SMALL;
  RtlCopyMemory(Call->Buffer, KxShortAnswer, sizeof(KxShortAnswer));
  Call->Information = sizeof(KxShortAnswer);
  if (Call->OutputLength > sizeof(KxShortAnswer)) {
    ULONG length = Call->OutputLength < sizeof(USB_DEVICE_DESCRIPTOR) ? Call->OutputLength : sizeof(USB_DEVICE_DESCRIPTOR);
    RtlCopyMemory(Call->Buffer, &Extension->DeviceDescriptor, length);
    Call->Information = length;
  }
  return STATUS_SUCCESS;
}

static NTSTATUS KxReadInputWord(PKxIoctl Call, ULONG *Value) {
  if (Call->InputLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
  RtlCopyMemory(Value, Call->Buffer, sizeof(ULONG));
  return STATUS_SUCCESS;
}

// A 16-bit value at offset 0 and a count at offset 4; the data stage is the
// system buffer from its first byte.
static NTSTATUS KxFixedVendorRequest(PDEVICE_OBJECT DeviceObject, PKxIoctl Call, BOOLEAN In) {
  USHORT value;
  ULONG count;
  if (Call->InputLength < 8) return STATUS_INVALID_PARAMETER;
  RtlCopyMemory(&value, Call->Buffer, sizeof(value));
  RtlCopyMemory(&count, Call->Buffer + 4, sizeof(count));
  if (count > 0xFFFF || count > KxSystemBufferLength(Call)) return STATUS_INVALID_PARAMETER;
  // What is read must reach the caller whole.
  if (In && count > Call->OutputLength) return STATUS_BUFFER_TOO_SMALL;
  KxControlRequest request;
  request.RequestType = In ? 0xC0 : 0x40;
  request.Request = count < 2 ? 12 : 4;
  request.Value = value;
  request.Index = 0;
  request.Length = (USHORT)count;
  request.Buffer = Call->Buffer;
  NTSTATUS status = KxVendorControl(DeviceObject, &request);
  if (NT_SUCCESS(status)) Call->Information = count < Call->OutputLength ? count : Call->OutputLength;
  return status;
}

// The caller's record, in its own layout: a 32-bit caller's address is 32 bits wide.
static NTSTATUS KxReadRecord(PIRP Irp, PKxIoctl Call, PKxControlRequest Request) {
#if KX_64BIT
  if (IoIs32bitProcess(Irp)) {
    KxControlRequest32 record;
    if (Call->InputLength < sizeof(record)) return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(&record, Call->Buffer, sizeof(record));
    RtlCopyMemory(Request, &record, offsetof(KxControlRequest32, Buffer));
    Request->Buffer = (PVOID)(ULONG_PTR)record.Buffer;
    return STATUS_SUCCESS;
  }
#else
  (void)Irp;
#endif
  if (Call->InputLength < sizeof(*Request)) return STATUS_INVALID_PARAMETER;
  RtlCopyMemory(Request, Call->Buffer, sizeof(*Request));
  return STATUS_SUCCESS;
}

typedef struct _KxProbe {
  PMDL Mdl;
  LOCK_OPERATION Operation;
} KxProbe;

static VOID KxProbeAndLock(PVOID Context) {
  KxProbe *probe = (KxProbe *)Context;
  MmProbeAndLockPages(probe->Mdl, UserMode, probe->Operation);
}

// A bad caller address is caught only by a probe inside KxCallGuarded. On the
// legacy kernel nothing says a ring-0 fault reaches that guard, so a data
// stage at the caller's address is refused there before the address is used;
// the fixed vendor codes carry their data in the request itself.
static BOOLEAN KxCallerBufferUsable(void) { return !KxOnLegacyKernel(); }

// The data stage lives at the caller's address: its pages are probed for the
// access the direction needs and locked, in the caller's context, and the bus
// gets them through the MDL. A bad address fails the request.
static NTSTATUS KxGeneralRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, PKxIoctl Call) {
  KxControlRequest request;
  NTSTATUS status = KxReadRecord(Irp, Call, &request);
  if (!NT_SUCCESS(status)) return status;
  BOOLEAN in = (request.RequestType & KX_REQUEST_IN) != 0;
  PMDL mdl = NULL;
  if (request.Length != 0) {
    if (!KxCallerBufferUsable()) return STATUS_NOT_SUPPORTED;
    if (request.Buffer == NULL) return STATUS_INVALID_USER_BUFFER;
    mdl = IoAllocateMdl(request.Buffer, request.Length, FALSE, FALSE, NULL);
    if (mdl == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    KxProbe probe = {mdl, in ? IoWriteAccess : IoReadAccess};
    status = KxCallGuarded(KxProbeAndLock, &probe);
    if (!NT_SUCCESS(status)) {
      IoFreeMdl(mdl);
      return STATUS_INVALID_USER_BUFFER;
    }
  }
  status = KxSendControlTransfer(DeviceObject, &request, NULL, mdl);
  if (mdl != NULL) {
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
  }
  if (NT_SUCCESS(status)) Call->Information = request.Length < Call->OutputLength ? request.Length : Call->OutputLength;
  return status;
}

static NTSTATUS KxServeCode(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Code, PKxIoctl Call) {
  ULONG word;
  NTSTATUS status;
  switch (Code) {
    case IOCTL_HARLEN_GET_DEVICE_DESCRIPTOR:
      return KxAnswerDescriptor(KxExtension(DeviceObject), Call);
    case IOCTL_HARLEN_ABORT_PIPE:
      status = KxReadInputWord(Call, &word);
      return NT_SUCCESS(status) ? KxCallAbortPipe(DeviceObject, word) : status;
    case IOCTL_HARLEN_VENDOR_READ:
      return KxFixedVendorRequest(DeviceObject, Call, TRUE);
    case IOCTL_HARLEN_VENDOR_WRITE:
      return KxFixedVendorRequest(DeviceObject, Call, FALSE);
    case IOCTL_HARLEN_CONTROL_REQUEST:
      return KxGeneralRequest(DeviceObject, Irp, Call);
    case IOCTL_HARLEN_RESET_DEVICE:
      return KxResetDevice(DeviceObject);
    case IOCTL_HARLEN_CLEAR_STALL:
      status = KxReadInputWord(Call, &word);
      return NT_SUCCESS(status) ? KxClearStall(DeviceObject, word) : status;
  }
  return STATUS_SUCCESS;
}

static BOOLEAN KxAcceptsIo(PKxDeviceExtension Extension) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->TransferLock, &irql);
  BOOLEAN accepts = KxCanAcceptIoRequests(Extension);
  KeReleaseSpinLock(&Extension->TransferLock, irql);
  return accepts;
}

extern "C" NTSTATUS NTAPI KxDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PKxDeviceExtension extension = KxExtension(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  KxIoctl call = {(PUCHAR)Irp->AssociatedIrp.SystemBuffer, stack->Parameters.DeviceIoControl.InputBufferLength,
                  stack->Parameters.DeviceIoControl.OutputBufferLength, 0};
  // The I/O manager leaves the system buffer past the input as the pool had
  // it; zeroed, none of it reaches the caller or the bridge.
  if (call.Buffer != NULL && call.OutputLength > call.InputLength)
    RtlZeroMemory(call.Buffer + call.InputLength, call.OutputLength - call.InputLength);
  NTSTATUS status = STATUS_DELETE_PENDING;
  BOOLEAN held = KxAcquireIo(extension);
  if (held && KxAcceptsIo(extension))
    status = KxServeCode(DeviceObject, Irp, stack->Parameters.DeviceIoControl.IoControlCode, &call);
  Irp->IoStatus.Status = status;
  Irp->IoStatus.Information = NT_SUCCESS(status) ? call.Information : 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  if (held) KxReleaseIo(extension);
  return status;
}
