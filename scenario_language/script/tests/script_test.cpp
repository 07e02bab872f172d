// The words and arguments of scenario lines that both runners share.
#include <gtest/gtest.h>

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

}  // namespace
