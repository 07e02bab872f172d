// Direct transfers: a read or write on the control device goes straight to
// the selected bridge's pipe as bulk URBs of `chunk` bytes, all submitted at
// once to the bridge's own PDO, so they take the same path as a function
// driver's: the benchmark's baseline with no function driver above. The
// request ends when all have.
#include "bus.h"

namespace {

struct DirectBatch;

struct DirectChunk {
  DirectBatch *batch;
  _URB_BULK_OR_INTERRUPT_TRANSFER urb;
};

struct DirectBatch {
  PIRP request;
  LONG outstanding;  // chunks in flight, plus one while submitting
  LONG moved;
  LONG failure;      // the first failing chunk's status
  DirectChunk chunks[1];
};

void EndOne(DirectBatch *batch) {
  if (InterlockedDecrement(&batch->outstanding) != 0) return;
  PIRP request = batch->request;
  NTSTATUS status = batch->failure;
  ULONG moved = static_cast<ULONG>(batch->moved);
  ExFreePoolWithTag(batch, kBusTag);
  CompleteIrp(request, status, moved);
}

NTSTATUS NTAPI ChunkDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto chunk = static_cast<DirectChunk *>(context);
  DirectBatch *batch = chunk->batch;
  if (!NT_SUCCESS(irp->IoStatus.Status)) InterlockedCompareExchange(&batch->failure, irp->IoStatus.Status, STATUS_SUCCESS);
  InterlockedExchangeAdd(&batch->moved, static_cast<LONG>(chunk->urb.TransferBufferLength));
  IoFreeIrp(irp);
  EndOne(batch);
  return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP was ours and is gone
}

// The pipe's handle, configuring the bridge's first interface when nobody has yet.
USBD_PIPE_HANDLE PipeFor(Bridge &bridge, UCHAR endpointAddress, PDEVICE_OBJECT &pdo) {
  BusLock guard;
  pdo = bridge.present ? bridge.pdo : nullptr;
  if (pdo == nullptr) return nullptr;
  if (!bridge.configured && bridge.pipeCount == 0 && !ConfigureForDirectLocked(bridge)) return nullptr;
  LONG index = PipeIndexAt(bridge, endpointAddress);
  return index < 0 ? nullptr : bridge.pipes[index].handle;
}

void Submit(DirectChunk &chunk, PDEVICE_OBJECT pdo) {
  PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
  if (irp == nullptr) {
    InterlockedCompareExchange(&chunk.batch->failure, STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS);
    EndOne(chunk.batch);
    return;
  }
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = &chunk.urb;
  IoSetCompletionRoutine(irp, ChunkDone, &chunk, TRUE, TRUE, TRUE);
  IoCallDriver(pdo, irp);
}

}  // namespace

NTSTATUS SelectDirect(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(HarlenBusDirect)) return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
  BusLock guard;
  TheBus.direct = *static_cast<const HarlenBusDirect *>(irp->AssociatedIrp.SystemBuffer);
  guard.Release();
  return CompleteIrp(irp, STATUS_SUCCESS);
}

NTSTATUS DirectTransfer(PIRP irp, bool write) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  BusLock guard;
  const HarlenBusDirect direct = TheBus.direct;
  guard.Release();
  const ULONG length = write ? stack->Parameters.Write.Length : stack->Parameters.Read.Length;
  PUCHAR data = irp->MdlAddress ? SystemAddressOf(nullptr, irp->MdlAddress) : nullptr;
  Bridge *bridge = BridgeAt(direct.bridge);
  PDEVICE_OBJECT pdo = nullptr;
  USBD_PIPE_HANDLE pipe = bridge ? PipeFor(*bridge, write ? direct.outEndpoint : direct.inEndpoint, pdo) : nullptr;
  if (pipe == nullptr || (length && data == nullptr))
    return CompleteIrp(irp, bridge && pdo == nullptr ? STATUS_DEVICE_NOT_CONNECTED : STATUS_INVALID_PARAMETER);
  if (length == 0) return CompleteIrp(irp, STATUS_SUCCESS);
  const ULONG chunk = direct.chunk && direct.chunk < length ? direct.chunk : length;
  const ULONG count = (length + chunk - 1) / chunk;
  auto batch = static_cast<DirectBatch *>(ExAllocatePoolWithTag(
      NonPagedPool, FIELD_OFFSET(DirectBatch, chunks) + count * sizeof(DirectChunk), kBusTag));
  if (batch == nullptr) return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
  batch->request = irp;
  batch->outstanding = static_cast<LONG>(count) + 1;
  batch->moved = 0;
  batch->failure = STATUS_SUCCESS;
  const ULONG flags = USBD_SHORT_TRANSFER_OK | (write ? USBD_TRANSFER_DIRECTION_OUT : USBD_TRANSFER_DIRECTION_IN);
  for (ULONG i = 0; i < count; ++i) {
    DirectChunk &one = batch->chunks[i];
    one.batch = batch;
    RtlZeroMemory(&one.urb, sizeof one.urb);
    const ULONG size = i + 1 < count ? chunk : length - i * chunk;
    UsbBuildInterruptOrBulkTransferRequest(reinterpret_cast<PURB>(&one.urb), sizeof one.urb, pipe, data + i * chunk,
                                           nullptr, size, flags, nullptr);
  }
  IoMarkIrpPending(irp);
  for (ULONG i = 0; i < count; ++i) Submit(batch->chunks[i], pdo);
  EndOne(batch);
  return STATUS_PENDING;
}
