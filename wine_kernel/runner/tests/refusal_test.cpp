// The host runner's lines that the kernel cannot carry out are refused with
// their reason, before anything runs; the lines it can carry out are not. The
// general control request is refused on Wine only.
#include <gtest/gtest.h>

#include "wine_scenario.h"

namespace {

TEST(Refusal, LinesTheKernelCannotCarryOutNameTheirReason) {
  const char *const kOtherProcess =
      "its record carries a pointer into the caller's address space, which the driver host, another process, "
      "cannot reach";
  const struct {
    const char *line;
    bool onWine;
    const char *reason;  // empty: the line runs
  } cases[] = {
      {"sleep disk", true, "Wine sends drivers no power requests"},
      {"power disk set device D3", true, "Wine sends drivers no power requests"},
      {"cancel-wait-wake disk", true, "Wine sends drivers no power requests"},
      {"query-stop disk", true, "Wine's PnP manager never stops a device"},
      {"query-remove disk", true, "Wine's PnP manager removes a device without asking its stack first"},
      {"kernel legacy", true, "the kernel is Wine's NT kernel; no legacy kernel can be chosen"},
      {"legacy-tree", true, "the legacy kernel's device tree exists only on the simulated machine"},
      {"fail-next-alloc", true, "Wine's pool and IRP allocations cannot be made to fail"},
      {"unload", true, "Wine unloads a driver only when its last device has gone"},
      {"  control disk type=A1 request=FE length=1", true, kOtherProcess},
      // Where the driver runs in its caller's process, the caller's buffer is its to map.
      {"control disk type=A1 request=FE length=1", false, ""},
      // The runner still cannot send what no program can ask for.
      {"sleep disk", false, "Wine sends drivers no power requests"},
      {"start disk", true, ""},
      {"remove disk", true, ""},
      {"surprise-removal disk", true, ""},
      {"ioctl disk control-request in=00", true, ""},
      {"# sleep disk", true, ""},
      {"", true, ""},
  };
  for (const auto &c : cases) {
    std::string expected = *c.reason ? std::string("not on this kernel: ") + c.reason : "";
    EXPECT_EQ(WineScenario::refusal(c.line, c.onWine), expected) << c.line << (c.onWine ? " on Wine" : "");
  }
}

}  // namespace
