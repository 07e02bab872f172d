// The machine an input runs on, its PnP order and its final checks.
#include "fuzzed_machine.h"

#include <cstdio>
#include <cstdlib>

MachineSetup MachineSetup::from(uint8_t flags) {
  return {(flags & 1) != 0, (flags & 2) != 0, (flags & 4) != 0, (flags & 8) != 0, (flags & 16) != 0};
}

void fuzzFailure(const std::string &what) {
  fprintf(stderr, "harlen_fuzz: %s\n", what.c_str());
  for (const std::string &finding : sim::platform().verifier.violations())
    fprintf(stderr, "  verifier: %s\n", finding.c_str());
  abort();
}

FuzzedMachine::FuzzedMachine(const MachineSetup &setup) : setup_(setup) {
  auto &p = sim::platform();
  p.reset();
  p.verifier.clear();
  // Set after the reset, which restores the NT kernel.
  p.kernel = setup.legacyKernel ? sim::KernelKind::Legacy : sim::KernelKind::Nt;
  pnp_.order = setup.windows98Order ? sim::PnpOrder::Windows98 : sim::PnpOrder::WindowsNt;
  pnp_.powerRequests = setup.powerAroundPnp;
  if (pnp_.loadDriver(DriverEntry, KX_POOL_TAG) != STATUS_SUCCESS) fuzzFailure("the driver did not load");
  bridge_ = &pnp_.plug(sim::BridgeSetup::standard());
  if (pnp_.addDevice(*bridge_) != STATUS_SUCCESS) fuzzFailure("add-device failed");
  if (pnp_.start(*bridge_) != STATUS_SUCCESS) fuzzFailure("the bridge did not start");
  file_ = std::make_unique<sim::UserFile>(sim::UserFile::open(u"\\DosDevices\\Harlen0", setup.caller32));
  if (file_->status() != STATUS_SUCCESS) fuzzFailure("the bridge did not open");
  settle();
}

PDEVICE_OBJECT FuzzedMachine::fdo() const { return state_ == DeviceState::Removed ? nullptr : pnp_.functionDevice(*bridge_); }

void FuzzedMachine::send(UCHAR minor) { pnp_.send(*bridge_, minor); }

void FuzzedMachine::remove() {
  if (pnp_.remove(*bridge_) == STATUS_SUCCESS) state_ = DeviceState::Removed;
}

void FuzzedMachine::endRemoval() {
  send(IRP_MN_REMOVE_DEVICE);
  state_ = DeviceState::Removed;
}

// Only the transitions Windows makes from the current state; any other step does nothing.
void FuzzedMachine::pnpStep(PnpStep step) {
  const bool started = state_ == DeviceState::Started, stopped = state_ == DeviceState::Stopped;
  switch (step) {
    case PnpStep::QueryStop:
      if (!started) return;
      if (pnp_.send(*bridge_, IRP_MN_QUERY_STOP_DEVICE) == STATUS_SUCCESS) state_ = DeviceState::StopQueried;
      else send(IRP_MN_CANCEL_STOP_DEVICE);
      return;
    case PnpStep::CancelStop:
      if (state_ != DeviceState::StopQueried) return;
      send(IRP_MN_CANCEL_STOP_DEVICE);
      state_ = DeviceState::Started;
      return;
    case PnpStep::Stop:
      if (state_ == DeviceState::StopQueried) send(IRP_MN_STOP_DEVICE);
      else if (!started || pnp_.stop(*bridge_) != STATUS_SUCCESS) return;
      state_ = DeviceState::Stopped;
      return;
    case PnpStep::Start:
      if (!stopped) return;
      // A failed start is followed by a removal (NT) or a stop (Windows 98).
      if (pnp_.start(*bridge_) == STATUS_SUCCESS) state_ = DeviceState::Started;
      else if (!setup_.windows98Order) state_ = DeviceState::Removed;
      return;
    case PnpStep::SurpriseRemoval:
      if (!started && !stopped) return;
      // Windows 98 sends an unplug as a plain removal.
      if (setup_.windows98Order) return endRemoval();
      send(IRP_MN_SURPRISE_REMOVAL);
      state_ = DeviceState::SurpriseRemoved;
      return;
    case PnpStep::QueryRemove:
      if (!started && !stopped) return;
      if (pnp_.send(*bridge_, IRP_MN_QUERY_REMOVE_DEVICE) != STATUS_SUCCESS) return send(IRP_MN_CANCEL_REMOVE_DEVICE);
      beforeRemoveQuery_ = state_;
      state_ = DeviceState::RemoveQueried;
      return;
    case PnpStep::CancelRemove:
      if (state_ != DeviceState::RemoveQueried) return;
      send(IRP_MN_CANCEL_REMOVE_DEVICE);
      state_ = beforeRemoveQuery_;
      return;
    case PnpStep::Remove:
      if (state_ == DeviceState::RemoveQueried || state_ == DeviceState::SurpriseRemoved) return endRemoval();
      if (started || stopped) remove();
      return;
  }
}

void FuzzedMachine::track(std::shared_ptr<sim::UserRequest> request) {
  if (request) requests_.push_back(std::move(request));
}

std::vector<uint8_t> &FuzzedMachine::keepBuffer(size_t size) {
  buffers_.push_back(std::make_unique<std::vector<uint8_t>>(size));
  return *buffers_.back();
}

void FuzzedMachine::settle() {
  sim::platform().runAllPendingWork();
  if (!sim::platform().verifier.violations().empty()) fuzzFailure("verifier finding");
}

void FuzzedMachine::closeHandle() {
  file_->close();
  settle();
}

void FuzzedMachine::finish() {
  if (!setup_.closeAfterRemoval) closeHandle();
  if (state_ == DeviceState::StopQueried) pnpStep(PnpStep::CancelStop);
  if (state_ == DeviceState::RemoveQueried || state_ == DeviceState::SurpriseRemoved) endRemoval();
  if (state_ != DeviceState::Removed) remove();
  // A vetoed query: Windows then removes the device as unplugged.
  if (state_ != DeviceState::Removed) pnpStep(PnpStep::SurpriseRemoval);
  if (state_ == DeviceState::SurpriseRemoved) endRemoval();
  settle();
  if (setup_.closeAfterRemoval) closeHandle();
  checkRequests();
  auto &p = sim::platform();
  if (!p.pool.empty()) fuzzFailure(std::to_string(p.pool.size()) + " pool blocks left after removal");
  if (!p.mdls.empty()) fuzzFailure(std::to_string(p.mdls.size()) + " MDLs left after removal");
  if (!p.irps.empty()) fuzzFailure(std::to_string(p.irps.size()) + " IRPs left after removal");
  // Each input frees what it made, so LeakSanitizer's check after an input sees only real leaks.
  p.reset();
}

void FuzzedMachine::checkRequests() {
  for (size_t i = 0; i < requests_.size(); ++i) {
    const sim::UserRequest &request = *requests_[i];
    std::string which = "request " + std::to_string(i) + " (major " + std::to_string(request.major) + ")";
    if (!request.completed) fuzzFailure(which + " never completed");
    if (request.completions() != 1)
      fuzzFailure(which + " completed " + std::to_string(request.completions()) + " times");
    if (request.status == STATUS_PENDING) fuzzFailure(which + " completed with STATUS_PENDING");
  }
}
