// Bulk and interrupt pipes: transfers wait in their pipe's queue with the
// bus's cancel routine set, and complete in its order as the pipe's mode
// says; pipe aborts and resets, endpoint clear-feature, the loopback stream.
// Queues change under the bus lock; transfers complete without it.
#include "bus.h"

namespace {

// Bytes written to a loopback OUT pipe, read back by IN pipes in order.
struct LoopbackChunk {
  LIST_ENTRY link;
  ULONG size;
  ULONG taken;
  UCHAR data[1];
};

constexpr unsigned kPatternPeriod = 251;  // prime: a lost or repeated block of any power-of-two size shows

LIST_ENTRY *LinkOf(PIRP irp) { return &irp->Tail.Overlay.ListEntry; }
PIRP IrpOf(LIST_ENTRY *link) { return CONTAINING_RECORD(link, IRP, Tail.Overlay.ListEntry); }
PURB UrbOf(PIRP irp) { return static_cast<PURB>(irp->Tail.Overlay.DriverContext[1]); }
ULONG SequenceOf(PIRP irp) { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[0])); }

bool IsIn(const BusPipe &pipe) { return (pipe.endpoint.bEndpointAddress & 0x80) != 0; }

ULONG ModeOf(const Bridge &bridge, const BusPipe &pipe) {
  return IsIn(pipe) ? bridge.behaviour.reads : bridge.behaviour.writes;
}

void CompleteTransfer(PIRP irp, USBD_STATUS usbd, ULONG bytes) {
  PURB urb = UrbOf(irp);
  NTSTATUS status = NtStatusOf(usbd);
  urb->UrbHeader.Status = usbd;
  urb->UrbBulkOrInterruptTransfer.TransferBufferLength = bytes;
  WireLogFinish(SequenceOf(irp), status, usbd, bytes);
  CompleteIrp(irp, status);
}

// Takes the IRP back from its cancel routine; false when that routine already runs and owns it.
bool Disarm(PIRP irp) { return IoSetCancelRoutine(irp, nullptr) != nullptr; }

void FillPattern(PUCHAR data, ULONG size, ULONG64 offset) {
  ULONG value = static_cast<ULONG>(offset % kPatternPeriod);
  for (ULONG i = 0; i < size; ++i) {
    data[i] = static_cast<UCHAR>(value);
    value = value + 1 == kPatternPeriod ? 0 : value + 1;
  }
}

ULONG64 PatternMismatch(const UCHAR *data, ULONG size, ULONG64 offset) {
  ULONG value = static_cast<ULONG>(offset % kPatternPeriod);
  for (ULONG i = 0; i < size; ++i) {
    if (data[i] != value) return offset + i;
    value = value + 1 == kPatternPeriod ? 0 : value + 1;
  }
  return kNoMismatch;
}

void LoopbackWrite(Bridge &bridge, const UCHAR *data, ULONG size) {
  if (size == 0) return;
  auto chunk = static_cast<LoopbackChunk *>(
      ExAllocatePoolWithTag(NonPagedPool, FIELD_OFFSET(LoopbackChunk, data) + size, kBusTag));
  if (chunk == nullptr) return;  // the data is lost, as on a full device
  chunk->size = size;
  chunk->taken = 0;
  RtlCopyMemory(chunk->data, data, size);
  InsertTailList(&bridge.loopback, &chunk->link);
}

ULONG LoopbackRead(Bridge &bridge, PUCHAR data, ULONG size) {
  ULONG done = 0;
  while (done < size && !IsListEmpty(&bridge.loopback)) {
    auto chunk = CONTAINING_RECORD(bridge.loopback.Flink, LoopbackChunk, link);
    ULONG count = chunk->size - chunk->taken < size - done ? chunk->size - chunk->taken : size - done;
    RtlCopyMemory(data + done, chunk->data + chunk->taken, count);
    done += count;
    chunk->taken += count;
    if (chunk->taken == chunk->size) {
      RemoveEntryList(&chunk->link);
      ExFreePoolWithTag(chunk, kBusTag);
    }
  }
  return done;
}

