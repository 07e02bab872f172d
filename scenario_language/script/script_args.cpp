#include "script_args.h"

#include <cstdio>
#include <map>
#include <sstream>

#include "script_words.h"

namespace {

const std::map<std::string, uint32_t> kControlFunctions = {
    {"get-descriptor", 0x800},  {"abort-pipe", 0x801},   {"vendor-read", 0x803}, {"vendor-write", 0x804},
    {"control-request", 0x806}, {"reset-device", 0x808}, {"clear-stall", 0x809},
};

const std::map<std::string, BulkMode> kBulkModes = {
    {"loopback", BulkMode::Loopback}, {"pattern", BulkMode::Pattern}, {"short", BulkMode::Short},
    {"stall", BulkMode::Stall},       {"hold", BulkMode::Hold},       {"discard", BulkMode::Discard},
};

const std::map<std::string, Completion> kCompletions = {
    {"inline", Completion::Inline}, {"deferred", Completion::Deferred}, {"manual", Completion::Manual}};

const std::map<std::string, VendorRequest> kVendorRequests = {
    {"fffc", VendorRequest::WordAtFFFC}, {"00ae", VendorRequest::WordAt00AE}, {"vendor4", VendorRequest::Vendor4},
    {"vendor12", VendorRequest::Vendor12}, {"maxlun", VendorRequest::GetMaxLun},
};

constexpr size_t kBytesShown = 64;
// The runners hold an output whole, as the I/O manager holds its system buffer.
constexpr uint32_t kLargestOutput = 1u << 20;
// The runners hold every read or write buffer whole.
constexpr uint32_t kLargestBuffer = 64u << 20;

bool refuse(std::string &error, const std::string &why) {
  error = why;
  return false;
}

bool parseAnswer(const std::string &value, size_t largest, std::optional<std::vector<uint8_t>> &answer) {
  std::vector<uint8_t> bytes;
  if (!parseBytes(value, bytes) || bytes.size() > largest) return false;
  answer = bytes;
  return true;
}

bool parseVendorOption(const std::string &key, const std::string &value, size_t largestAnswer, VendorLine &line) {
  unsigned long number;
  if (key == "fffc" || key == "00ae") {
    if (!parseHex(value, number) || number > 0xFFFF) return false;
    (key == "fffc" ? line.wordAtFFFC : line.wordAt00AE) = static_cast<uint16_t>(number);
    return true;
  }
  if (key == "maxlun") {
    if (!parseDecimal(value, number) || number > 0xFF) return false;
    line.maxLun = static_cast<uint8_t>(number);
    return true;
  }
  if (key == "vendor4") return parseAnswer(value, largestAnswer, line.vendor4In);
  if (key == "vendor12") return parseAnswer(value, largestAnswer, line.vendor12In);
  auto request = kVendorRequests.find(value);
  if (key != "stall" || request == kVendorRequests.end()) return false;
  line.stalls.push_back(request->second);
  return true;
}

}  // namespace

bool parseControlCode(const std::string &word, uint32_t &code) {
  auto named = kControlFunctions.find(word);
  unsigned long number;
  if (named != kControlFunctions.end())
    code = driverControlCode(named->second);
  else if (parseHex(word, number) && number <= 0xFFFFFFFF)
    code = static_cast<uint32_t>(number);
  else
    return false;
  return true;
}

