// Bulk and interrupt pipes on the bus: transfers wait in each pipe's queue and
// complete in its order, as the pipe's mode says, with a cancel routine set
// while the bus holds them; pipe aborts and resets, endpoint clear-feature,
// and the removal of the device. The queues change under the platform lock;
// completions run without it.
#include "bulk_pipes.h"

#include <algorithm>

#include "urb_text.h"

namespace sim {

namespace {

// Completions come from the bus's DPC, whoever asks for them.
template <class Work>
void atDispatchLevel(Work work) {
  KIRQL saved = platform().irql;
  platform().irql = DISPATCH_LEVEL;
  work();
  platform().irql = saved;
}

// One period byte by byte, then copies of what is there: reads of tens of MiB stay cheap.
void fillPattern(uint8_t *data, size_t size, uint64_t offset) {
  size_t filled = std::min<size_t>(size, kPatternPeriod);
  for (size_t i = 0; i < filled; ++i) data[i] = patternByte(offset + i);
  while (filled < size) {
    size_t count = std::min(filled, size - filled);
    memcpy(data + filled, data, count);
    filled += count;
  }
}

std::optional<uint64_t> patternMismatch(const uint8_t *data, size_t size, uint64_t offset) {
  unsigned value = patternByte(offset);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != value) return offset + i;
    value = value + 1 == kPatternPeriod ? 0 : value + 1;
  }
  return std::nullopt;
}

}  // namespace

void ByteStream::write(const uint8_t *data, size_t size) {
  if (size == 0) return;
  chunks_.emplace_back(data, data + size);
  size_ += size;
}

size_t ByteStream::read(uint8_t *data, size_t size) {
  size_t done = 0;
  while (done < size && !chunks_.empty()) {
    const std::vector<uint8_t> &front = chunks_.front();
    size_t count = std::min(size - done, front.size() - frontTaken_);
    memcpy(data + done, front.data() + frontTaken_, count);
    done += count;
    frontTaken_ += count;
    if (frontTaken_ == front.size()) {
      chunks_.pop_front();
      frontTaken_ = 0;
    }
  }
  size_ -= done;
  return done;
}

Pipe *UsbBridge::pipeByHandle(USBD_PIPE_HANDLE handle) const {
  for (auto &pipe : pipes_)
    if (pipe.get() == handle) return pipe.get();
  return nullptr;
}

Pipe *UsbBridge::pipeByAddress(UCHAR endpointAddress) const {
  for (auto &pipe : pipes_)
    if (pipe->endpoint.address == endpointAddress) return pipe.get();
  return nullptr;
}

Pipe *UsbBridge::pipeById(unsigned id) const {
  for (auto &pipe : pipes_)
    if (pipe->id == id) return pipe.get();
  return nullptr;
}

unsigned UsbBridge::pipeIdAt(UCHAR endpointAddress) const {
  PlatformLock guard;
  Pipe *pipe = pipeByAddress(endpointAddress);
  return pipe ? pipe->id : 0;
}

std::vector<unsigned> UsbBridge::pipeIds() const {
  PlatformLock guard;
  std::vector<unsigned> ids;
  for (auto &pipe : pipes_) ids.push_back(pipe->id);
  return ids;
}

BulkMode UsbBridge::modeOf(const Pipe &pipe) const { return pipe.in() ? bulk.reads : bulk.writes; }

size_t UsbBridge::queued(UCHAR endpointAddress) const {
  PlatformLock guard;
  Pipe *pipe = pipeByAddress(endpointAddress);
  return pipe ? pipe->queue.size() : 0;
}

uint64_t UsbBridge::streamOffset(UCHAR endpointAddress) const {
  PlatformLock guard;
  Pipe *pipe = pipeByAddress(endpointAddress);
  return pipe ? pipe->offset : 0;
}

std::optional<uint64_t> UsbBridge::firstPatternMismatch(UCHAR endpointAddress) const {
  PlatformLock guard;
  Pipe *pipe = pipeByAddress(endpointAddress);
  return pipe ? pipe->firstMismatch : std::nullopt;
}

USBD_STATUS UsbBridge::checkTransfer(const _URB_BULK_OR_INTERRUPT_TRANSFER &request, UrbRecord &record) const {
  if (record.length != sizeof request) return USBD_STATUS_INVALID_PARAMETER;
  record.transferFlags = request.TransferFlags;
  record.transferBufferLength = request.TransferBufferLength;
  record.hasBuffer = request.TransferBuffer != nullptr;
  record.hasMdl = request.TransferBufferMDL != nullptr;
  record.hasLink = request.UrbLink != nullptr;
  {
    PlatformLock guard;
    Pipe *pipe = pipeByHandle(request.PipeHandle);
    if (pipe == nullptr && closedHandles_.count(request.PipeHandle))
      platform().verifier.violation(describeArrival(record) +
                                    " on a pipe handle its configuration closed: on Windows it names freed memory");
    if (pipe == nullptr) return USBD_STATUS_INVALID_PIPE_HANDLE;
    record.endpointAddress = pipe->endpoint.address;
  }
  bool mapped = request.TransferBufferMDL && request.TransferBufferMDL->MappedSystemVa;
  if (request.TransferBufferLength && !request.TransferBuffer && !mapped) return USBD_STATUS_INVALID_PARAMETER;
  return USBD_STATUS_PENDING;
}

