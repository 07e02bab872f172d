// Bulk reads and writes: a request cut into chunks of the pipe's maximum
// transfer size, all queued to the bus at once, completed when the last chunk
// completes. The submission loop, the chunk completions and the cancel walk
// share the transfer table under TransferLock; while the loop or a walk still
// reads the table, completed chunks keep their packets and the last one leaves
// the request for them to finish.
#include "harlen.h"

static PKxTransferEntry KxEntries(PVOID Table) { return (PKxTransferEntry)Table; }

static PURB KxChunkUrb(PVOID Table, SHORT Chunks, SHORT Index) {
  return (PURB)((PUCHAR)Table + Chunks * sizeof(KxTransferEntry) +
                Index * sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
}

static NTSTATUS KxCompleteNow(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

extern "C" NTSTATUS NTAPI KxRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return KxReadWrite(DeviceObject, Irp, UsbdPipeTypeBulk, KX_DIRECTION_IN);
}

extern "C" NTSTATUS NTAPI KxWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return KxReadWrite(DeviceObject, Irp, UsbdPipeTypeBulk, KX_DIRECTION_OUT);
}

extern "C" UCHAR GetIndexFromPipeType(PKxDeviceExtension DeviceExtension, USBD_PIPE_TYPE PipeType, UCHAR Direction) {
  for (UCHAR i = 0; i < DeviceExtension->NumberOfEndpoints; ++i) {
    if (DeviceExtension->PipeInfo[i].PipeType != PipeType) continue;
    if (PipeType != UsbdPipeTypeBulk || (DeviceExtension->EndpointDescriptors[i].bEndpointAddress & 0x80) == Direction)
      return i;
  }
  return KX_NO_PIPE;
}

extern "C" BOOLEAN KxTransferInFlight(PKxDeviceExtension DeviceExtension) {
  KIRQL irql;
  KeAcquireSpinLock(&DeviceExtension->TransferLock, &irql);
  BOOLEAN busy = DeviceExtension->TransferContext != NULL;
  KeReleaseSpinLock(&DeviceExtension->TransferLock, irql);
  return busy;
}

// What the last of the table's users hands over, taken under the lock: a new
// request may claim the device as soon as the busy mark clears.
typedef struct _KxFinishedTransfer {
  PVOID Table;
  PIRP Irp;
  NTSTATUS Status;
  ULONG_PTR Bytes;
} KxFinishedTransfer;

static VOID KxLeaveTransfer(PKxDeviceExtension Extension);

// Under TransferLock. False while our cancel routine is on its way: it
// counts itself as a reader of the table, and the request is finished when it leaves.
static BOOLEAN KxDisarmHeldCancel(PKxDeviceExtension Extension) {
  if (Extension->HeldCancel == KX_HELD_ARMED)
    Extension->HeldCancel = IoSetCancelRoutine(Extension->ReadWriteIrp, NULL) != NULL ? KX_HELD_NONE : KX_HELD_COMING;
  return Extension->HeldCancel == KX_HELD_NONE;
}

// The caller cancelled its request after its own chunk came back: the chunks
// still out are cancelled, and the request ends with what the others moved.
static VOID NTAPI KxCancelHeldRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  PKxDeviceExtension extension = KxExtension(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&extension->TransferLock, &irql);
  extension->HeldCancel = KX_HELD_NONE;
  ++extension->TransferUsers;
  KeReleaseSpinLock(&extension->TransferLock, irql);
  KxCancelPendingIo(DeviceObject);
  KxLeaveTransfer(extension);
}

// Under TransferLock, as chunk 0 comes back with others still out: the held
// request stays cancellable. True when the caller cancelled it already and
// the routine was taken back before it could run.
static BOOLEAN KxArmHeldCancel(PKxDeviceExtension Extension, PIRP Irp) {
  Extension->HeldCancel = KX_HELD_ARMED;
  IoSetCancelRoutine(Irp, KxCancelHeldRequest);
  // IoCancelIrp marks a request under the cancel spin lock.
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  BOOLEAN cancelled = Irp->Cancel;
  IoReleaseCancelSpinLock(irql);
  if (!cancelled || IoSetCancelRoutine(Irp, NULL) == NULL) return FALSE;
  Extension->HeldCancel = KX_HELD_NONE;
  return TRUE;
}