std::string controlCodeName(uint32_t code) {
  for (const auto &named : kControlFunctions)
    if (driverControlCode(named.second) == code) return named.first;
  char text[16];
  snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

std::string shownBytes(const uint8_t *bytes, size_t count) {
  std::string text;
  char digits[4];
  for (size_t i = 0; i < count && i < kBytesShown; ++i) {
    snprintf(digits, sizeof digits, i ? " %02X" : "%02X", bytes[i]);
    text += digits;
  }
  if (count > kBytesShown) text += " ... (" + std::to_string(count - kBytesShown) + " bytes more)";
  return text;
}

bool parseEndpointList(const std::string &text, std::vector<Endpoint> &endpoints) {
  constexpr unsigned long kBulk = 2, kInterrupt = 3;
  std::stringstream list(text);
  std::string item;
  while (std::getline(list, item, ',')) {
    size_t colon = item.find(':');
    unsigned long address, attributes;
    if (colon == std::string::npos || !parseHex(item.substr(0, colon), address) || address > 0xFF) return false;
    std::string kind = item.substr(colon + 1);
    if (kind == "bulk") attributes = kBulk;
    else if (kind == "interrupt") attributes = kInterrupt;
    else if (!parseHex(kind, attributes) || attributes > 0xFF) return false;
    endpoints.push_back({uint8_t(address), uint8_t(attributes)});
  }
  return !endpoints.empty();
}

bool parseCompletion(const std::string &word, Completion &completion) {
  auto way = kCompletions.find(word);
  if (way == kCompletions.end()) return false;
  completion = way->second;
  return true;
}

std::string valueAndFollowing(const std::string &value, const std::vector<std::string> &words, size_t &i) {
  std::string joined = value;
  while (i + 1 < words.size() && words[i + 1].find('=') == std::string::npos) joined += words[++i];
  return joined;
}

bool parseTransferLine(std::istream &args, bool write, TransferLine &line, std::string &error) {
  const std::string verb = write ? "write" : "read";
  std::string text, word;
  if (!(args >> text) || !parseLength(text, line.length))
    return refuse(error, verb + " needs a length: 131073, 128K, 8M");
  if (line.length > kLargestBuffer) return refuse(error, verb + ": at most 64M, the runner holds whole buffers");
  while (args >> word) {
    if (word == "mapped" || word == "unmapped")
      line.mapped = word == "mapped";
    else if (write && (word == "pattern" || word == "zeros"))
      line.pattern = word == "pattern";
    else
      return refuse(error, verb + ": cannot use " + word);
  }
  return true;
}

bool parseExpectLine(std::istream &args, ExpectLine &line, std::string &error) {
  std::string option, key, value;
  uint32_t information = 0;
  if (!(args >> line.status)) return refuse(error, "expect needs a status name");
  if (!(args >> option)) return true;
  if (!splitOption(option, key, value) || key != "information" || !parseLength(value, information) ||
      !endOfLine(args))
    return refuse(error, "expect: cannot use " + option);
  line.information = information;
  return true;
}

std::string expectMismatch(const ExpectLine &line, const std::string &status,
                           const std::optional<uint64_t> &information) {
  if (status != line.status) return "expected " + line.status + ", got " + status;
  if (!line.information) return "";
  if (!information) return "expect: the previous step reports no information";
  if (*information != *line.information)
    return "expected information " + std::to_string(*line.information) + ", got " + std::to_string(*information);
  return "";
}

bool parseExpectRequestLine(std::istream &args, ExpectLine &line, std::string &error) {
  std::string option, key, value;
  uint32_t information = 0;
  if (!(args >> line.status)) return refuse(error, "expect-request needs a status name");
  while (args >> option) {
    if (!splitOption(option, key, value) || key != "information" || !parseLength(value, information))
      return refuse(error, "expect-request: cannot use " + option);
    line.information = information;
  }
  return true;
}

bool parseIoctlLine(std::istream &args, IoctlLine &line, std::string &error) {
  std::string codeWord;
  if (!(args >> codeWord) || !parseControlCode(codeWord, line.code))
    return refuse(error,
                  "ioctl needs a code: a name (get-descriptor, abort-pipe, vendor-read, vendor-write, "
                  "control-request, reset-device, clear-stall) or a hexadecimal code");
  std::vector<std::string> words = remainingWords(args);
  for (size_t i = 0; i < words.size(); ++i) {
    std::string option = words[i], key, value;
    bool split = splitOption(option, key, value);
    if (split && key == "in" && parseBytes(valueAndFollowing(value, words, i), line.input)) continue;
    if (split && key == "out" && parseLength(value, line.outputLength) && line.outputLength <= kLargestOutput)
      continue;
    return refuse(error, "ioctl: cannot use " + option);
  }
  return true;
}

namespace {

bool parseControlField(const std::string &key, const std::string &value, ControlLine &line, bool &lengthGiven) {
  unsigned long number;
  if (key == "length") {
    uint32_t length;
    if (!parseLength(value, length) || length > 0xFFFF) return false;
    line.length = static_cast<uint16_t>(length);
    return lengthGiven = true;
  }
  if (key == "buffer") {
    if (value != "bad" && value != "readonly") return false;
    line.buffer = value == "bad" ? CallerBuffer::Freed : CallerBuffer::ReadOnly;
    return true;
  }
  const struct {
    const char *key;
    unsigned long largest;
  } fields[] = {{"type", 0xFF}, {"request", 0xFF}, {"value", 0xFFFF}, {"index", 0xFFFF}};
  for (const auto &f : fields) {
    if (key != f.key) continue;
    if (!parseHex(value, number) || number > f.largest) return false;
    if (key == "type") line.type = static_cast<uint8_t>(number);
    if (key == "request") line.request = static_cast<uint8_t>(number);
    if (key == "value") line.value = static_cast<uint16_t>(number);
    if (key == "index") line.index = static_cast<uint16_t>(number);
    return true;
  }
  return false;
}

}  // namespace

// The fields in any order; type and request are required, the length defaults to the data's.
bool parseControlLine(std::istream &args, ControlLine &line, std::string &error) {
  bool typed = false, requested = false, lengthGiven = false;
  std::vector<std::string> words = remainingWords(args);
  for (size_t i = 0; i < words.size(); ++i) {
    std::string option = words[i], key, value;
    bool parsed = splitOption(option, key, value) &&
                  (key == "data" ? parseBytes(valueAndFollowing(value, words, i), line.data) && !line.data.empty()
                                 : parseControlField(key, value, line, lengthGiven));
    if (!parsed) return refuse(error, "control: cannot use " + option);
    typed |= key == "type";
    requested |= key == "request";
  }
  if (!lengthGiven && line.data.size() <= 0xFFFF) line.length = static_cast<uint16_t>(line.data.size());
  if (!typed || !requested || line.data.size() > line.length ||
      (!line.data.empty() && line.buffer != CallerBuffer::ReadWrite))
    return refuse(error, "control needs type=HEX and request=HEX, and data no longer than length=N in a "
                         "read-write buffer");
  return true;
}

std::vector<uint8_t> controlRecord(const ControlLine &line, uint64_t bufferAddress, size_t addressSize) {
  std::vector<uint8_t> record = {line.type, line.request};
  auto append = [&record](uint64_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) record.push_back(static_cast<uint8_t>(value >> (8 * i)));
  };
  append(line.value, 2);
  append(line.index, 2);
  append(line.length, 2);
  append(bufferAddress, addressSize);
  return record;
}

