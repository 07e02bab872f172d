#include "chunk_by_chunk.h"

ChunkByChunk::ChunkByChunk(PDEVICE_OBJECT busDevice, USBD_PIPE_HANDLE pipe, PUCHAR buffer, ULONG length,
                           ULONG chunkSize)
    : busDevice_(busDevice), pipe_(pipe), buffer_(buffer), length_(length), chunkSize_(chunkSize) {}

void ChunkByChunk::start() { sendNext(); }

void ChunkByChunk::sendNext() {
  PIRP irp = IoAllocateIrp(busDevice_->StackSize, FALSE);
  if (irp == nullptr) {
    status_ = STATUS_INSUFFICIENT_RESOURCES;
    finished_ = true;
    return;
  }
  urb_ = {};
  urb_.Hdr.Length = sizeof urb_;
  urb_.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  urb_.PipeHandle = pipe_;
  urb_.TransferFlags = USBD_SHORT_TRANSFER_OK;
  urb_.TransferBufferLength = std::min(chunkSize_, length_ - moved_);
  urb_.TransferBuffer = buffer_ + moved_;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.Others.Argument1 = &urb_;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  IoSetCompletionRoutine(irp, chunkCompleted, this, TRUE, TRUE, TRUE);
  IoCallDriver(busDevice_, irp);
}

NTSTATUS NTAPI ChunkByChunk::chunkCompleted(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto self = static_cast<ChunkByChunk *>(context);
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  self->moved_ += self->urb_.TransferBufferLength;
  if (NT_SUCCESS(status) && self->urb_.TransferBufferLength != 0 && self->moved_ < self->length_) {
    self->sendNext();
  } else {
    self->status_ = status;
    self->finished_ = true;
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}
