// A started bridge with a user handle open on it, as every benchmark wants
// it: the simulator's trace off, the bus taking and giving every byte without
// touching it.
#pragma once

#include <optional>

#include "harlen.h"
#include "sim/sim.h"

constexpr UCHAR kBulkIn = 0x81;

class OpenedBridge {
 public:
  explicit OpenedBridge(sim::Completion completion);
  ~OpenedBridge();
  OpenedBridge(const OpenedBridge &) = delete;
  OpenedBridge &operator=(const OpenedBridge &) = delete;

  // Started and opened, and the verifier has found nothing so far.
  bool ready() const;
  sim::UsbBridge &bridge() { return *bridge_; }
  sim::UserFile &file() { return *file_; }
  // The pipe the bus configured for this endpoint, as the driver holds it.
  const USBD_PIPE_INFORMATION *pipe(UCHAR endpoint) const;
  const USBD_PIPE_INFORMATION *pipe(USBD_PIPE_HANDLE handle) const;

 private:
  sim::PnpManager pnp_;
  sim::UsbBridge *bridge_ = nullptr;
  NTSTATUS started_ = STATUS_UNSUCCESSFUL;
  std::optional<sim::UserFile> file_;
};