const char *callerBufferName(CallerBuffer buffer) {
  switch (buffer) {
    case CallerBuffer::ReadOnly: return "readonly";
    case CallerBuffer::Freed: return "a freed";
    default: return "read-write";
  }
}

bool parseClearStallLine(std::istream &args, uint8_t &endpoint, std::string &error) {
  std::string text;
  if (!(args >> text) || !parseEndpoint(text, endpoint) || !endOfLine(args))
    return refuse(error, "clear-stall needs an endpoint address: 81, 02");
  return true;
}

bool parsePortResetLine(std::istream &args, std::optional<uint32_t> &status, std::string &error) {
  std::string option, key, value;
  unsigned long number = 0;
  if (!(args >> option)) return true;
  if (!splitOption(option, key, value) || key != "status" || !parseHex(value, number) || number > 0xFFFFFFFF ||
      !endOfLine(args))
    return refuse(error, "port-reset: cannot use " + option);
  status = static_cast<uint32_t>(number);
  return true;
}

bool parseBulkLine(std::istream &args, BulkLine &line, std::string &error) {
  std::string option, key, value;
  bool any = false;
  while (args >> option) {
    uint32_t length;
    bool split = splitOption(option, key, value);
    auto mode = kBulkModes.find(value);
    if (split && (key == "reads" || key == "writes") && mode != kBulkModes.end())
      (key == "reads" ? line.reads : line.writes) = mode->second;
    else if (split && key == "short" && parseLength(value, length))
      line.shortLength = length;
    else
      return refuse(error, "bulk: cannot use " + option);
    any = true;
  }
  return any || refuse(error, "bulk needs reads=MODE, writes=MODE or short=N");
}

bool parseCompletionLine(std::istream &args, Completion &completion, std::string &error) {
  std::string word;
  if (!(args >> word) || !parseCompletion(word, completion) || !endOfLine(args))
    return refuse(error, "completion wants inline, deferred or manual");
  return true;
}

bool parseCompleteLine(std::istream &args, CompleteLine &line, std::string &error) {
  std::string all;
  if (!(args >> line.endpointText) || !parseEndpoint(line.endpointText, line.endpoint))
    return refuse(error, "complete needs an endpoint address: 81, 02");
  line.all = static_cast<bool>(args >> all);
  if ((line.all && all != "all") || !endOfLine(args)) return refuse(error, "complete: cannot use " + all);
  return true;
}

bool parseVendorLine(std::istream &args, size_t largestAnswer, VendorLine &line, std::string &error) {
  std::vector<std::string> options = remainingWords(args);
  if (options.empty()) return refuse(error, "vendor needs fffc=, 00ae=, maxlun=, vendor4=, vendor12= or stall=");
  for (const std::string &option : options) {
    std::string key, value;
    if (!splitOption(option, key, value) || !parseVendorOption(key, value, largestAnswer, line))
      return refuse(error, "vendor: cannot use " + option);
  }
  return true;
}
