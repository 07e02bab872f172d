// The stand-in the driver is measured against: it moves a request through the
// bus one chunk at a time, sending the next chunk from the completion routine
// of the one before, so the pipe's queue runs dry between chunks.
#pragma once

#include "sim/sim.h"

class ChunkByChunk {
 public:
  ChunkByChunk(PDEVICE_OBJECT busDevice, USBD_PIPE_HANDLE pipe, PUCHAR buffer, ULONG length, ULONG chunkSize);
  // Sends the first chunk; the rest follow from the completions.
  void start();
  bool finished() const { return finished_; }
  NTSTATUS status() const { return status_; }
  ULONG moved() const { return moved_; }

 private:
  void sendNext();
  static NTSTATUS NTAPI chunkCompleted(PDEVICE_OBJECT device, PIRP irp, PVOID context);

  PDEVICE_OBJECT busDevice_;
  USBD_PIPE_HANDLE pipe_;
  PUCHAR buffer_;
  ULONG length_, chunkSize_;
  ULONG moved_ = 0;
  bool finished_ = false;
  NTSTATUS status_ = STATUS_PENDING;
  _URB_BULK_OR_INTERRUPT_TRANSFER urb_{};
};
