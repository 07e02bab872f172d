#include "opened_bridge.h"

OpenedBridge::OpenedBridge(sim::Completion completion) {
  sim::platform().reset();
  sim::platform().verifier.clear();
  // Each kernel call would add a line: the cost measured is the driver's and the platform's, not the trace's.
  sim::platform().trace.enabled = false;
  pnp_.loadDriver(DriverEntry, KX_POOL_TAG);
  bridge_ = &pnp_.plug(sim::BridgeSetup::standard());
  if (NT_SUCCESS(pnp_.addDevice(*bridge_))) started_ = pnp_.start(*bridge_);
  bridge_->urbCompletion = completion;
  bridge_->bulk = {sim::BulkMode::Discard, sim::BulkMode::Discard};
  file_.emplace(sim::UserFile::open(u"\\DosDevices\\Harlen0"));
}

OpenedBridge::~OpenedBridge() {
  file_.reset();
  sim::platform().reset();
  sim::platform().trace.enabled = true;
}

bool OpenedBridge::ready() const {
  return NT_SUCCESS(started_) && file_->isOpen() && sim::platform().verifier.violations().empty();
}

const USBD_PIPE_INFORMATION *OpenedBridge::pipe(UCHAR endpoint) const {
  PKxDeviceExtension extension = KxExtension(pnp_.functionDevice(*bridge_));
  for (UCHAR i = 0; i < extension->NumberOfEndpoints; ++i)
    if (extension->PipeInfo[i].EndpointAddress == endpoint) return &extension->PipeInfo[i];
  return nullptr;
}

const USBD_PIPE_INFORMATION *OpenedBridge::pipe(USBD_PIPE_HANDLE handle) const {
  PKxDeviceExtension extension = KxExtension(pnp_.functionDevice(*bridge_));
  for (UCHAR i = 0; i < extension->NumberOfEndpoints; ++i)
    if (extension->PipeInfo[i].PipeHandle == handle) return &extension->PipeInfo[i];
  return nullptr;
}