// With the bus lock held: the data moves as the pipe's mode says.
ULONG MoveData(Bridge &bridge, BusPipe &pipe, _URB_BULK_OR_INTERRUPT_TRANSFER &request) {
  ULONG size = request.TransferBufferLength;
  if (size == 0) return 0;
  ULONG mode = ModeOf(bridge, pipe);
  if (mode == HarlenDiscard) {
    pipe.offset += size;
    return size;
  }
  PUCHAR data = SystemAddressOf(request.TransferBuffer, request.TransferBufferMDL);
  if (mode == HarlenShort && size > bridge.behaviour.shortLength) size = bridge.behaviour.shortLength;
  if (mode == HarlenLoopback && IsIn(pipe))
    size = LoopbackRead(bridge, data, size);
  else if (mode == HarlenLoopback)
    LoopbackWrite(bridge, data, size);
  else if (IsIn(pipe))
    FillPattern(data, size, pipe.offset);
  else if (pipe.firstMismatch == kNoMismatch)
    pipe.firstMismatch = PatternMismatch(data, size, pipe.offset);
  pipe.offset += size;
  return size;
}

// Completes the head transfer of a pipe as its mode says; false if it stays.
bool ServiceHead(Bridge &bridge, ULONG index) {
  BusLock guard;
  if (index >= bridge.pipeCount) return false;
  BusPipe &pipe = bridge.pipes[index];
  if (pipe.queued == 0 || (!pipe.halted && ModeOf(bridge, pipe) == HarlenHold)) return false;
  PIRP irp = IrpOf(pipe.queue.Flink);
  if (!Disarm(irp)) return false;
  RemoveEntryList(LinkOf(irp));
  --pipe.queued;
  if (ModeOf(bridge, pipe) == HarlenStall) pipe.halted = TRUE;
  USBD_STATUS usbd = pipe.halted ? USBD_STATUS_STALL_PID : USBD_STATUS_SUCCESS;
  ULONG bytes = pipe.halted ? 0 : MoveData(bridge, pipe, UrbOf(irp)->UrbBulkOrInterruptTransfer);
  guard.Release();
  CompleteTransfer(irp, usbd, bytes);
  return true;
}

VOID NTAPI CancelTransfer(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Bridge &bridge = *ExtensionOf(device)->bridge;
  bool found = false;
  {
    BusLock guard;
    for (ULONG i = 0; i < bridge.pipeCount && !found; ++i) {
      BusPipe &pipe = bridge.pipes[i];
      for (LIST_ENTRY *at = pipe.queue.Flink; at != &pipe.queue; at = at->Flink) {
        if (at != LinkOf(irp)) continue;
        RemoveEntryList(at);
        --pipe.queued;
        found = true;
        break;
      }
    }
  }
  if (!found) return;
  CompleteTransfer(irp, USBD_STATUS_CANCELED, 0);
  KickDpc();  // the next one may now be at the head
}

}  // namespace

PUCHAR SystemAddressOf(PVOID buffer, PMDL mdl) {
  if (buffer) return static_cast<PUCHAR>(buffer);
  if (mdl == nullptr) return nullptr;
  if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return static_cast<PUCHAR>(mdl->MappedSystemVa);
  // Under Wine every "kernel" address is the driver host's own memory and
  // MmMapLockedPages only aborts the host: the MDL's own address is the data.
  return static_cast<PUCHAR>(mdl->StartVa) + mdl->ByteOffset;
}

BusPipe *PipeByHandle(Bridge &bridge, USBD_PIPE_HANDLE handle) {
  for (ULONG i = 0; i < bridge.pipeCount; ++i)
    if (bridge.pipes[i].handle == handle) return &bridge.pipes[i];
  return nullptr;
}