NTSTATUS UsbBridge::queueTransfer(PIRP irp, _URB_BULK_OR_INTERRUPT_TRANSFER &request, size_t record) {
  PlatformLock guard;
  Pipe &pipe = *pipeByHandle(request.PipeHandle);
  const unsigned id = pipe.id;
  pipe.queue.push_back({irp, &request, record});
  if (urbCompletion == Completion::Inline && pipe.queue.size() == 1 && modeOf(pipe) != BulkMode::Hold) {
    guard.unlock();
    serviceHead(id);
    guard.lock();
    return urbs_[record].status;
  }
  // Held as a real bus holds it: cancellable until the bus takes it back.
  IoMarkIrpPending(irp);
  pipe.queue.back().armed = true;
  IoSetCancelRoutine(irp, cancelRoutine);
  if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    Transfer transfer = pipe.queue.back();
    pipe.queue.pop_back();
    guard.unlock();
    completeUntaken(transfer);
    return STATUS_PENDING;
  }
  guard.unlock();
  keepServicing(id);
  return STATUS_PENDING;
}

// Completes the head transfer as the pipe's mode says; false if it stays.
bool UsbBridge::serviceHead(unsigned pipeId) {
  PlatformLock guard;
  Pipe *pipe = pipeById(pipeId);
  if (pipe == nullptr || pipe->queue.empty() || (!pipe->halted && modeOf(*pipe) == BulkMode::Hold)) return false;
  Transfer transfer = pipe->queue.front();
  // NULL: the cancel routine is running and owns the transfer.
  if (transfer.armed && IoSetCancelRoutine(transfer.irp, nullptr) == nullptr) return false;
  pipe->queue.pop_front();
  if (modeOf(*pipe) == BulkMode::Stall) pipe->halted = true;
  bool stallsAfterData = !pipe->halted && modeOf(*pipe) == BulkMode::Short && bulk.stallAfterShort;
  USBD_STATUS usbd = pipe->halted || stallsAfterData ? USBD_STATUS_STALL_PID : USBD_STATUS_SUCCESS;
  ULONG bytes = pipe->halted ? 0 : moveData(*pipe, *transfer.urb);
  if (stallsAfterData) pipe->halted = true;
  guard.unlock();
  completeTransfer(transfer, usbd, bytes);
  return true;
}

// Inline: completes what can complete now. Deferred: one DPC per queued
// transfer, each completing the head of the pipe then.
void UsbBridge::keepServicing(unsigned pipeId) {
  if (urbCompletion == Completion::Inline) {
    while (serviceHead(pipeId)) {
    }
    return;
  }
  if (urbCompletion != Completion::Deferred) return;
  PlatformLock guard;
  Pipe *pipe = pipeById(pipeId);
  if (pipe == nullptr) return;
  for (; pipe->scheduled < pipe->queue.size(); ++pipe->scheduled)
    platform().defer([this, pipeId] {
      {
        PlatformLock guard;
        Pipe *live = pipeById(pipeId);
        if (live == nullptr) return;
        --live->scheduled;
      }
      serviceHead(pipeId);
    });
}

ULONG UsbBridge::moveData(Pipe &pipe, _URB_BULK_OR_INTERRUPT_TRANSFER &request) {
  size_t size = request.TransferBufferLength;
  if (size == 0) return 0;
  auto data = static_cast<uint8_t *>(request.TransferBuffer ? request.TransferBuffer
                                                            : request.TransferBufferMDL->MappedSystemVa);
  BulkMode mode = modeOf(pipe);
  if (mode == BulkMode::Discard) {
    pipe.offset += size;
    return static_cast<ULONG>(size);
  }
  if (mode == BulkMode::Short) size = std::min<size_t>(size, bulk.shortLength);
  if (mode == BulkMode::Loopback && pipe.in())
    size = loopback_->read(data, size);
  else if (mode == BulkMode::Loopback)
    loopback_->write(data, size);
  else if (pipe.in())
    fillPattern(data, size, pipe.offset);
  else if (!pipe.firstMismatch)
    pipe.firstMismatch = patternMismatch(data, size, pipe.offset);
  pipe.offset += size;
  return static_cast<ULONG>(size);
}

void UsbBridge::completeTransfer(const Transfer &transfer, USBD_STATUS usbd, ULONG bytes) {
  {
    PlatformLock guard;
    transfer.urb->Hdr.Status = usbd;
    transfer.urb->TransferBufferLength = bytes;
    UrbRecord &record = urbs_[transfer.record];
    record.bytesMoved = bytes;
    record.usbdStatus = usbd;
    record.status = toNtStatus(usbd);
    platform().trace.add("usb", [&] { return "<- " + describeCompletion(record, std::to_string(bytes) + " bytes"); });
    transfer.irp->IoStatus.Status = record.status;
  }
  IofCompleteRequest(transfer.irp, IO_NO_INCREMENT);
}

