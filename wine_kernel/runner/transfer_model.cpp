#include "transfer_model.h"

namespace {
constexpr uint64_t kPatternPeriod = 251;
}

uint8_t patternByte(uint64_t streamOffset) { return static_cast<uint8_t>(streamOffset % kPatternPeriod); }

void fillPattern(std::vector<uint8_t> &bytes, uint64_t streamOffset) {
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = patternByte(streamOffset + i);
}

void settleWrite(const std::vector<uint8_t> &buffer, const std::vector<ChunkRecord> &chunks, HarlenBusMode mode,
                 std::deque<uint8_t> &loopback) {
  if (mode != HarlenLoopback) return;
  uint64_t offset = 0;
  for (const ChunkRecord &chunk : chunks) {
    if (offset + chunk.moved > buffer.size()) break;  // a record the buffer cannot hold is no chunk of it
    loopback.insert(loopback.end(), buffer.begin() + offset, buffer.begin() + offset + chunk.moved);
    offset += chunk.asked;
  }
}

ReadCheck settleRead(const std::vector<uint8_t> &buffer, const std::vector<ChunkRecord> &chunks, HarlenBusMode mode,
                     uint64_t patternStart, std::deque<uint8_t> &loopback) {
  bool loops = mode == HarlenLoopback;
  bool patterned = mode == HarlenPattern || mode == HarlenShort;
  ReadCheck check;
  check.source = loops ? "the loopback stream" : patterned ? "the pattern" : "";
  if (check.source.empty()) return check;
  uint64_t offset = 0, streamOffset = patternStart;
  for (const ChunkRecord &chunk : chunks) {
    for (uint32_t i = 0; i < chunk.moved && offset + i < buffer.size(); ++i, ++check.compared) {
      uint8_t got = buffer[offset + i];
      // The bus moves no more than the stream holds: an empty model is a mismatch too.
      bool same = loops ? !loopback.empty() && loopback.front() == got : patternByte(streamOffset + i) == got;
      if (loops && !loopback.empty()) loopback.pop_front();
      if (!same && !check.mismatch) check.mismatch = offset + i;
    }
    offset += chunk.asked;
    streamOffset += chunk.moved;
  }
  return check;
}
