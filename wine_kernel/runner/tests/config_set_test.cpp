// The plug line's endpoint list, the set the bridge reports, and the pipes a
// read or write goes to.
#include <gtest/gtest.h>

#include "config_set.h"

namespace {

TEST(ConfigSet, EndpointListsBecomeSetsWhosePipesComeBackInOrder) {
  const struct {
    const char *list;
    std::vector<std::pair<int, int>> pipes;  // address, attributes
    int bulkIn, bulkOut;
  } cases[] = {
      {"81:bulk,02:bulk", {{0x81, 2}, {0x02, 2}}, 0x81, 0x02},
      {"02:bulk,81:bulk", {{0x02, 2}, {0x81, 2}}, 0x81, 0x02},
      {"83:interrupt,81:bulk,02:bulk", {{0x83, 3}, {0x81, 2}, {0x02, 2}}, 0x81, 0x02},
      {"81:bulk,84:06", {{0x81, 2}, {0x84, 6}}, 0x81, 0},  // attributes 6: bulk with extra bits
      {"83:interrupt", {{0x83, 3}}, 0, 0},
  };
  for (const auto &c : cases) {
    std::vector<Endpoint> endpoints;
    ASSERT_TRUE(parseEndpointList(c.list, endpoints)) << c.list;
    std::vector<Endpoint> pipes = pipesOf(configSetWith(endpoints));
    ASSERT_EQ(pipes.size(), c.pipes.size()) << c.list;
    for (size_t i = 0; i < pipes.size(); ++i) {
      EXPECT_EQ(pipes[i].address, c.pipes[i].first) << c.list;
      EXPECT_EQ(pipes[i].attributes, c.pipes[i].second) << c.list;
    }
    EXPECT_EQ(bulkEndpoint(pipes, true), c.bulkIn) << c.list;
    EXPECT_EQ(bulkEndpoint(pipes, false), c.bulkOut) << c.list;
  }
}

TEST(ConfigSet, TheStandardSetIsTheSimulatedBridges) {
  const std::vector<uint8_t> expected = {9, 2, 32, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 2, 0xFF, 0, 0, 0,
                                         7, 5, 0x81, 2, 64, 0, 0,    7, 5, 0x02, 2, 64, 0, 0};
  EXPECT_EQ(configSetWith({{0x81, 2}, {0x02, 2}}), expected);
}

TEST(ConfigSet, MalformedSetsGiveOnlyWholeClaimedEndpoints) {
  std::vector<uint8_t> set = configSetWith({{0x81, 2}, {0x02, 2}});
  std::vector<uint8_t> cut(set.begin(), set.end() - 3);
  EXPECT_EQ(pipesOf(cut).size(), 1u) << "an endpoint descriptor cut short is no pipe";
  std::vector<uint8_t> overclaimed = configSetWith({{0x81, 2}});
  overclaimed[13] = 4;
  EXPECT_EQ(pipesOf(overclaimed).size(), 1u) << "an interface claiming more endpoints than follow it";
  std::vector<uint8_t> underclaimed = set;
  underclaimed[13] = 1;
  EXPECT_EQ(pipesOf(underclaimed).size(), 1u) << "endpoints past the claimed count are not selected";
  EXPECT_EQ(pipeIndex(pipesOf(set), 0x02), 1);
  EXPECT_EQ(pipeIndex(pipesOf(set), 0x83), -1);
}

}  // namespace