// Cancelled before the bus took it: a real bus may end such a request without
// looking at its URB, whose length still reads as asked.
void UsbBridge::completeUntaken(const Transfer &transfer) {
  {
    PlatformLock guard;
    UrbRecord &record = urbs_[transfer.record];
    record.usbdStatus = USBD_STATUS_CANCELED;
    record.status = STATUS_CANCELLED;
    platform().trace.add("usb", [&] {
      return "<- " + describeCompletion(record, "cancelled before the bus took it, URB untouched");
    });
    transfer.irp->IoStatus.Status = STATUS_CANCELLED;
  }
  IofCompleteRequest(transfer.irp, IO_NO_INCREMENT);
}

bool UsbBridge::completeNext(UCHAR endpointAddress) {
  unsigned id = pipeIdAt(endpointAddress);
  bool completed = false;
  if (id) atDispatchLevel([&] { completed = serviceHead(id); });
  return completed;
}

// Ends the transfers queued now, in order; those a completion routine queues meanwhile stay.
void UsbBridge::failAll(unsigned pipeId, USBD_STATUS usbd) {
  size_t count;
  {
    PlatformLock guard;
    Pipe *pipe = pipeById(pipeId);
    count = pipe ? pipe->queue.size() : 0;
  }
  for (; count; --count) {
    Transfer transfer{};
    {
      PlatformLock guard;
      Pipe *pipe = pipeById(pipeId);
      if (pipe == nullptr || pipe->queue.empty()) return;
      transfer = pipe->queue.front();
      if (transfer.armed && IoSetCancelRoutine(transfer.irp, nullptr) == nullptr) return;
      pipe->queue.pop_front();
    }
    completeTransfer(transfer, usbd, 0);
  }
}

VOID UsbBridge::cancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  UsbBridge &bridge = **static_cast<UsbBridge **>(device->DeviceExtension);
  Transfer transfer{};
  unsigned id = 0;
  {
    PlatformLock guard;
    for (auto &pipe : bridge.pipes_) {
      auto &queue = pipe->queue;
      auto held = std::find_if(queue.begin(), queue.end(), [irp](const Transfer &t) { return t.irp == irp; });
      if (held == queue.end()) continue;
      transfer = *held;
      queue.erase(held);
      id = pipe->id;
      break;
    }
  }
  if (id == 0) return;
  bridge.completeTransfer(transfer, USBD_STATUS_CANCELED, 0);
  // By its id: the completion routine may have changed the configuration.
  bridge.keepServicing(id);
}

USBD_STATUS UsbBridge::pipeRequest(_URB_PIPE_REQUEST &request, UrbRecord &record) {
  if (record.length != sizeof request) return USBD_STATUS_INVALID_PARAMETER;
  PlatformLock guard;
  Pipe *pipe = pipeByHandle(request.PipeHandle);
  if (pipe == nullptr) return USBD_STATUS_INVALID_PIPE_HANDLE;
  record.endpointAddress = pipe->endpoint.address;
  if (record.function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) pipe->halted = false;
  return USBD_STATUS_SUCCESS;
}

// The request goes to the device: it stalls what it does not know.
USBD_STATUS UsbBridge::clearEndpointFeature(_URB_CONTROL_FEATURE_REQUEST &request, UrbRecord &record) {
  if (record.length != sizeof request) return USBD_STATUS_INVALID_PARAMETER;
  record.featureSelector = request.FeatureSelector;
  record.featureIndex = request.Index;
  PlatformLock guard;
  Pipe *pipe = request.Index <= 0xFF ? pipeByAddress(static_cast<UCHAR>(request.Index)) : nullptr;
  if (pipe == nullptr || request.FeatureSelector != USB_FEATURE_ENDPOINT_STALL) return USBD_STATUS_STALL_PID;
  record.endpointAddress = pipe->endpoint.address;
  pipe->halted = false;
  return USBD_STATUS_SUCCESS;
}

// A new configuration, or none: what the old pipes still hold is cancelled.
void UsbBridge::dropPipes() {
  for (unsigned id : pipeIds()) failAll(id, USBD_STATUS_CANCELED);
  PlatformLock guard;
  for (auto &pipe : pipes_) closedHandles_.insert(pipe.get());
  pipes_.clear();
}

void UsbBridge::unplug() {
  {
    PlatformLock guard;
    platform().trace.add("usb", [&] { return label_ + " unplugged"; });
    gone_ = true;
    portStatus = 0;
  }
  atDispatchLevel([this] {
    for (unsigned id : pipeIds()) failAll(id, USBD_STATUS_DEVICE_GONE);
    failHeldControls(USBD_STATUS_DEVICE_GONE);
  });
}

}  // namespace sim
