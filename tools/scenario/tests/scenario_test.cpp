// Scenario scripts: what each line does to the simulated machine, and how a
// script that cannot run is reported.
#include <gtest/gtest.h>

#include <sstream>

#include "scenario.h"
#include "sim/legacy_kernel.h"
#include "transcript.h"

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

// A started bridge with a handle open on it.
const char *const kOpened = "plug a\nadd a\nstart a\nopen a\n";

struct TransferCase {
  const char *what;
  const char *script;  // after kOpened
  const char *category;
  const char *line;  // a line the trace must hold
};

// Each case's script runs on an opened bridge and leaves its line in the trace, with no finding.
template <size_t N>
void expectTraced(const TransferCase (&cases)[N]) {
  for (const TransferCase &c : cases) {
    SCOPED_TRACE(c.what);
    Scenario scenario;
    ASSERT_TRUE(runScript(scenario, std::string(kOpened) + c.script)) << scenario.error();
    EXPECT_TRUE(sim::platform().trace.contains(c.category, c.line)) << sim::platform().trace.render({c.category});
    EXPECT_TRUE(sim::platform().verifier.violations().empty());
  }
}

TEST(ScenarioTest, TransferLinesReachTheDriverAndReportHowRequestsEnded) {
  const TransferCase cases[] = {
      // The second chunk's byte must come from the stream right after the first chunk's.
      {"loopback across a chunk boundary", "write a 131073\nread a 131073 unmapped\nverify a\n", "user",
       "verify: the 131073 bytes last read on a equal the loopback stream"},
      // Short chunks land at their own chunk's offset, not one after the other.
      {"short chunks",
       "bulk a reads=short short=100\nread a 256K\nexpect-request a STATUS_SUCCESS information=200\nverify a\n", "user",
       "verify: the 200 bytes last read on a equal the pattern"},
      {"a held read ends with the IN abort", "bulk a reads=hold\nread a 256K\nexpect STATUS_PENDING\nabort a 1\n",
       "user", "<- read on a: STATUS_CANCELLED, information 0"},
      {"the chunk completed before the abort counts",
       "completion a manual\nbulk a reads=pattern\nread a 384K\ncomplete a 81\nabort a 3\n", "user",
       "<- read on a: STATUS_CANCELLED, information 131072"},
      {"an unplugged bridge fails the transfer in flight", "completion a manual\nwrite a 256K zeros\nunplug a\n", "usb",
       "<- BULK_OR_INTERRUPT_TRANSFER pipe 0x02: USBD_STATUS_DEVICE_GONE, 0 bytes"},
      // Two writes join the stream in order: zeros, then the pattern.
      {"the stream keeps the writes' order", "write a 1K zeros\nwrite a 1K\nread a 2K\nverify a\n", "user",
       "verify: the 2048 bytes last read on a equal the loopback stream"},
      {"deferred completions end the request before the next line",
       "completion a deferred\nbulk a reads=pattern\nread a 200K\nexpect STATUS_SUCCESS\n", "user",
       "<- read on a: STATUS_SUCCESS, information 204800"},
      {"connected and disabled: the port is reset", "port-reset a status=2\nexpect STATUS_SUCCESS\n", "usb",
       "-> reset port"},
      {"clear-stall names the endpoint", "clear-stall a 81\n", "usb",
       "CLEAR_FEATURE_TO_ENDPOINT: feature 0, index 0x81"},
  };
  expectTraced(cases);
}

struct RefusedCase {
  const char *script;  // after kOpened; its last line is refused
  const char *error;   // the start of the error
};

template <size_t N>
void expectRefused(const RefusedCase (&cases)[N]) {
  for (const RefusedCase &c : cases) {
    SCOPED_TRACE(c.script);
    Scenario scenario;
    EXPECT_FALSE(runScript(scenario, std::string(kOpened) + c.script));
    EXPECT_NE(scenario.error().find(c.error), std::string::npos) << scenario.error();
  }
}

TEST(ScenarioTest, TransferLinesThatCannotRunSayWhy) {
  const RefusedCase cases[] = {
      {"read a", "read needs a length"},
      {"read a 8X", "read needs a length"},
      {"write a 4096M", "write needs a length"},
      {"read a 65M", "read: at most 64M"},
      {"read a 1K zeros", "read: cannot use zeros"},
      {"bulk a reads=sideways", "bulk: cannot use reads=sideways"},
      {"bulk a", "bulk needs"},
      {"completion a later", "completion wants"},
      {"complete a 81", "complete: no transfer on pipe 81"},
      {"bulk a reads=hold\nread a 1K\ncomplete a 81 all", "complete: no transfer on pipe 81"},
      {"abort a in", "abort needs a selector"},
      {"port-reset a status=zz", "port-reset: cannot use status=zz"},
      {"verify a", "verify: no read on a has completed"},
      {"bulk a reads=discard\nread a 1M\nverify a", "verify: the bus gave the last read on a no data to compare"},
      {"read a 1K\nverify a", "verify: the last read on a moved no byte"},
      {"read a 1K\nexpect-request a STATUS_SUCCESS information=1K", "expected information 1024"},
      {"open a", "open: a handle on a is open already"},
      {"close a\nread a 1K", "read: no handle on a is open"},
  };
  expectRefused(cases);
}

