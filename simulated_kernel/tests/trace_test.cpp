// The trace: a line kept and echoed as made while it is on, and its text never
// formatted while it is off.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "sim/sim.h"

namespace {

using sim::platform;

struct TraceCase {
  const char *name;
  bool enabled;
  std::vector<std::string> echoed;  // the categories echoed, all when empty
  const char *kept;                 // the lines kept, as render() shows them
  const char *printed;              // what the echo printed
  unsigned formatted;               // texts made by the formatting routine
};

class TraceTest : public ::testing::TestWithParam<TraceCase> {
 protected:
  void SetUp() override { platform().reset(); }
  void TearDown() override {
    platform().trace.echoTo(nullptr, {});
    platform().trace.enabled = true;
    platform().reset();
  }
};

TEST_P(TraceTest, LinesAreMadeOnlyWhileOn) {
  auto &trace = platform().trace;
  trace.enabled = GetParam().enabled;
  char *printed = nullptr;
  size_t size = 0;
  FILE *out = open_memstream(&printed, &size);
  trace.echoTo(out, GetParam().echoed);
  unsigned formatted = 0;
  const int irp = 7;
  trace.add("io", [&] {
    ++formatted;
    return "IoFreeIrp(IRP#" + std::to_string(irp) + ")";
  });
  trace.add("ke", "KeSetEvent");
  trace.addMade("user", "read 512 bytes");
  fclose(out);
  EXPECT_EQ(trace.render(), GetParam().kept);
  EXPECT_STREQ(printed, GetParam().printed);
  EXPECT_EQ(formatted, GetParam().formatted);
  free(printed);
}

const char kAllLines[] = "[io] IoFreeIrp(IRP#7)\n[ke] KeSetEvent\n[user] read 512 bytes\n";
const TraceCase kTraceCases[] = {
    {"OnEchoingOneCategory", true, {"io"}, kAllLines, "[io   ] IoFreeIrp(IRP#7)\n", 1},
    {"OnEchoingAll", true, {}, kAllLines,
     "[io   ] IoFreeIrp(IRP#7)\n[ke   ] KeSetEvent\n[user ] read 512 bytes\n", 1},
    {"Off", false, {}, "", "", 0},
};
INSTANTIATE_TEST_SUITE_P(Trace, TraceTest, ::testing::ValuesIn(kTraceCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
