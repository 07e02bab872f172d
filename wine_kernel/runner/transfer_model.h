// What the runner expects a read to bring, from the bus's own record of each
// chunk: loopback writes feed the bridge's one stream and reads take from it;
// pattern reads carry byte (offset mod 251) of the IN pipe's stream. The same
// model as the host runner's, fed by the bus log instead of the simulator.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "../bus_control.h"

// One bulk URB of a request, in the order the driver sent them.
struct ChunkRecord {
  uint32_t asked = 0;  // the URB's transfer buffer length
  uint32_t moved = 0;  // the bytes the bus moved, as completed
};

// What the last completed read on a bridge brought, checked against its source.
struct ReadCheck {
  std::string source;  // "the loopback stream", "the pattern"; empty when the mode gives nothing to compare
  uint64_t compared = 0;
  std::optional<uint64_t> mismatch;  // the buffer offset of the first byte that differs
};

uint8_t patternByte(uint64_t streamOffset);
void fillPattern(std::vector<uint8_t> &bytes, uint64_t streamOffset);

// A completed write: in loopback mode the bytes each chunk moved join the stream.
void settleWrite(const std::vector<uint8_t> &buffer, const std::vector<ChunkRecord> &chunks, HarlenBusMode mode,
                 std::deque<uint8_t> &loopback);
// A completed read: each chunk's bytes are compared with the stream (taking
// them from it) or with the pattern from the pipe's offset when it was sent.
ReadCheck settleRead(const std::vector<uint8_t> &buffer, const std::vector<ChunkRecord> &chunks, HarlenBusMode mode,
                     uint64_t patternStart, std::deque<uint8_t> &loopback);