// Under TransferLock. The caller's request is finished once no chunk is
// outstanding and nobody reads the table; the completed chunks' packets that
// a reader kept alive are freed here.
static BOOLEAN KxTakeFinished(PKxDeviceExtension Extension, KxFinishedTransfer *Finished) {
  if (Extension->PendingTransfers > 0 || Extension->TransferUsers > 0) return FALSE;
  if (!KxDisarmHeldCancel(Extension)) return FALSE;
  PKxTransferEntry entries = KxEntries(Extension->TransferContext);
  for (SHORT i = 0; i < Extension->TransferChunks; ++i)
    if (entries[i].Irp != NULL && entries[i].Irp != Extension->ReadWriteIrp) IoFreeIrp(entries[i].Irp);
  Finished->Table = Extension->TransferContext;
  Finished->Irp = Extension->ReadWriteIrp;
  Finished->Status = NT_SUCCESS(Extension->TransferStatus) && !NT_SUCCESS(Extension->TransferFailure)
                         ? Extension->TransferFailure
                         : Extension->TransferStatus;
  Finished->Bytes = Extension->TransferBytes;
  Extension->TransferContext = NULL;
  return TRUE;
}

static VOID KxFinishTransfer(PKxDeviceExtension Extension, KxFinishedTransfer *Finished) {
  ExFreePool(Finished->Table);
  Finished->Irp->IoStatus.Status = Finished->Status;
  Finished->Irp->IoStatus.Information = Finished->Bytes;
  IoCompleteRequest(Finished->Irp, IO_NO_INCREMENT);
  KxReleaseIo(Extension);
}

// A reader of the table (the submission loop or a cancel walk) is done with it.
static VOID KxLeaveTransfer(PKxDeviceExtension Extension) {
  KxFinishedTransfer finished;
  KIRQL irql;
  KeAcquireSpinLock(&Extension->TransferLock, &irql);
  --Extension->TransferUsers;
  BOOLEAN done = KxTakeFinished(Extension, &finished);
  KeReleaseSpinLock(&Extension->TransferLock, irql);
  if (done) KxFinishTransfer(Extension, &finished);
}

extern "C" NTSTATUS NTAPI KxCompleteReadWriteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  (void)DeviceObject;
  PKxTransferEntry entry = (PKxTransferEntry)Context;
  PKxDeviceExtension extension = KxExtension(entry->DeviceObject);
  KxFinishedTransfer finished;
  KIRQL irql;

  // IoCancelIrp marks a request under the cancel spin lock.
  IoAcquireCancelSpinLock(&irql);
  BOOLEAN cancelled = Irp->Cancel;
  IoReleaseCancelSpinLock(irql);
  KeAcquireSpinLock(&extension->TransferLock, &irql);
  BOOLEAN callers = Irp == extension->ReadWriteIrp;
  if (callers && Irp->PendingReturned) IoMarkIrpPending(Irp);
  NTSTATUS status = Irp->IoStatus.Status;
  // A failed chunk whose URB still reads success never reached the bus: its
  // length is still the one asked for, and it moved nothing.
  BOOLEAN busSawIt = NT_SUCCESS(status) || !USBD_SUCCESS(entry->Urb->UrbHeader.Status);
  ULONG moved = busSawIt ? entry->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength : 0;
  entry->Urb = NULL;
  --extension->PendingTransfers;
  // A reader may still cancel this packet: it is freed when the last one leaves.
  if (!callers && extension->TransferUsers == 0) {
    IoFreeIrp(Irp);
    entry->Irp = NULL;
  }
  // The bus wrote chunk 0's status into the caller's request; the others
  // count when they failed or came short. A failure is never replaced by a
  // success: cancelled chunks may complete before chunk 0.
  BOOLEAN reports = callers || moved != entry->Length || !NT_SUCCESS(status);
  if (reports && (!NT_SUCCESS(status) || NT_SUCCESS(extension->TransferStatus))) extension->TransferStatus = status;
  // Counted after a cancel too: a chunk the bus finished anyway moved its
  // bytes, and a read that hid them would lose them from the stream.
  extension->TransferBytes += moved;
  // The caller cancelled its request, and the cancel reached only chunk 0,
  // the caller's own packet: the rest are cancelled too, or a request whose
  // later chunks the device holds would never end. Counted as a reader, so
  // the table outlives the walk. Not cancelled yet: held with our cancel
  // routine, so that a later cancel does the same.
  BOOLEAN cancelRest = callers && extension->PendingTransfers > 0 && (cancelled || KxArmHeldCancel(extension, Irp));
  if (cancelRest) ++extension->TransferUsers;
  BOOLEAN done = KxTakeFinished(extension, &finished);
  KeReleaseSpinLock(&extension->TransferLock, irql);
  if (done) KxFinishTransfer(extension, &finished);
  if (cancelRest) {
    KxCancelPendingIo(entry->DeviceObject);
    KxLeaveTransfer(extension);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Under TransferLock: the gate, the busy mark, the pipe and the length, all
// refused alike.
static BOOLEAN KxMayStartTransfer(PKxDeviceExtension Extension, UCHAR Index, ULONG Length) {
  return KxCanAcceptIoRequests(Extension) && Extension->TransferContext == NULL && Index != KX_NO_PIPE && Length != 0;
}

static BOOLEAN KxMayStart(PKxDeviceExtension Extension, UCHAR Index, ULONG Length) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->TransferLock, &irql);
  BOOLEAN may = KxMayStartTransfer(Extension, Index, Length);
  KeReleaseSpinLock(&Extension->TransferLock, irql);
  return may;
}

