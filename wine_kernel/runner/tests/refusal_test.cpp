// The host runner's lines that Wine's kernel cannot carry out are refused
// with their reason, before anything runs; the lines it can carry out are not.
#include <gtest/gtest.h>

#include "wine_scenario.h"

namespace {

TEST(Refusal, LinesWineCannotCarryOutNameTheirReason) {
  const struct {
    const char *line;
    const char *reason;  // empty: the line runs
  } cases[] = {
      {"sleep disk", "Wine sends drivers no power requests"},
      {"power disk set device D3", "Wine sends drivers no power requests"},
      {"cancel-wait-wake disk", "Wine sends drivers no power requests"},
      {"query-stop disk", "Wine's PnP manager never stops a device"},
      {"query-remove disk", "Wine's PnP manager removes a device without asking its stack first"},
      {"kernel legacy", "the kernel is Wine's NT kernel; no legacy kernel can be chosen"},
      {"legacy-tree", "the legacy kernel's device tree exists only on the simulated machine"},
      {"fail-next-alloc", "Wine's pool and IRP allocations cannot be made to fail"},
      {"unload", "Wine unloads a driver only when its last device has gone"},
      {"  control disk type=A1 request=FE length=1",
       "its record carries a pointer into the caller's address space, which the driver host, another process, "
       "cannot reach"},
      {"start disk", ""},
      {"remove disk", ""},
      {"surprise-removal disk", ""},
      {"ioctl disk control-request in=00", ""},
      {"# sleep disk", ""},
      {"", ""},
  };
  for (const auto &c : cases) {
    std::string expected = *c.reason ? std::string("not on this kernel: ") + c.reason : "";
    EXPECT_EQ(WineScenario::refusal(c.line), expected) << c.line;
  }
}

}  // namespace