TEST(ScenarioTest, DeviceControlAndPowerLinesReachTheDriver) {
  const TransferCase cases[] = {
      {"the descriptor comes back whole", "ioctl a get-descriptor out=18\nexpect STATUS_SUCCESS information=18\n",
       "user", "output: 12 01 10 01 00 00 00 40 90 05 02 00 00 01 00 00 00 01"},
      // The input continues over the words after in=: value 0, then the count 2.
      {"a vendor read returns the bridge's answer",
       "vendor a vendor4=BEEF\nioctl a vendor-read in=0000 0000 02000000 out=2\nexpect STATUS_SUCCESS information=2\n",
       "user", "output: BE EF"},
      {"a hexadecimal code is the named one", "ioctl a 80002004 in=04000000\nexpect STATUS_INVALID_PARAMETER\n", "user",
       "<- DEVICE_CONTROL abort-pipe on a: STATUS_INVALID_PARAMETER, information 0"},
      {"the device's answer lands in the caller's buffer",
       "vendor a maxlun=1\ncontrol a type=A1 request=FE length=1\nexpect STATUS_SUCCESS\n", "user",
       "the caller's buffer: 01"},
      {"a 32-bit caller's record is 12 bytes",
       "close a\nopen a 32-bit\ncontrol a type=A1 request=FE length=1\nexpect STATUS_SUCCESS\n", "user",
       "control-request on a: input 12 bytes"},
      {"the data stage's bytes reach the device", "control a type=40 request=04 index=2 data=01 02 0304\n", "usb",
       "-> VENDOR_DEVICE OUT request 0x04: value 0x0000, index 0x0002, 4 bytes"},
      {"a read-only buffer cannot take an IN data stage",
       "control a type=C0 request=04 length=2 buffer=readonly\nexpect STATUS_INVALID_USER_BUFFER\n", "user",
       "<- DEVICE_CONTROL control-request on a: STATUS_INVALID_USER_BUFFER"},
      {"a sleep ends in D3, a wake in D0", "sleep a\nexpect STATUS_SUCCESS\nwake a\nexpect STATUS_SUCCESS\n", "pnp",
       "<- IRP_MN_SET_POWER D0: STATUS_SUCCESS"},
      {"one power request", "power a query device D2\nexpect STATUS_SUCCESS\n", "pnp", "-> IRP_MN_QUERY_POWER D2"},
      {"a held wait-wake ends when cancelled",
       "wait-wake a\nexpect STATUS_PENDING\ncancel-wait-wake a\nexpect STATUS_CANCELLED\n", "pnp",
       "<- IRP_MN_WAIT_WAKE: STATUS_CANCELLED"},
      {"Windows 98 stops a device whose start failed",
       "pnp-order windows98\nplug b\nadd b\nfail-next-usb b\nstart b\nexpect STATUS_UNSUCCESSFUL\n", "pnp",
       "-> IRP_MN_STOP_DEVICE"},
  };
  expectTraced(cases);
}

size_t callsOf(const std::string &service) {
  size_t count = 0;
  for (const auto &call : sim::legacy::calls()) count += call.service == service;
  return count;
}

TEST(ScenarioTest, LegacyKernelLinesMakeAndRemoveTheChildNode) {
  const struct {
    const char *what;
    const char *vendor;  // the bridge's answers, before its start
    bool node;
    size_t removalQueries;  // with two vetoes
  } cases[] = {
      {"the default answers", "", true, 3},
      {"a first answer below the known revisions", "vendor a fffc=4\n", false, 0},
      {"a stalled first question", "vendor a stall=fffc\n", false, 0},
  };
  const std::string id = "USB\\VID_0590&PID_0002_0";
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Scenario scenario;
    std::string script = std::string("kernel legacy\nplug a\n") + c.vendor + "add a\nstart a\nlegacy-tree\n";
    ASSERT_TRUE(runScript(scenario, script)) << scenario.error();
    EXPECT_EQ(sim::platform().trace.contains("cm", "  0x00000002 " + id), c.node);
    EXPECT_EQ(sim::platform().trace.contains("cm", "Class = \"hdc\""), c.node);
    ASSERT_TRUE(runScript(scenario, "veto-removal 2\nremove a\nexpect STATUS_SUCCESS\n")) << scenario.error();
    EXPECT_EQ(callsOf("CONFIGMG_Query_Remove_SubTree"), c.removalQueries);
    EXPECT_FALSE(sim::legacy::nodeWithId(id));
    EXPECT_TRUE(sim::platform().verifier.violations().empty());
  }
}

