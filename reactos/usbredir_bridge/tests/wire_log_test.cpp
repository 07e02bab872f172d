#include <gtest/gtest.h>

#include "commands.h"
#include "wire_log.h"
#include "wire_text.h"

namespace bridge {
namespace {

struct WireCase {
  HarlenWireRecord record;
  std::optional<Ending> ending;
  uint32_t moved;
  std::string line;
};

TEST(WireLog, RequestsInTheOutcomeFormat) {
  const WireCase cases[] = {
      {controlRecord({0xC0, 0xFF, 7, 0xFFFC, 2}, {}), Ending::Success, 2,
       "VENDOR_DEVICE IN request 0xFF: value 0x0007, index 0xFFFC, 2 bytes, flags 0x1 -> USBD_STATUS_SUCCESS, 2 bytes, "
       "STATUS_SUCCESS"},
      {controlRecord({0x40, 4, 0, 0, 2}, {0xAB, 0xCD}), Ending::Stall, 0,
       "VENDOR_DEVICE OUT request 0x04: value 0x0000, index 0x0000, 2 bytes, flags 0x0, data AB CD -> "
       "USBD_STATUS_STALL_PID, 0 bytes, STATUS_UNSUCCESSFUL"},
      {controlRecord({0xA0, 0xFE, 0, 0, 1}, {}), Ending::Success, 1,
       "CLASS_DEVICE IN request 0xFE: value 0x0000, index 0x0000, 1 bytes, flags 0x1 -> USBD_STATUS_SUCCESS, 1 bytes, "
       "STATUS_SUCCESS"},
      {controlRecord({0x80, 6, 0x0200, 0, 9}, {}), Ending::Success, 9,
       "GET_DESCRIPTOR_FROM_DEVICE: descriptor type 2, index 0, 9 bytes -> USBD_STATUS_SUCCESS, 9 bytes, STATUS_SUCCESS"},
      {controlRecord({0x02, 1, 0, 0x81, 0}, {}), Ending::Success, 0,
       "CLEAR_FEATURE_TO_ENDPOINT: feature 0, index 0x81 -> USBD_STATUS_SUCCESS, STATUS_SUCCESS"},
      {controlRecord({0x80, 0, 0, 0, 2}, {}), Ending::Success, 2,
       "CONTROL_TRANSFER IN request 0x00: value 0x0000, index 0x0000, 2 bytes, flags 0x1 -> USBD_STATUS_SUCCESS, 2 "
       "bytes, STATUS_SUCCESS"},
      {setConfigurationRecord(1), Ending::Success, 0,
       "SELECT_CONFIGURATION: configuration 1 -> USBD_STATUS_SUCCESS, STATUS_SUCCESS"},
      {setConfigurationRecord(0), Ending::Success, 0,
       "SELECT_CONFIGURATION: configuration none -> USBD_STATUS_SUCCESS, STATUS_SUCCESS"},
      {bulkRecord({1, 0x81, 4096, {}}), std::nullopt, 0, "BULK_OR_INTERRUPT_TRANSFER pipe 0x81: 4096 bytes, flags 0x1 -> pending"},
      {bulkRecord({1, 0x81, 4096, {}}), Ending::Cancelled, 0,
       "BULK_OR_INTERRUPT_TRANSFER pipe 0x81: 4096 bytes, flags 0x1 -> USBD_STATUS_CANCELED, 0 bytes, STATUS_CANCELLED"},
      {bulkRecord({1, 0x02, 512, {}}), Ending::Gone, 0,
       "BULK_OR_INTERRUPT_TRANSFER pipe 0x02: 512 bytes, flags 0x0 -> USBD_STATUS_DEVICE_GONE, 0 bytes, "
       "STATUS_DEVICE_NOT_CONNECTED"},
      {portResetRecord(), Ending::Success, 0, "RESET_PORT -> STATUS_SUCCESS"},
  };
  for (const WireCase &c : cases) {
    HarlenWireRecord record = c.record;
    if (c.ending) finishRecord(record, *c.ending, c.moved);
    EXPECT_EQ(outcome::describeWire(record), c.line);
  }
}

TEST(WireLog, AStepShowsWhatArrivedSinceTheLastOneAsItStandsNow) {
  WireLog log(tmpfile());
  size_t held = log.arrive(bulkRecord({1, 0x81, 64, {}}));
  EXPECT_EQ(log.takeStep(), std::vector<std::string>{"BULK_OR_INTERRUPT_TRANSFER pipe 0x81: 64 bytes, flags 0x1 -> pending"});
  for (uint64_t id = 2; id <= 6; ++id) log.finish(log.arrive(bulkRecord({id, 0x02, 512, {}})), Ending::Success, 512);
  log.finish(held, Ending::Cancelled, 0);  // ends in this step, shown in the one it arrived in
  EXPECT_EQ(log.takeStep(), std::vector<std::string>{"5 BULK_OR_INTERRUPT_TRANSFER pipe 0x02: 5 of 512 bytes (flags "
                                                     "0x0) -> 5 USBD_STATUS_SUCCESS/STATUS_SUCCESS, 2560 bytes moved"});
  EXPECT_TRUE(log.takeStep().empty());
}

struct CommandCase {
  std::string command;
  std::string lastLine;
};

// Commands that need no connection to QEMU.
TEST(Commands, RepliesAndRefusals) {
  const CommandCase cases[] = {
      {"bulk reads=hold writes=pattern", "ok bulk"},
      {"bulk reads=sideways", "error bulk: cannot use reads=sideways"},
      {"vendor fffc=0009 stall=vendor4", "ok vendor"},
      {"vendor colour=blue", "error vendor: cannot use colour=blue"},
      {"release now", "error release takes no arguments"},
      {"state", "ok state"},
      {"fly", "error no command fly"},
      {"", "error an empty command"},
  };
  BridgeDevice device;
  WireLog log(tmpfile());
  RedirLink link(device, log);
  for (const CommandCase &c : cases) EXPECT_EQ(runCommand(c.command, device, link, log).lines.back(), c.lastLine) << c.command;
  EXPECT_EQ(runCommand("state", device, link, log).lines.front(),
            "state plugged 0 configuration 0 pipe 0x81 offset 0 held 0 halted 0 pipe 0x02 offset 0 held 0 halted 0 "
            "mismatch none");
}

}  // namespace
}  // namespace bridge
