// The words and arguments of scenario lines that both runners share.
#include <gtest/gtest.h>

#include <sstream>

#include "script_args.h"
#include "script_words.h"

namespace {

TEST(ScriptWords, LengthsTakeDecimalAndBinarySuffixes) {
  const struct {
    const char *text;
    bool valid;
    uint32_t value;
  } cases[] = {{"131073", true, 131073}, {"128K", true, 131072}, {"8M", true, 8u << 20}, {"4095M", true, 4095u << 20},
               {"4096M", false, 0},      {"", false, 0},          {"M", false, 0},         {"12Q", false, 0}};
  for (const auto &c : cases) {
    uint32_t value = 0;
    EXPECT_EQ(parseLength(c.text, value), c.valid) << c.text;
    if (c.valid) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
}

TEST(ScriptArgs, BadEndpointListsAreRefused) {
  for (const char *list : {"", "81", "81:slow", "181:bulk", "81:100"}) {
    std::vector<Endpoint> endpoints;
    EXPECT_FALSE(parseEndpointList(list, endpoints)) << list;
  }
}

// The record the driver reads: setup fields little-endian, then the address as wide as the caller's pointers.
TEST(ScriptArgs, ControlLinesBecomeTheCallersRecord) {
  const struct {
    const char *words;
    size_t addressSize;
    std::vector<uint8_t> record;  // empty: the line is refused
  } cases[] = {
      {"type=A1 request=FE length=1", 4, {0xA1, 0xFE, 0, 0, 0, 0, 1, 0, 0x78, 0x56, 0x34, 0x12}},
      {"request=04 type=40 value=102 index=3 data=AA BB", 8,
       {0x40, 0x04, 0x02, 0x01, 0x03, 0, 2, 0, 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0}},
      {"type=C0 request=0C length=64K", 4, {}},                 // the setup packet's length is 16 bits
      {"type=40 request=04 length=1 data=0102", 4, {}},         // data longer than the stage
      {"type=40 request=04 data=01 buffer=readonly", 4, {}},    // data needs a buffer it can be written into
      {"type=A1 length=1", 4, {}},                              // no request
      {"type=A1 request=FE buffer=gone", 4, {}},
  };
  for (const auto &c : cases) {
    std::istringstream words(c.words);
    ControlLine line;
    std::string error;
    bool parsed = parseControlLine(words, line, error);
    EXPECT_EQ(parsed, !c.record.empty()) << c.words << ": " << error;
    if (parsed) {
      EXPECT_EQ(controlRecord(line, 0x12345678, c.addressSize), c.record) << c.words;
    }
  }
}

}  // namespace