TEST(ScenarioTest, DeviceControlPowerAndMachineLinesThatCannotRunSayWhy) {
  const RefusedCase cases[] = {
      {"ioctl a", "ioctl needs a code"},
      {"ioctl a get-descriptor out=x", "ioctl: cannot use out=x"},
      {"ioctl a get-descriptor in=0", "ioctl: cannot use in=0"},
      {"ioctl a get-descriptor in=+1", "ioctl: cannot use in=+1"},
      {"ioctl a 80002003", "ioctl: 0x80002003 is not a METHOD_BUFFERED code"},
      {"close a\nioctl a get-descriptor", "ioctl: no handle on a is open"},
      {"control a request=FE length=1", "control needs type=HEX"},
      {"control a type=1A1 request=FE", "control: cannot use type=1A1"},
      {"control a type=A1 request=FE length=1 data=0102", "control needs"},
      {"control a type=40 request=04 data=01 buffer=bad", "control needs"},
      {"control a type=40 request=04 buffer=elsewhere", "control: cannot use buffer=elsewhere"},
      {"open a 16-bit", "open: cannot use 16-bit"},
      {"power a set device S3", "power wants"},
      {"power a hold system S3", "power wants"},
      {"sleep a now", "sleep takes a bridge name only"},
      {"kernel legacy", "kernel: the kernel is chosen before the first bridge is plugged"},
      {"kernel win95", "kernel wants legacy or nt"},
      {"pnp-order xp", "pnp-order wants"},
      {"veto-removal many", "veto-removal needs a count"},
      {"vendor a", "vendor needs"},
      {"vendor a stall=everything", "vendor: cannot use stall=everything"},
      {"vendor a fffc=10000", "vendor: cannot use fffc=10000"},
      {"legacy-tree a", "legacy-tree takes no argument"},
      {"expect STATUS_SUCCESS information=0", "expect: the previous step reports no information"},
      {"ioctl a get-descriptor out=18\nexpect STATUS_SUCCESS information=12", "expected information 12, got 18"},
      {"expect STATUS_SUCCESS later", "expect: cannot use later"},
  };
  expectRefused(cases);
}

TEST(ScenarioTest, ARunOfBulkLinesIsSummedUpPerPipe) {
  std::vector<sim::TraceLine> run;
  for (int i = 0; i < 3; ++i)
    run.push_back({"usb", "-> BULK_OR_INTERRUPT_TRANSFER pipe 0x81: 131072 bytes, flags 0x2"});
  run.push_back({"usb", "-> BULK_OR_INTERRUPT_TRANSFER pipe 0x81: 5 bytes, flags 0x2"});
  run.push_back({"usb", "<- BULK_OR_INTERRUPT_TRANSFER pipe 0x81: USBD_STATUS_SUCCESS, 131072 bytes, STATUS_SUCCESS"});
  for (int i = 0; i < 3; ++i)
    run.push_back({"usb", "<- BULK_OR_INTERRUPT_TRANSFER pipe 0x81: USBD_STATUS_CANCELED, 0 bytes, STATUS_CANCELLED"});
  std::vector<std::string> expected = {
      "-> 4 BULK_OR_INTERRUPT_TRANSFER URBs on pipe 0x81: 3 of 131072 bytes, 1 of 5 bytes",
      "<- 4 BULK_OR_INTERRUPT_TRANSFER URBs on pipe 0x81: 1 USBD_STATUS_SUCCESS, 3 USBD_STATUS_CANCELED; "
      "131072 bytes moved",
  };
  EXPECT_EQ(summariseBulkRun(run), expected);
}

struct EchoCase {
  const char *what;
  bool everything;
  std::vector<sim::TraceLine> made;
  std::vector<sim::TraceLine> printed;
};

TEST(ScenarioTest, TheTranscriptSumsUpLongBulkRunsAndShowsPauses) {
  const sim::TraceLine arrival{"usb", "-> BULK_OR_INTERRUPT_TRANSFER pipe 0x02: 512 bytes, flags 0x2"};
  const sim::TraceLine lock{"ke", "KeAcquireSpinLock, IRQL 0 -> 2"};
  const sim::TraceLine pause{"ke", "KeDelayExecutionThread(500 ms), clock at 500 ms"};
  const sim::TraceLine summary{"usb", "-> 5 BULK_OR_INTERRUPT_TRANSFER URBs on pipe 0x02: 5 of 512 bytes"};
  const EchoCase cases[] = {
      {"four lines are shown as they are, the spin lock left out",
       false,
       {arrival, lock, arrival, arrival, arrival},
       {arrival, arrival, arrival, arrival}},
      {"five are summed up; a pause is shown and ends the run",
       false,
       {arrival, arrival, arrival, arrival, arrival, pause, arrival},
       {summary, pause, arrival}},
      {"verbose shows every line",
       true,
       {arrival, arrival, arrival, arrival, arrival, lock},
       {arrival, arrival, arrival, arrival, arrival, lock}},
  };
  for (const EchoCase &c : cases) {
    SCOPED_TRACE(c.what);
    sim::platform().reset();
    for (const auto &line : c.made) sim::platform().trace.addMade(line.category, line.text);
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    Transcript(out, c.everything).flush();
    fclose(out);
    std::string printed(text, size), expected;
    free(text);
    for (const auto &line : c.printed)
      expected += "[" + line.category + std::string(5 - line.category.size(), ' ') + "] " + line.text + "\n";
    EXPECT_EQ(printed, expected);
  }
}

}  // namespace