LONG PipeIndexAt(Bridge &bridge, UCHAR endpointAddress) {
  for (ULONG i = 0; i < bridge.pipeCount; ++i)
    if (bridge.pipes[i].endpoint.bEndpointAddress == endpointAddress) return static_cast<LONG>(i);
  return -1;
}

USBD_STATUS CheckTransfer(Bridge &bridge, _URB_BULK_OR_INTERRUPT_TRANSFER &request, HarlenWireRecord &record) {
  if (record.length != sizeof request) return USBD_STATUS_INVALID_PARAMETER;
  record.transferFlags = request.TransferFlags;
  record.transferBufferLength = request.TransferBufferLength;
  record.flags |= (request.TransferBuffer ? HARLEN_WIRE_HAS_BUFFER : 0) | (request.TransferBufferMDL ? HARLEN_WIRE_HAS_MDL : 0) |
                  (request.UrbLink ? HARLEN_WIRE_HAS_LINK : 0);
  {
    BusLock guard;
    BusPipe *pipe = PipeByHandle(bridge, request.PipeHandle);
    if (pipe == nullptr) return USBD_STATUS_INVALID_PIPE_HANDLE;
    record.endpointAddress = pipe->endpoint.bEndpointAddress;
  }
  if (request.TransferBufferLength && !request.TransferBuffer && !request.TransferBufferMDL)
    return USBD_STATUS_INVALID_PARAMETER;
  return USBD_STATUS_PENDING;
}

// Held as a real bus holds it: cancellable until the bus takes it back.
NTSTATUS QueueTransfer(Bridge &bridge, PIRP irp, PURB urb, ULONG sequence) {
  irp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(sequence));
  irp->Tail.Overlay.DriverContext[1] = urb;
  BusLock guard;
  BusPipe *pipe = PipeByHandle(bridge, urb->UrbBulkOrInterruptTransfer.PipeHandle);
  if (pipe == nullptr || !bridge.present) {  // reconfigured or unplugged since it was checked
    guard.Release();
    return FinishLater(bridge, irp, pipe ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_INVALID_PIPE_HANDLE, sequence, 0);
  }
  IoMarkIrpPending(irp);
  InsertTailList(&pipe->queue, LinkOf(irp));
  ++pipe->queued;
  (void)IoSetCancelRoutine(irp, CancelTransfer);
  if (irp->Cancel && Disarm(irp)) {
    RemoveEntryList(LinkOf(irp));
    --pipe->queued;
    guard.Release();
    CompleteTransfer(irp, USBD_STATUS_CANCELED, 0);
    return STATUS_PENDING;
  }
  bool deferred = bridge.behaviour.completion == HarlenDeferred;
  guard.Release();
  if (deferred) KickDpc();
  return STATUS_PENDING;
}

// Deferred mode, from the DPC: each pipe completes what was queued when it began.
void ServiceQueues(Bridge &bridge) {
  for (ULONG index = 0; index < kMaxPipes; ++index) {
    ULONG count;
    {
      BusLock guard;
      if (bridge.behaviour.completion != HarlenDeferred) return;
      count = index < bridge.pipeCount ? bridge.pipes[index].queued : 0;
    }
    while (count-- && ServiceHead(bridge, index)) {
    }
  }
}

// Manual mode: the test completes the head, or all, of a pipe, at DISPATCH_LEVEL as the DPC would.
ULONG CompleteHeads(Bridge &bridge, UCHAR endpointAddress, bool all) {
  LONG index;
  ULONG count;
  {
    BusLock guard;
    index = PipeIndexAt(bridge, endpointAddress);
    if (index < 0) return 0;
    count = all ? bridge.pipes[index].queued : 1;
  }
  ULONG completed = 0;
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  while (completed < count && ServiceHead(bridge, static_cast<ULONG>(index))) ++completed;
  KeLowerIrql(irql);
  return completed;
}

