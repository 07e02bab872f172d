// The link's messages: a request names its code, the output room and every
// input byte in order; an answer is the host's bytes, or its error, and
// anything garbled is refused rather than read as an empty success.
#include <gtest/gtest.h>

#include "bus_link.h"

namespace {

TEST(BusLink, RequestCarriesCodeRoomAndInputBytes) {
  const uint8_t input[] = {0x01, 0xAB, 0x00, 0xFF};
  EXPECT_EQ(encodeRequest(0x00222400, input, sizeof input, 8), "bus 00222400 8 01AB00FF");
  EXPECT_EQ(encodeRequest(0x0022241C, nullptr, 0, 0), "bus 0022241C 0 ");
}

TEST(BusLink, AnswersDecodeOrAreRefused) {
  const struct {
    const char *line;
    bool ok;
    std::vector<uint8_t> bytes;
    DWORD error;
  } cases[] = {
      {"ok 0102fE", true, {0x01, 0x02, 0xFE}, 0},
      {"ok", true, {}, 0},
      {"error 50", false, {}, 50},
      {"error", false, {}, ERROR_INVALID_DATA},
      {"error 0", false, {}, ERROR_INVALID_DATA},
      {"ok 123", false, {}, ERROR_INVALID_DATA},
      {"ok 0G", false, {}, ERROR_INVALID_DATA},
      {"out step plug disk", false, {}, ERROR_INVALID_DATA},
  };
  for (const auto &c : cases) {
    std::vector<uint8_t> bytes{0x55};
    DWORD error = 12345;
    EXPECT_EQ(decodeAnswer(c.line, bytes, error), c.ok) << c.line;
    EXPECT_EQ(error, c.error) << c.line;
    if (c.ok) {
      EXPECT_EQ(bytes, c.bytes) << c.line;
    }
  }
}

}  // namespace