// Tests the busy mark and sets it in one step against a concurrent request.
static BOOLEAN KxClaimTransfer(PKxDeviceExtension Extension, PIRP Irp, PVOID Table, UCHAR Index, ULONG Length,
                               SHORT Chunks) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->TransferLock, &irql);
  BOOLEAN claimed = KxMayStartTransfer(Extension, Index, Length);
  if (claimed) {
    Extension->TransferContext = Table;
    Extension->ReadWriteIrp = Irp;
    Extension->TransferCount = Chunks;
    Extension->PendingTransfers = Chunks;
    Extension->TransferChunks = Chunks;
    Extension->TransferUsers = 1;
    Extension->TransferStatus = STATUS_SUCCESS;
    Extension->TransferBytes = 0;
    Extension->TransferFailure = STATUS_SUCCESS;
    KxEntries(Table)[0].Irp = Irp;
  }
  KeReleaseSpinLock(&Extension->TransferLock, irql);
  return claimed;
}

static VOID KxFillChunk(PDEVICE_OBJECT DeviceObject, PKxTransferEntry Entry, PURB Urb, USBD_PIPE_HANDLE Pipe,
                        PUCHAR Buffer, ULONG Length) {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER *bulk = &Urb->UrbBulkOrInterruptTransfer;
  bulk->Hdr.Length = sizeof(*bulk);
  bulk->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  bulk->PipeHandle = Pipe;
  bulk->TransferFlags = USBD_SHORT_TRANSFER_OK;
  bulk->TransferBufferLength = Length;
  bulk->TransferBuffer = Buffer;
  bulk->TransferBufferMDL = NULL;
  bulk->UrbLink = NULL;
  Entry->Length = Length;
  Entry->DeviceObject = DeviceObject;
}

// Publishes chunk Index with its packet, unless a cancel has ended the loop or
// there is no packet; then the chunks from Index on are written off.
static BOOLEAN KxPublishChunk(PDEVICE_OBJECT DeviceObject, SHORT Index, PIRP Packet, USBD_PIPE_HANDLE Pipe,
                              PUCHAR Buffer, ULONG Length) {
  PKxDeviceExtension extension = KxExtension(DeviceObject);
  PVOID table = extension->TransferContext;
  SHORT chunks = extension->TransferChunks;
  KIRQL irql;
  KeAcquireSpinLock(&extension->TransferLock, &irql);
  BOOLEAN cancelled = Index >= extension->TransferCount;
  if (cancelled || Packet == NULL) {
    extension->PendingTransfers = (SHORT)(extension->PendingTransfers - (chunks - Index));
    extension->TransferFailure = cancelled ? STATUS_CANCELLED : STATUS_INSUFFICIENT_RESOURCES;
    KeReleaseSpinLock(&extension->TransferLock, irql);
    return FALSE;
  }
  PKxTransferEntry entry = &KxEntries(table)[Index];
  PURB urb = KxChunkUrb(table, chunks, Index);
  KxFillChunk(DeviceObject, entry, urb, Pipe, Buffer, Length);
  entry->Irp = Packet;
  entry->Urb = urb;
  KeReleaseSpinLock(&extension->TransferLock, irql);
  return TRUE;
}