void FailQueued(Bridge &bridge, LONG pipeIndex, USBD_STATUS usbd) {
  LIST_ENTRY taken;
  InitializeListHead(&taken);
  {
    BusLock guard;
    for (ULONG i = 0; i < bridge.pipeCount; ++i) {
      if (pipeIndex >= 0 && i != static_cast<ULONG>(pipeIndex)) continue;
      BusPipe &pipe = bridge.pipes[i];
      for (LIST_ENTRY *at = pipe.queue.Flink; at != &pipe.queue;) {
        LIST_ENTRY *next = at->Flink;
        if (Disarm(IrpOf(at))) {  // otherwise its cancel routine ends it
          RemoveEntryList(at);
          --pipe.queued;
          InsertTailList(&taken, at);
        }
        at = next;
      }
    }
  }
  while (!IsListEmpty(&taken)) CompleteTransfer(IrpOf(RemoveHeadList(&taken)), usbd, 0);
}

USBD_STATUS PipeRequest(Bridge &bridge, _URB_PIPE_REQUEST &request, HarlenWireRecord &record) {
  if (record.length != sizeof request) return USBD_STATUS_INVALID_PARAMETER;
  BusLock guard;
  BusPipe *pipe = PipeByHandle(bridge, request.PipeHandle);
  if (pipe == nullptr) return USBD_STATUS_INVALID_PIPE_HANDLE;
  record.endpointAddress = pipe->endpoint.bEndpointAddress;
  if (record.function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) pipe->halted = FALSE;
  return USBD_STATUS_SUCCESS;
}

// The request goes to the device: it stalls what it does not know.
USBD_STATUS ClearEndpointFeature(Bridge &bridge, _URB_CONTROL_FEATURE_REQUEST &request, HarlenWireRecord &record) {
  if (record.length != sizeof request) return USBD_STATUS_INVALID_PARAMETER;
  record.featureSelector = request.FeatureSelector;
  record.featureIndex = request.Index;
  BusLock guard;
  LONG index = request.Index <= 0xFF ? PipeIndexAt(bridge, static_cast<UCHAR>(request.Index)) : -1;
  if (index < 0 || request.FeatureSelector != USB_FEATURE_ENDPOINT_STALL) return USBD_STATUS_STALL_PID;
  record.endpointAddress = static_cast<UCHAR>(request.Index);
  bridge.pipes[index].halted = FALSE;
  return USBD_STATUS_SUCCESS;
}

void AddPipeLocked(Bridge &bridge, const USB_ENDPOINT_DESCRIPTOR &endpoint) {
  BusPipe &pipe = bridge.pipes[bridge.pipeCount];
  pipe.endpoint = endpoint;
  pipe.handle = reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(bridge.configurations << 8 | (bridge.pipeCount + 1)));
  InitializeListHead(&pipe.queue);
  pipe.queued = 0;
  pipe.halted = FALSE;
  pipe.offset = 0;
  pipe.firstMismatch = kNoMismatch;
  ++bridge.pipeCount;
}

// A new configuration, or none: what the old pipes still hold is cancelled,
// their handles die. A transfer whose cancel routine is already under way
// leaves its queue in a moment: the slots are reused only once all are empty.
void DropPipes(Bridge &bridge) {
  LARGE_INTEGER pause;
  pause.QuadPart = -10 * 1000;  // 1 ms
  for (;;) {
    FailQueued(bridge, -1, USBD_STATUS_CANCELED);
    {
      BusLock guard;
      ULONG held = 0;
      for (ULONG i = 0; i < bridge.pipeCount; ++i) held += bridge.pipes[i].queued;
      if (held == 0) {
        bridge.pipeCount = 0;
        ++bridge.configurations;
        return;
      }
    }
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
  }
}

void FreeLoopback(Bridge &bridge) {
  while (!IsListEmpty(&bridge.loopback))
    ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(&bridge.loopback), LoopbackChunk, link), kBusTag);
}
