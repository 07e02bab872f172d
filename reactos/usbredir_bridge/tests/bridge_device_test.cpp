#include <gtest/gtest.h>

#include <sstream>

#include "bridge_device.h"
#include "descriptors.h"
#include "script_words.h"
#include "sim/usb_bridge.h"

namespace bridge {
namespace {

std::vector<uint8_t> bytes(const std::string &hex) {
  std::vector<uint8_t> out;
  EXPECT_TRUE(parseBytes(hex, out)) << hex;
  return out;
}

BridgeDevice configuredWith(const std::string &vendorOptions = "") {
  BridgeDevice device;
  device.setConfiguration(1);
  if (!vendorOptions.empty()) {
    std::istringstream words(vendorOptions);
    VendorLine line;
    std::string error;
    EXPECT_TRUE(parseVendorLine(words, 64, line, error)) << error;
    device.setVendor(line);
  }
  return device;
}

TEST(Descriptors, TheSimulatorsBridgeLayoutAtHighSpeed) {
  auto simulated = sim::BridgeSetup::configSetWith({{0x81, 2, 512}, {0x02, 2, 512}, {0x83, 3, 8, 10}});
  EXPECT_EQ(descriptor(2, 0), simulated);
  std::vector<uint8_t> device = descriptor(1, 0);
  ASSERT_EQ(device.size(), 18u);
  EXPECT_EQ(device[2] | device[3] << 8, 0x0200);  // high speed needs USB 2.0
  EXPECT_EQ(device[8] | device[9] << 8, 0x0590);
  EXPECT_EQ(device[10] | device[11] << 8, 0x0002);
}

struct ControlCase {
  const char *name;
  std::string vendorOptions;
  SetupPacket setup;
  std::string dataOut;
  Ending ending;
  std::string answer;
};

TEST(BridgeDevice, AnswersSetupPacketsAsTheSimulatorsBridge) {
  const ControlCase cases[] = {
      {"word at 0xFFFC", "", {0xC0, 0xFF, 7, 0xFFFC, 2}, "", Ending::Success, "07 00"},
      {"word at 0x00AE", "", {0xC0, 0xFF, 7, 0x00AE, 2}, "", Ending::Success, "00 01"},
      {"an answer cut to the data stage", "fffc=1234", {0xC0, 0xFF, 7, 0xFFFC, 1}, "", Ending::Success, "34"},
      {"another index of request 0xFF", "", {0xC0, 0xFF, 7, 0x1234, 2}, "", Ending::Stall, ""},
      {"request 0xFF as OUT", "", {0x40, 0xFF, 7, 0xFFFC, 0}, "", Ending::Stall, ""},
      {"request 4 OUT takes its data", "", {0x40, 4, 0, 0, 3}, "01 02 03", Ending::Success, ""},
      {"request 12 IN as set", "vendor12=0A0B", {0xC0, 12, 0, 0, 16}, "", Ending::Success, "0A 0B"},
      {"an unknown vendor request", "", {0xC0, 5, 0, 0, 2}, "", Ending::Stall, ""},
      {"a request set to stall", "stall=00ae", {0xC0, 0xFF, 7, 0x00AE, 2}, "", Ending::Stall, ""},
      {"Get Max LUN", "maxlun=3", {0xA0, 0xFE, 0, 0, 1}, "", Ending::Success, "03"},
      {"Get Max LUN to the interface", "", {0xA1, 0xFE, 0, 0, 1}, "", Ending::Stall, ""},
      {"the device descriptor, first 8 bytes", "", {0x80, 6, 0x0100, 0, 8}, "", Ending::Success,
       "12 01 00 02 00 00 00 40"},
      {"the device qualifier", "", {0x80, 6, 0x0600, 0, 10}, "", Ending::Success, "0A 06 00 02 00 00 00 40 01 00"},
      {"no strings", "", {0x80, 6, 0x0300, 0, 255}, "", Ending::Stall, ""},
      {"endpoint status", "", {0x82, 0, 0, 0x81, 2}, "", Ending::Success, "00 00"},
      {"halt of an endpoint the bridge lacks", "", {0x02, 1, 0, 0x84, 0}, "", Ending::Stall, ""},
  };
  for (const ControlCase &c : cases) {
    BridgeDevice device = configuredWith(c.vendorOptions);
    ControlAnswer answer = device.control(c.setup, bytes(c.dataOut));
    EXPECT_EQ(answer.ending, c.ending) << c.name;
    EXPECT_EQ(answer.data, bytes(c.answer)) << c.name;
  }
}

// One step of a bulk case: a command ("bulk ...", "release", "clear 81", "cancel ID") or a packet.
struct BulkStep {
  std::string command;
  uint8_t endpoint = 0;
  uint32_t length = 0;
  std::string data;
  // What answers the step gives, in order: "ID ENDING MOVED [first bytes]", or "held".
  std::vector<std::string> answers;
  uint64_t id = 0;  // a packet's id; 0: the step's number
};

std::string describe(const BulkAnswer &a) {
  static const char *endings[] = {"ok", "stall", "cancelled", "gone"};
  std::string text = std::to_string(a.packet.id) + " " + endings[int(a.ending)] + " " + std::to_string(a.moved);
  for (size_t i = 0; i < std::min<size_t>(a.data.size(), 3); ++i) text += " " + std::to_string(a.data[i]);
  return text;
}

std::vector<std::string> runStep(BridgeDevice &device, const BulkStep &step, uint64_t id) {
  std::vector<BulkAnswer> answers;
  std::istringstream words(step.command);
  std::string verb, error;
  words >> verb;
  if (verb == "bulk") {
    BulkLine line;
    EXPECT_TRUE(parseBulkLine(words, line, error)) << error;
    answers = device.setBulk(line);
  } else if (verb == "release") {
    answers = device.release();
  } else if (verb == "clear") {
    unsigned endpoint;
    words >> std::hex >> endpoint;
    EXPECT_EQ(device.control({0x02, 1, 0, uint16_t(endpoint), 0}, {}).ending, Ending::Success);
  } else if (verb == "cancel") {
    uint64_t which;
    words >> which;
    if (auto cancelled = device.cancel(which)) answers.push_back(*cancelled);
    else answers = device.withdraw(which);
  } else {
    auto answer = device.bulk({id, step.endpoint, step.length, bytes(step.data)});
    if (!answer) return {"held"};
    answers.push_back(*answer);
  }
  std::vector<std::string> texts;
  for (const BulkAnswer &a : answers) texts.push_back(describe(a));
  return texts;
}

struct BulkCase {
  const char *name;
  std::vector<BulkStep> steps;
};

TEST(BridgeDevice, BulkModes) {
  const BulkCase cases[] = {
      {"loopback gives back what was written, at most what is buffered",
       {{"", 0x02, 3, "05 06 07", {"1 ok 3"}}, {"", 0x81, 512, "", {"2 ok 3 5 6 7"}}, {"", 0x81, 512, "", {"3 ok 0"}}}},
      {"the pattern continues across packets (period 251)",
       {{"bulk reads=pattern", 0, 0, "", {}}, {"", 0x81, 250, "", {"2 ok 250 0 1 2"}}, {"", 0x81, 3, "", {"3 ok 3 250 0 1"}}}},
      {"short answers at most short= bytes",
       {{"bulk reads=short short=100", 0, 0, "", {}}, {"", 0x81, 512, "", {"2 ok 100 0 1 2"}}}},
      {"a stall halts the pipe until its halt is cleared",
       {{"bulk reads=stall", 0, 0, "", {}},
        {"", 0x81, 64, "", {"2 stall 0"}},
        {"bulk reads=pattern", 0, 0, "", {}},
        {"", 0x81, 64, "", {"4 stall 0"}},
        {"clear 81", 0, 0, "", {}},
        {"", 0x81, 2, "", {"6 ok 2 0 1"}}}},
      {"a held read answers on release, in the mode before hold",
       {{"bulk reads=pattern", 0, 0, "", {}},
        {"bulk reads=hold", 0, 0, "", {}},
        {"", 0x81, 4, "", {"held"}},
        {"", 0x81, 4, "", {"held"}},
        {"release", 0, 0, "", {"3 ok 4 0 1 2", "4 ok 4 4 5 6"}}}},
      {"a held write is cancelled; a second cancel finds nothing",
       {{"bulk writes=hold", 0, 0, "", {}},
        {"", 0x02, 2, "01 02", {"held"}},
        {"cancel 2", 0, 0, "", {"2 cancelled 0"}},
        {"cancel 2", 0, 0, "", {}}}},
      {"a held write joins the loopback when the mode changes",
       {{"bulk writes=hold", 0, 0, "", {}},
        {"", 0x02, 2, "09 08", {"held"}},
        {"bulk writes=loopback", 0, 0, "", {"2 ok 2"}},
        {"", 0x81, 8, "", {"4 ok 2 9 8"}}}},
      {"no pipe but 0x81 and 0x02", {{"", 0x83, 8, "", {"1 stall 0"}}}},
      // QEMU sends the withdrawn writes again as new packets: the stream must hold them once.
      {"a cancel that crossed a write's answer undoes it and the later writes",
       {{"", 0x02, 2, "01 02", {"1 ok 2"}},
        {"", 0x02, 1, "03", {"2 ok 1"}},
        {"", 0x02, 1, "04", {"3 ok 1"}},
        {"cancel 2", 0, 0, "", {"3 cancelled 0", "2 cancelled 0"}},
        {"cancel 3", 0, 0, "", {}},
        {"", 0x02, 1, "03", {"6 ok 1"}},
        {"", 0x02, 1, "04", {"7 ok 1"}},
        {"", 0x81, 8, "", {"8 ok 4 1 2 3"}}}},
      {"a cancel that crossed a loopback read's answer puts its bytes back",
       {{"", 0x02, 3, "05 06 07", {"1 ok 3"}},
        {"", 0x81, 2, "", {"2 ok 2 5 6"}},
        {"cancel 2", 0, 0, "", {"2 cancelled 0"}},
        {"", 0x81, 8, "", {"4 ok 3 5 6 7"}}}},
      // QEMU's ids are descriptor addresses, reused as the guest reuses descriptors.
      {"a cancel is for the newest packet with its id",
       {{"", 0x02, 1, "01", {"7 ok 1"}, 7},
        {"", 0x02, 1, "02", {"8 ok 1"}, 8},
        {"", 0x02, 1, "03", {"7 ok 1"}, 7},
        {"cancel 7", 0, 0, "", {"7 cancelled 0"}},
        {"", 0x02, 1, "03", {"5 ok 1"}},
        {"", 0x81, 8, "", {"6 ok 3 1 2 3"}}}},
      {"a withdrawn pattern read is read again from its offset",
       {{"bulk reads=pattern", 0, 0, "", {}},
        {"", 0x81, 3, "", {"2 ok 3 0 1 2"}},
        {"cancel 2", 0, 0, "", {"2 cancelled 0"}},
        {"", 0x81, 3, "", {"4 ok 3 0 1 2"}}}},
  };
  for (const BulkCase &c : cases) {
    BridgeDevice device = configuredWith();
    uint64_t number = 0;
    for (const BulkStep &step : c.steps) {
      ++number;
      EXPECT_EQ(runStep(device, step, step.id ? step.id : number), step.answers) << c.name << ", step " << number;
    }
  }
}

TEST(BridgeDevice, PatternWritesRememberTheFirstMismatch) {
  BridgeDevice device = configuredWith();
  std::istringstream words("writes=pattern");
  BulkLine line;
  std::string error;
  ASSERT_TRUE(parseBulkLine(words, line, error));
  device.setBulk(line);
  device.bulk({1, 0x02, 3, {0, 1, 2}});
  device.bulk({2, 0x02, 3, {3, 9, 5}});
  ASSERT_TRUE(device.pipe(0x02).firstMismatch.has_value());
  EXPECT_EQ(*device.pipe(0x02).firstMismatch, 4u);
  // The broken packet withdrawn and sent again right: the pattern holds.
  device.withdraw(2);
  device.bulk({3, 0x02, 3, {3, 4, 5}});
  EXPECT_FALSE(device.pipe(0x02).firstMismatch.has_value());
  EXPECT_EQ(device.pipe(0x02).offset, 6u);
}

TEST(BridgeDevice, AResetEndsHeldPacketsAndTheConfiguration) {
  BridgeDevice device = configuredWith();
  std::istringstream words("reads=hold");
  BulkLine line;
  std::string error;
  ASSERT_TRUE(parseBulkLine(words, line, error));
  device.setBulk(line);
  EXPECT_FALSE(device.bulk({7, 0x81, 64, {}}).has_value());
  std::vector<BulkAnswer> ended = device.reset(Ending::Gone);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].packet.id, 7u);
  EXPECT_EQ(ended[0].ending, Ending::Gone);
  EXPECT_EQ(device.configuration(), 0);
  EXPECT_EQ(device.bulk({8, 0x81, 64, {}})->ending, Ending::Stall);  // unconfigured
}

}  // namespace
}  // namespace bridge