static VOID KxSubmitChunks(PDEVICE_OBJECT DeviceObject, PIRP Irp, USBD_PIPE_HANDLE Pipe, PUCHAR Buffer,
                           ULONG Length, ULONG ChunkSize) {
  PKxDeviceExtension extension = KxExtension(DeviceObject);
  PVOID table = extension->TransferContext;
  SHORT chunks = extension->TransferChunks;
  ULONG offset = 0;
  for (SHORT i = 0; i < chunks; ++i) {
    ULONG length = Length - offset < ChunkSize ? Length - offset : ChunkSize;
    PIRP packet = i == 0 ? Irp : IoAllocateIrp(extension->LowerDeviceObject->StackSize, FALSE);
    if (!KxPublishChunk(DeviceObject, i, packet, Pipe, Buffer + offset, length)) {
      if (packet != NULL && packet != Irp) IoFreeIrp(packet);
      break;
    }
    // The entry holds the packet already: KxCallUSBD sends it.
    KxCallUSBD(DeviceObject, KxChunkUrb(table, chunks, i), FALSE, KxCompleteReadWriteIrp, &KxEntries(table)[i], NULL);
    offset += length;
  }
  KxLeaveTransfer(extension);
}

// The chunk count, the buffer's system address and a zeroed table for the
// request, or the status that refuses it.
static NTSTATUS KxPrepareTransfer(PIRP Irp, ULONG Length, ULONG ChunkSize, SHORT *Chunks, PUCHAR *Buffer,
                                  PVOID *Table) {
  // Counted in 64 bits: in 32 the count wraps for lengths near 4 GiB.
  ULONGLONG chunks = ChunkSize ? ((ULONGLONG)Length + ChunkSize - 1) / ChunkSize : 0;
  if (chunks == 0 || chunks > KX_MAX_CHUNKS || Irp->MdlAddress == NULL) return STATUS_INVALID_PARAMETER;
  *Buffer = (PUCHAR)MmGetSystemAddressForMdl(Irp->MdlAddress);
  if (*Buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  SIZE_T size = (SIZE_T)chunks * (sizeof(KxTransferEntry) + sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  *Table = ExAllocatePoolWithTag(NonPagedPool, size, KX_POOL_TAG);
  if (*Table == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(*Table, size);
  *Chunks = (SHORT)chunks;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS KxReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp, USBD_PIPE_TYPE PipeType, UCHAR Direction) {
  PKxDeviceExtension extension = KxExtension(DeviceObject);
  Irp->IoStatus.Information = 0;
  ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
  UCHAR index = GetIndexFromPipeType(extension, PipeType, Direction);
  if (!KxAcquireIo(extension)) return KxCompleteNow(Irp, STATUS_DELETE_PENDING);
  ULONG chunkSize = index == KX_NO_PIPE ? 0 : extension->PipeInfo[index].MaximumTransferSize;
  SHORT chunks = 0;
  PUCHAR buffer = NULL;
  PVOID table = NULL;
  NTSTATUS status = STATUS_DELETE_PENDING;
  if (KxMayStart(extension, index, length)) status = KxPrepareTransfer(Irp, length, chunkSize, &chunks, &buffer, &table);
  if (NT_SUCCESS(status) && !KxClaimTransfer(extension, Irp, table, index, length, chunks)) {
    ExFreePool(table);
    status = STATUS_DELETE_PENDING;
  }
  if (!NT_SUCCESS(status)) {
    KxReleaseIo(extension);
    return KxCompleteNow(Irp, status);
  }
  IoMarkIrpPending(Irp);
  KxSubmitChunks(DeviceObject, Irp, extension->PipeInfo[index].PipeHandle, buffer, length, chunkSize);
  return STATUS_PENDING;
}

extern "C" VOID KxCancelPendingIo(PDEVICE_OBJECT DeviceObject) {
  PKxDeviceExtension extension = KxExtension(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&extension->TransferLock, &irql);
  PKxTransferEntry entries = KxEntries(extension->TransferContext);
  SHORT count = extension->TransferCount;
  if (entries != NULL) extension->TransferCount = 0;
  if (entries == NULL || count <= 0) {
    KeReleaseSpinLock(&extension->TransferLock, irql);
    return;
  }
  ++extension->TransferUsers;
  for (SHORT i = 0; i < count; ++i) {
    if (entries[i].Urb == NULL) continue;
    PIRP packet = entries[i].Irp;
    // Cancelling completes the chunk, whose routine takes the lock.
    KeReleaseSpinLock(&extension->TransferLock, irql);
    IoCancelIrp(packet);
    KeAcquireSpinLock(&extension->TransferLock, &irql);
  }
  KeReleaseSpinLock(&extension->TransferLock, irql);
  KxLeaveTransfer(extension);
}
