// The bus's state for bulk and interrupt pipes: each pipe's queue of held
// transfers, its halt, its stream position, and the bridge's loopback stream.
#pragma once

#include <deque>
#include <optional>
#include <vector>

#include "sim/usb_bridge.h"

namespace sim {

// Bytes in arrival order, kept as the chunks they were written in, so that
// streams of tens of MiB cost one copy in and one copy out.
class ByteStream {
 public:
  void write(const uint8_t *data, size_t size);
  // Takes up to size bytes from the front; returns how many.
  size_t read(uint8_t *data, size_t size);
  size_t size() const { return size_; }

 private:
  std::deque<std::vector<uint8_t>> chunks_;
  size_t frontTaken_ = 0;  // bytes of the first chunk already read
  size_t size_ = 0;
};

struct Transfer {
  PIRP irp;
  _URB_BULK_OR_INTERRUPT_TRANSFER *urb;
  size_t record;       // index in the bridge's records
  bool armed = false;  // held with the bus's cancel routine set
};

struct Pipe {
  Pipe(const EndpointSetup &endpoint, unsigned id) : endpoint(endpoint), id(id) {}
  bool in() const { return (endpoint.address & 0x80) != 0; }

  EndpointSetup endpoint;
  unsigned id;  // deferred work finds its pipe by this, never by a pointer that may be gone
  std::deque<Transfer> queue;
  bool halted = false;
  uint64_t offset = 0;
  std::optional<uint64_t> firstMismatch;
  size_t scheduled = 0;  // deferred completions queued and not yet run
};

}  // namespace sim
