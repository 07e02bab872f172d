#include "modelled_bus.h"

ModelledBus::ModelledBus(OpenedBridge &opened, double turnaroundSeconds)
    : opened_(opened), turnaround_(turnaroundSeconds) {
  opened_.bridge().onRequest = [this](const sim::BusRequest &request) { watch(request); };
}

ModelledBus::~ModelledBus() { opened_.bridge().onRequest = nullptr; }

void ModelledBus::watch(const sim::BusRequest &request) {
  if (request.major != IRP_MJ_INTERNAL_DEVICE_CONTROL || request.ioControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) return;
  auto urb = static_cast<PURB>(request.argument1);
  if (urb == nullptr || urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return;
  const USBD_PIPE_INFORMATION *pipe = opened_.pipe(urb->UrbBulkOrInterruptTransfer.PipeHandle);
  if (pipe) arrive(pipe->EndpointAddress, urb->UrbBulkOrInterruptTransfer.TransferBufferLength);
}

void ModelledBus::arrive(UCHAR endpoint, ULONG bytes) {
  PipeClock &pipe = pipes_[endpoint];
  double start = pipe.ends.empty() ? std::max(now_, pipe.busyUntil) + turnaround_ : pipe.busyUntil;
  double moving = bytes / kHighSpeedBytesPerSecond;
  pipe.busyUntil = start + moving;
  pipe.ends.push_back(pipe.busyUntil);
  payload_ += moving;
}

bool ModelledBus::runUntilIdle() {
  for (;;) {
    auto due = pipes_.end();
    for (auto it = pipes_.begin(); it != pipes_.end(); ++it)
      if (!it->second.ends.empty() && (due == pipes_.end() || it->second.ends.front() < due->second.ends.front()))
        due = it;
    if (due == pipes_.end()) return true;
    // The model lets go of the transfer first: one its completion sends finds the queue empty.
    now_ = due->second.ends.front();
    due->second.ends.pop_front();
    if (!opened_.bridge().completeNext(due->first)) return false;
    sim::platform().runAllPendingWork();
  }
}
