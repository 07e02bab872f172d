// A read or write that a scenario sends through a user handle, as the runner
// follows it: its buffer, the bus records of its chunks, and, once it has
// completed, whether the bytes it read are those its source gave.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/sim.h"

// What the last completed read on a bridge brought, checked against its source.
struct ReadCheck {
  std::string source;  // "the loopback stream", "the pattern"; empty when the bus gave no data to compare
  uint64_t compared = 0;
  std::optional<uint64_t> mismatch;  // the buffer offset of the first byte that differs
};

struct UserTransfer {
  UCHAR major;
  std::vector<UCHAR> buffer;
  sim::BulkMode mode;         // the bus's mode for this direction when sent
  uint64_t patternStart = 0;  // the pipe's stream offset when sent
  size_t firstRecord = 0;     // the bridge's URB records of its chunks: [firstRecord, endRecord)
  size_t endRecord = 0;
  std::shared_ptr<sim::UserRequest> request;
  bool reported = false;

  const char *verb() const { return major == IRP_MJ_READ ? "read" : "write"; }
  // "64 chunks of 131072 bytes", "2 chunks: 1 of 131072 bytes, 1 of 1 bytes", "no chunk".
  std::string chunkSummary(const sim::UsbBridge &bridge) const;
  // Once completed: a loopback write's bytes join the stream; a read takes its
  // bytes from the stream or the pattern and is compared with them. The
  // buffer is released.
  void settle(const sim::UsbBridge &bridge, std::deque<UCHAR> &loopback, ReadCheck &check);
};

// The pattern at each pipe stream offset, as the bus makes and expects it.
void fillPattern(std::vector<UCHAR> &bytes, uint64_t streamOffset);
