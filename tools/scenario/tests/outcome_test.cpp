// The outcome format: the bus records of real scenario runs as one line each,
// long runs of bulk transfers summed up per pipe, and the lines a step prints.
#include <gtest/gtest.h>

#include <sstream>

#include "outcome_writer.h"
#include "scenario.h"
#include "sim_wire.h"
#include "wire_text.h"

namespace {

const char *const kStarted = "plug a\nadd a\nstart a\nopen a\n";

// The records that reached the bus during the script's last line.
std::vector<HarlenWireRecord> lastStepRecords(Scenario &scenario, const std::string &script) {
  WireLog wire;
  std::istringstream lines(script);
  std::string line;
  std::vector<HarlenWireRecord> records;
  while (std::getline(lines, line)) {
    EXPECT_TRUE(scenario.runLine(line)) << line << ": " << scenario.error();
    records = wire.takeNew();
  }
  return records;
}

struct WireCase {
  const char *what;
  std::string script;
  std::vector<std::string> lines;
};
void PrintTo(const WireCase &c, std::ostream *os) { *os << c.what; }

class WireLinesTest : public testing::TestWithParam<WireCase> {};

TEST_P(WireLinesTest, LastStepGivesTheseLines) {
  Scenario scenario;
  EXPECT_EQ(outcome::wireLines(lastStepRecords(scenario, GetParam().script)), GetParam().lines);
}

const std::string kDescriptor = "GET_DESCRIPTOR_FROM_DEVICE (length 136): descriptor type ";
const std::string kTransferIn = "BULK_OR_INTERRUPT_TRANSFER pipe 0x81 (length 128): ";

INSTANTIATE_TEST_SUITE_P(
    RealRuns, WireLinesTest,
    testing::Values(
        WireCase{"the start of the standard bridge",
                 "plug a\nadd a\nstart a\n",
                 {kDescriptor + "1, index 0, 18 bytes -> USBD_STATUS_SUCCESS, 18 bytes, STATUS_SUCCESS",
                  kDescriptor + "2, index 0, 9 bytes -> USBD_STATUS_SUCCESS, 9 bytes, STATUS_SUCCESS",
                  kDescriptor + "2, index 0, 32 bytes -> USBD_STATUS_SUCCESS, 32 bytes, STATUS_SUCCESS",
                  "SELECT_CONFIGURATION (length 112): 2 pipes, max transfer 131072, 131072 -> USBD_STATUS_SUCCESS, "
                  "STATUS_SUCCESS"}},
        WireCase{"a read one byte past a chunk",
                 std::string(kStarted) + "bulk a reads=pattern\nread a 131073\n",
                 {kTransferIn + "131072 bytes, flags 0x2 -> USBD_STATUS_SUCCESS, 131072 bytes, STATUS_SUCCESS",
                  kTransferIn + "1 bytes, flags 0x2 -> USBD_STATUS_SUCCESS, 1 bytes, STATUS_SUCCESS"}},
        WireCase{"four transfers are still shown one a line, held ones pending",
                 std::string(kStarted) + "completion a manual\nread a 512K\n",
                 std::vector<std::string>(4, kTransferIn + "131072 bytes, flags 0x2 -> pending")},
        WireCase{"a 64-chunk write is one summary line",
                 std::string(kStarted) + "write a 8M\n",
                 {"64 BULK_OR_INTERRUPT_TRANSFER pipe 0x02 (length 128): 64 of 131072 bytes (flags 0x2) -> 64 "
                  "USBD_STATUS_SUCCESS/STATUS_SUCCESS, 8388608 bytes moved"}},
        WireCase{"a deconfigure at stop",
                 "plug a\nadd a\nstart a\nquery-stop a\nstop a\n",
                 {"SELECT_CONFIGURATION (length 64): configuration none -> USBD_STATUS_SUCCESS, STATUS_SUCCESS"}},
        WireCase{"a vendor request's OUT data",
                 std::string(kStarted) + "control a type=40 request=04 value=7 index=fffc data=01 02 03\n",
                 {"VENDOR_DEVICE OUT request 0x04 (length 136): value 0x0007, index 0xFFFC, 3 bytes, flags 0x0, data "
                  "01 02 03 -> USBD_STATUS_SUCCESS, 3 bytes, STATUS_SUCCESS"}},
        WireCase{"the port checked and reset in the order they arrived",
                 std::string(kStarted) + "port-reset a status=2\n",
                 {"GET_PORT_STATUS -> connected, disabled, STATUS_SUCCESS", "RESET_PORT -> STATUS_SUCCESS"}}),
    [](const testing::TestParamInfo<WireCase> &info) { return "case" + std::to_string(info.index); });

TEST(BulkSummaryTest, OneLinePerPipeWithSizesOutcomesAndBytes) {
  Scenario scenario;
  std::vector<HarlenWireRecord> run = lastStepRecords(scenario, std::string(kStarted) + "write a 8M\n");
  // Reads of a pattern cut short: a second pipe, other sizes moved.
  for (const auto &record : lastStepRecords(scenario, "bulk a reads=short short=512\nread a 655361\n"))
    run.push_back(record);
  EXPECT_EQ(outcome::summariseBulkRun(run),
            (std::vector<std::string>{
                "64 BULK_OR_INTERRUPT_TRANSFER pipe 0x02 (length 128): 64 of 131072 bytes (flags 0x2) -> 64 "
                "USBD_STATUS_SUCCESS/STATUS_SUCCESS, 8388608 bytes moved",
                "6 BULK_OR_INTERRUPT_TRANSFER pipe 0x81 (length 128): 5 of 131072 bytes (flags 0x2), 1 of 1 bytes "
                "(flags 0x2) -> 6 USBD_STATUS_SUCCESS/STATUS_SUCCESS, 2561 bytes moved"}));
}

struct WriterCase {
  const char *what;
  outcome::StepOutcome step;
  std::string printed;
};
void PrintTo(const WriterCase &c, std::ostream *os) { *os << c.what; }

HarlenWireRecord portRecord(uint32_t sequence, uint16_t kind) {
  HarlenWireRecord record = {};
  record.sequence = sequence;
  record.kind = kind;
  record.flags = HARLEN_WIRE_COMPLETED;
  record.value = 3;
  return record;
}

class OutcomeWriterTest : public testing::TestWithParam<WriterCase> {};

TEST_P(OutcomeWriterTest, PrintsTheStep) {
  char *text = nullptr;
  size_t size = 0;
  FILE *out = open_memstream(&text, &size);
  outcome::OutcomeWriter(out).step(GetParam().step);
  fclose(out);
  EXPECT_EQ(std::string(text, size), GetParam().printed);
  free(text);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, OutcomeWriterTest,
    testing::Values(
        WriterCase{"status, records by sequence, a request that ended",
                   {"port-reset a", 0, std::nullopt,
                    {portRecord(9, HarlenWirePortReset), portRecord(8, HarlenWirePortStatus),
                     portRecord(7, HarlenWirePnp)},
                    {{"a", true, static_cast<int32_t>(0xC0000120), 0}}},
                   "step port-reset a\n  status STATUS_SUCCESS\n"
                   "  wire GET_PORT_STATUS -> connected, enabled, STATUS_SUCCESS\n  wire RESET_PORT -> STATUS_SUCCESS\n"
                   "  request a read STATUS_CANCELLED information 0\n"},
        WriterCase{"information after the status",
                   {"ioctl a get-descriptor out=18", 0, 18, {}, {}},
                   "step ioctl a get-descriptor out=18\n  status STATUS_SUCCESS information 18\n"},
        WriterCase{"a check prints its step only",
                   {"expect-request a STATUS_SUCCESS", 0, 5, {portRecord(1, HarlenWirePortReset)}, {{"a", false, 0, 5}}},
                   "step expect-request a STATUS_SUCCESS\n"}),
    [](const testing::TestParamInfo<WriterCase> &info) { return "case" + std::to_string(info.index); });

TEST(ScriptStepTest, CommentAndBlanksGo) {
  EXPECT_EQ(outcome::scriptStep("  read disk 8M \t# the whole stream\r"), "read disk 8M");
  EXPECT_EQ(outcome::scriptStep("   # only a comment"), "");
  EXPECT_TRUE(outcome::isCheckStep("verify disk"));
  EXPECT_FALSE(outcome::isCheckStep("verify-not disk"));
}

}  // namespace
