// The loopback and pattern model that `verify` checks reads against, fed as
// the bus log feeds it: chunk by chunk, asked and moved.
#include <gtest/gtest.h>

#include "transfer_model.h"

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> list) { return std::vector<uint8_t>(list.begin(), list.end()); }

struct ReadCase {
  const char *what;
  HarlenBusMode mode;
  std::vector<uint8_t> stream;  // what loopback writes left in the stream
  std::vector<uint8_t> read;
  std::vector<ChunkRecord> chunks;
  uint64_t patternStart;
  std::string source;
  uint64_t compared;
  std::optional<uint64_t> mismatch;
  size_t streamLeft;
};

TEST(TransferModel, ReadsAreComparedWithTheirSourceChunkByChunk) {
  const ReadCase cases[] = {
      {"loopback, all there", HarlenLoopback, bytes({1, 2, 3}), bytes({1, 2, 3}), {{3, 3}}, 0, "the loopback stream", 3, {}, 0},
      {"loopback, a byte differs", HarlenLoopback, bytes({1, 2, 3}), bytes({1, 9, 3}), {{3, 3}}, 0, "the loopback stream", 3, 1, 0},
      {"loopback, more read than written", HarlenLoopback, bytes({1}), bytes({1, 0}), {{2, 2}}, 0, "the loopback stream", 2, 1, 0},
      {"loopback, a short chunk leaves the rest", HarlenLoopback, bytes({1, 2, 3}), bytes({1, 0, 0}), {{3, 1}}, 0, "the loopback stream", 1, {}, 2},
      // The second chunk starts at its asked offset in the buffer, not after the bytes moved.
      {"loopback, two chunks, first short", HarlenLoopback, bytes({1, 2, 3}), bytes({1, 0, 2, 3}), {{2, 1}, {2, 2}}, 0, "the loopback stream", 3, {}, 0},
      {"pattern from the pipe's offset", HarlenPattern, {}, bytes({250, 0, 1}), {{3, 3}}, 250, "the pattern", 3, {}, 0},
      {"pattern after a short chunk continues from the bytes moved", HarlenShort, {}, bytes({5, 0, 6}), {{2, 1}, {1, 1}}, 5, "the pattern", 2, {}, 0},
      {"pattern, wrong offset", HarlenPattern, {}, bytes({0, 1}), {{2, 2}}, 1, "the pattern", 2, 0, 0},
      {"hold gives nothing to compare", HarlenHold, bytes({1}), bytes({0}), {{1, 0}}, 0, "", 0, {}, 1},
  };
  for (const ReadCase &c : cases) {
    std::deque<uint8_t> stream(c.stream.begin(), c.stream.end());
    ReadCheck check = settleRead(c.read, c.chunks, c.mode, c.patternStart, stream);
    EXPECT_EQ(check.source, c.source) << c.what;
    EXPECT_EQ(check.compared, c.compared) << c.what;
    EXPECT_EQ(check.mismatch, c.mismatch) << c.what;
    EXPECT_EQ(stream.size(), c.streamLeft) << c.what;
  }
}

TEST(TransferModel, LoopbackWritesFeedTheStreamWithWhatEachChunkMoved) {
  const struct {
    const char *what;
    HarlenBusMode mode;
    std::vector<ChunkRecord> chunks;
    std::vector<uint8_t> stream;
  } cases[] = {
      {"whole", HarlenLoopback, {{2, 2}, {2, 2}}, bytes({1, 2, 3, 4})},
      {"first chunk short", HarlenLoopback, {{2, 1}, {2, 2}}, bytes({1, 3, 4})},
      {"cancelled second chunk", HarlenLoopback, {{2, 2}, {2, 0}}, bytes({1, 2})},
      {"pattern writes are discarded", HarlenPattern, {{4, 4}}, {}},
  };
  for (const auto &c : cases) {
    std::deque<uint8_t> stream;
    settleWrite(bytes({1, 2, 3, 4}), c.chunks, c.mode, stream);
    EXPECT_EQ(std::vector<uint8_t>(stream.begin(), stream.end()), c.stream) << c.what;
  }
}

TEST(TransferModel, PatternIsTheStreamOffsetModulo251) {
  std::vector<uint8_t> filled(4);
  fillPattern(filled, 249);
  EXPECT_EQ(filled, bytes({249, 250, 0, 1}));
}

}  // namespace
