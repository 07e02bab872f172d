// Scenario scripts: what each line does to the simulated machine, and how a
// script that cannot run is reported.
#include <gtest/gtest.h>

#include <sstream>

#include "scenario.h"

namespace {

bool runScript(Scenario &scenario, const std::string &text) {
  std::istringstream script(text);
  return scenario.run(script);
}

TEST(ScenarioTest, LifecycleLinesReachTheDriverInOrder) {
  Scenario scenario;
  ASSERT_TRUE(runScript(scenario,
                        "plug a vid=04a7 pid=1234 endpoints=81:bulk,02:bulk  # comment\n"
                        "\n"
                        "add a\n"
                        "start a\n"
                        "expect STATUS_SUCCESS\n"
                        "query-remove a\n"
                        "cancel-remove a\n"
                        "remove a\n"))
      << scenario.error();
  auto &p = sim::platform();
  EXPECT_TRUE(p.trace.contains("pnp", "plugged (VID_04A7 PID_1234)"));
  EXPECT_TRUE(p.trace.contains("usb", "-> URB SELECT_CONFIGURATION"));
  EXPECT_TRUE(p.trace.contains("pnp", "<- IRP_MN_CANCEL_REMOVE_DEVICE: STATUS_SUCCESS"));
  EXPECT_EQ(p.bridges.front()->pdo()->AttachedDevice, nullptr);
  EXPECT_TRUE(p.verifier.violations().empty());
}

TEST(ScenarioTest, RawDescriptorSetReachesTheBridge) {
  Scenario scenario;
  // A configuration head that claims more than the bridge returns.
  ASSERT_TRUE(runScript(scenario,
                        "plug a set=09 02 40 00 01 01 00 80 32\n"
                        "add a\n"
                        "start a\n"
                        "expect STATUS_DEVICE_DATA_ERROR\n"))
      << scenario.error();
  EXPECT_EQ(sim::platform().bridges.front()->setup().configSet.size(), 9u);
}

TEST(ScenarioTest, FailedExpectationNamesTheLineAndBothStatuses) {
  Scenario scenario;
  EXPECT_FALSE(runScript(scenario, "plug a\nadd a\nfail-next-usb a\nstart a\nexpect STATUS_SUCCESS\nremove a\n"));
  EXPECT_EQ(scenario.error(), "line 5: expected STATUS_SUCCESS, got STATUS_UNSUCCESSFUL");
}

TEST(ScenarioTest, FailedStartIsFollowedByTheRemovalWindowsSends) {
  Scenario scenario;
  ASSERT_TRUE(runScript(scenario, "plug a\nadd a\nfail-next-usb a\nstart a\nexpect STATUS_UNSUCCESSFUL\n"))
      << scenario.error();
  auto &p = sim::platform();
  EXPECT_TRUE(p.trace.contains("pnp", "<- IRP_MN_REMOVE_DEVICE: STATUS_SUCCESS"));
  EXPECT_EQ(p.bridges.front()->pdo()->AttachedDevice, nullptr);
  EXPECT_TRUE(p.verifier.violations().empty());
}

TEST(ScenarioTest, FailNextAllocHitsTheNextAllocation) {
  Scenario scenario;
  EXPECT_TRUE(runScript(scenario, "plug a\nfail-next-alloc\nadd a\n")) << scenario.error();
  // The first name could not be created; the driver took the next digit.
  EXPECT_TRUE(sim::platform().deviceNames.count(u"\\Device\\Harlen1"));
}

TEST(ScenarioTest, LinesThatCannotRunAreRefused) {
  const char *bad[] = {"start nobody", "plug", "plug a vid=xyz", "plug a endpoints=81:iso", "plug a set=0",
                       "jump a",       "expect"};
  for (const char *line : bad) {
    Scenario scenario;
    EXPECT_FALSE(scenario.runLine(line)) << line;
    EXPECT_FALSE(scenario.error().empty()) << line;
  }
  Scenario twice;
  EXPECT_TRUE(twice.runLine("plug a"));
  EXPECT_FALSE(twice.runLine("plug a"));
}

}  // namespace
