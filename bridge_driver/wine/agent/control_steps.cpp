// Device controls through a user handle: the driver's codes by name, and the
// recovery routines the host runner calls directly (abort, clear-stall,
// port-reset), which a program reaches through their device-control codes.
#include <ntstatus.h>

#include <algorithm>
#include <cstdio>

#include "nt_status.h"
#include "script_words.h"
#include "wine_scenario.h"

namespace {

// Device type 0x8000, METHOD_BUFFERED, any access, by function number.
const std::map<std::string, DWORD> kFunctions = {
    {"get-descriptor", 0x800},  {"abort-pipe", 0x801},   {"vendor-read", 0x803}, {"vendor-write", 0x804},
    {"control-request", 0x806}, {"reset-device", 0x808}, {"clear-stall", 0x809},
};

DWORD codeOf(DWORD function) { return CTL_CODE(0x8000, function, METHOD_BUFFERED, FILE_ANY_ACCESS); }

constexpr size_t kBytesShown = 64;
constexpr uint32_t kLargestOutput = 1u << 20;
// The driver's recovery pauses half a second; a control never takes this long.
constexpr uint32_t kControlWithinMs = 30000;

bool parseCode(const std::string &word, DWORD &code) {
  auto named = kFunctions.find(word);
  unsigned long number;
  if (named != kFunctions.end())
    code = codeOf(named->second);
  else if (parseHex(word, number) && number <= 0xFFFFFFFF)
    code = static_cast<DWORD>(number);
  else
    return false;
  return true;
}

std::string codeName(DWORD code) {
  for (const auto &named : kFunctions)
    if (codeOf(named.second) == code) return named.first;
  char text[16];
  snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
  return text;
}

std::string hexBytes(const uint8_t *bytes, size_t count) {
  std::string text;
  char digits[4];
  for (size_t i = 0; i < count && i < kBytesShown; ++i) {
    snprintf(digits, sizeof digits, i ? " %02X" : "%02X", bytes[i]);
    text += digits;
  }
  if (count > kBytesShown) text += " ... (" + std::to_string(count - kBytesShown) + " bytes more)";
  return text;
}

// "in=01 02 03": the option's value and the words after it that are no option.
std::string valueAndFollowing(const std::string &value, const std::vector<std::string> &words, size_t &i) {
  std::string joined = value;
  while (i + 1 < words.size() && words[i + 1].find('=') == std::string::npos) joined += words[++i];
  return joined;
}

std::vector<uint8_t> wordBytes(uint32_t word) {
  return {uint8_t(word), uint8_t(word >> 8), uint8_t(word >> 16), uint8_t(word >> 24)};
}

}  // namespace

bool WineScenario::sendControl(const std::string &verb, const std::string &name, Bridge &bridge, DWORD code,
                               const std::vector<uint8_t> &input, uint32_t outputLength) {
  if (bridge.file == INVALID_HANDLE_VALUE) return fail(verb + ": no handle on " + name + " is open");
  const std::string label = "DEVICE_CONTROL " + codeName(code) + " on " + name;
  report("user", "-> " + label + ": input " + std::to_string(input.size()) + " bytes, output " +
                     std::to_string(outputLength) + " bytes");
  // The system buffer is copied from the input when the request is made; the output stays with the request.
  auto request = std::make_shared<WineRequest>();
  request->buffer.assign(outputLength, 0);
  HANDLE file = bridge.file;
  WineRequest *sent = request.get();
  issueRequest(bridge.sync, request, [file, code, input, sent](DWORD *moved, OVERLAPPED *overlapped) {
    DWORD ignored;
    void *in = input.empty() ? nullptr : const_cast<uint8_t *>(input.data());
    return DeviceIoControl(file, code, in, static_cast<DWORD>(input.size()),
                           sent->buffer.empty() ? nullptr : sent->buffer.data(),
                           static_cast<DWORD>(sent->buffer.size()), moved ? moved : &ignored, overlapped);
  });
  if (!watch_.waitFor([&] { return request->done(); }, kControlWithinMs, label)) {
    setStatus(STATUS_PENDING);
    report("user", "   " + label + " has not ended");
    unendedControls_.push_back(request);
    return true;
  }
  setStatus(request->status());
  // Only the ioctl line reports information; the recovery lines stand for routines that give none.
  if (verb == "ioctl") lastInformation_ = request->information();
  report("user", "<- " + label + ": " + statusName(last_) + ", information " + std::to_string(request->information()));
  size_t copied = std::min<size_t>(request->information(), outputLength);
  if (last_ >= 0 && copied) report("user", "   output: " + hexBytes(request->buffer.data(), copied));
  return true;
}

// ioctl NAME CODE [in=HEX...] [out=LEN]
bool WineScenario::ioctl(const std::string &name, Bridge &bridge, std::istream &args) {
  std::string codeWord;
  DWORD code;
  if (!(args >> codeWord) || !parseCode(codeWord, code))
    return fail(
        "ioctl needs a code: a name (get-descriptor, abort-pipe, vendor-read, vendor-write, control-request, "
        "reset-device, clear-stall) or a hexadecimal code");
  std::vector<std::string> words = remainingWords(args);
  std::vector<uint8_t> input;
  uint32_t outputLength = 0;
  for (size_t i = 0; i < words.size(); ++i) {
    std::string option = words[i], key, value;
    bool split = splitOption(option, key, value);
    if (split && key == "in" && parseBytes(valueAndFollowing(value, words, i), input)) continue;
    if (split && key == "out" && parseLength(value, outputLength) && outputLength <= kLargestOutput) continue;
    return fail("ioctl: cannot use " + option);
  }
  return sendControl("ioctl", name, bridge, code, input, outputLength);
}

// abort NAME SELECTOR: the abort-pipe code (1 the IN pipe, 2 the OUT pipe, 3 the transfer in flight).
bool WineScenario::abort(const std::string &name, Bridge &bridge, std::istream &args) {
  std::string text;
  unsigned long selector;
  if (!(args >> text) || !parseDecimal(text, selector) || selector > 0xFFFFFFFF || !endOfLine(args))
    return fail("abort needs a selector: 1, 2, 3");
  return sendControl("abort", name, bridge, codeOf(0x801), wordBytes(static_cast<uint32_t>(selector)), 0);
}

// clear-stall NAME EP: the clear-stall code for the endpoint.
bool WineScenario::clearStall(const std::string &name, Bridge &bridge, std::istream &args) {
  std::string text;
  uint8_t endpoint;
  if (!(args >> text) || !parseEndpoint(text, endpoint) || !endOfLine(args))
    return fail("clear-stall needs an endpoint address: 81, 02");
  return sendControl("clear-stall", name, bridge, codeOf(0x809), wordBytes(endpoint), 0);
}

// port-reset NAME [status=HEX]: the port reports this status word from now on, then the reset-device code.
bool WineScenario::portReset(const std::string &name, Bridge &bridge, std::istream &args) {
  std::string option, key, value;
  unsigned long status = 0;
  if (args >> option && (!splitOption(option, key, value) || key != "status" || !parseHex(value, status) ||
                         status > 0xFFFFFFFF || !endOfLine(args)))
    return fail("port-reset: cannot use " + option);
  if (!option.empty()) {
    HarlenBusBehaviour behaviour = bridge.behaviour;
    behaviour.portStatus = static_cast<uint32_t>(status);
    if (!bus_.behave(behaviour)) return fail(bus_.error());
    bridge.behaviour = behaviour;
  }
  return sendControl("port-reset", name, bridge, codeOf(0x808), {}, 0);
}
