#include "scenario.h"

#include <sstream>

#include "harlen.h"
#include "script_words.h"

namespace {

const std::map<std::string, UCHAR> kPnpVerbs = {
    {"start", IRP_MN_START_DEVICE},
    {"query-stop", IRP_MN_QUERY_STOP_DEVICE},
    {"cancel-stop", IRP_MN_CANCEL_STOP_DEVICE},
    {"stop", IRP_MN_STOP_DEVICE},
    {"query-remove", IRP_MN_QUERY_REMOVE_DEVICE},
    {"cancel-remove", IRP_MN_CANCEL_REMOVE_DEVICE},
    {"remove", IRP_MN_REMOVE_DEVICE},
    {"surprise-removal", IRP_MN_SURPRISE_REMOVAL},
};

// "81:bulk,02:bulk,83:interrupt,84:06" (the kind, or the attributes byte in hexadecimal)
bool parseEndpoints(const std::string &text, std::vector<sim::EndpointSetup> &endpoints) {
  std::stringstream list(text);
  std::string item;
  while (std::getline(list, item, ',')) {
    size_t colon = item.find(':');
    unsigned long address, attributes;
    if (colon == std::string::npos || !parseHex(item.substr(0, colon), address) || address > 0xFF) return false;
    std::string kind = item.substr(colon + 1);
    if (kind == "bulk") attributes = USB_ENDPOINT_TYPE_BULK;
    else if (kind == "interrupt") attributes = USB_ENDPOINT_TYPE_INTERRUPT;
    else if (!parseHex(kind, attributes) || attributes > 0xFF) return false;
    endpoints.push_back({UCHAR(address), UCHAR(attributes)});
  }
  return !endpoints.empty();
}

// "09 02 20 00 ..." (spaces optional)
bool parseBytes(const std::string &text, std::vector<uint8_t> &bytes) {
  std::string digits;
  for (char c : text)
    if (!isspace(static_cast<unsigned char>(c))) digits += c;
  if (digits.size() % 2) return false;
  for (size_t i = 0; i < digits.size(); i += 2) {
    unsigned long value;
    if (!parseHex(digits.substr(i, 2), value)) return false;
    bytes.push_back(uint8_t(value));
  }
  return true;
}

}  // namespace

Scenario::Scenario() {
  sim::platform().reset();
  last_ = pnp_.loadDriver(DriverEntry, KX_POOL_TAG);
}

Scenario::~Scenario() { sim::platform().reset(); }

bool Scenario::fail(const std::string &why) {
  error_ = why;
  return false;
}

sim::UsbBridge *Scenario::bridgeNamed(const std::string &name) {
  auto it = bridges_.find(name);
  return it == bridges_.end() ? nullptr : it->second;
}

bool Scenario::run(std::istream &script, const std::function<void()> &afterLine) {
  std::string line;
  for (int number = 1; std::getline(script, line); ++number) {
    bool ran = runLine(line);
    if (afterLine) afterLine();
    if (!ran) {
      error_ = "line " + std::to_string(number) + ": " + error_;
      return false;
    }
  }
  return true;
}

const std::map<std::string, Scenario::BridgeStep> &Scenario::bridgeSteps() {
  static const std::map<std::string, BridgeStep> steps = {
      {"open", &Scenario::open},
      {"close", &Scenario::close},
      {"read", &Scenario::read},
      {"write", &Scenario::write},
      {"verify", &Scenario::verify},
      {"expect-request", &Scenario::expectRequest},
      {"bulk", &Scenario::bulk},
      {"completion", &Scenario::completion},
      {"complete", &Scenario::complete},
      {"abort", &Scenario::abort},
      {"clear-stall", &Scenario::clearStall},
      {"port-reset", &Scenario::portReset},
      {"unplug", &Scenario::unplug},
  };
  return steps;
}

bool Scenario::runLine(const std::string &line) {
  std::istringstream words(line.substr(0, line.find('#')));
  std::string verb;
  if (!(words >> verb)) return true;
  sim::platform().trace.add("step", line.substr(0, line.find('#')));
  bool ran = runStep(verb, words);
  // Between two lines the machine goes idle: deferred completions and the I/O manager's APCs run.
  sim::platform().runAllPendingWork();
  reportCompletions();
  return ran;
}

bool Scenario::runStep(const std::string &verb, std::istream &words) {
  std::string name;
  auto &p = sim::platform();
  if (verb == "plug") return plug(words);
  if (verb == "fail-next-alloc") {
    p.faults.failAllocation(1);
    return true;
  }
  if (verb == "expect") return (words >> name) ? expect(name) : fail("expect needs a status name");
  if (verb == "unload") {
    last_ = pnp_.unloadDriver();
    return true;
  }
  if (!(words >> name)) return fail(verb + " needs a bridge name");
  sim::UsbBridge *bridge = bridgeNamed(name);
  if (bridge == nullptr) return fail("no bridge named " + name);
  if (verb == "add") {
    last_ = pnp_.addDevice(*bridge);
    return true;
  }
  if (verb == "fail-next-usb") {
    bridge->failUrb(1);
    return true;
  }
  if (kPnpVerbs.count(verb)) return pnpRequest(verb, *bridge);
  auto step = bridgeSteps().find(verb);
  if (step == bridgeSteps().end()) return fail("unknown step: " + verb);
  return (this->*step->second)(name, *bridge, words);
}

// plug NAME [vid=HEX] [pid=HEX] [endpoints=LIST] [set=HEX BYTES...] [completion=inline|deferred]
bool Scenario::plug(std::istream &words) {
  std::string name, option;
  if (!(words >> name)) return fail("plug needs a bridge name");
  if (bridges_.count(name)) return fail("a bridge named " + name + " is already plugged");
  sim::BridgeSetup setup = sim::BridgeSetup::standard();
  sim::Completion completion = sim::Completion::Inline;
  while (words >> option) {
    size_t equals = option.find('=');
    std::string key = option.substr(0, equals), value = equals == std::string::npos ? "" : option.substr(equals + 1);
    unsigned long number;
    std::vector<sim::EndpointSetup> endpoints;
    if ((key == "vid" || key == "pid") && parseHex(value, number) && number <= 0xFFFF) {
      (key == "vid" ? setup.vendorId : setup.productId) = USHORT(number);
    } else if (key == "endpoints" && parseEndpoints(value, endpoints)) {
      setup.configSet = sim::BridgeSetup::configSetWith(endpoints);
    } else if (key == "set") {
      std::string rest;
      std::getline(words, rest);
      setup.configSet.clear();
      if (!parseBytes(value + rest, setup.configSet)) return fail("set= wants hexadecimal bytes");
    } else if (key == "completion" && (value == "inline" || value == "deferred")) {
      completion = value == "inline" ? sim::Completion::Inline : sim::Completion::Deferred;
    } else {
      return fail("plug: cannot use " + option);
    }
  }
  sim::UsbBridge &bridge = pnp_.plug(setup);
  bridge.urbCompletion = completion;
  bridge.startCompletion = completion;
  bridges_[name] = &bridge;
  return true;
}

// Windows removes a device whose start failed; every other request goes alone.
bool Scenario::pnpRequest(const std::string &verb, sim::UsbBridge &bridge) {
  UCHAR minor = kPnpVerbs.at(verb);
  last_ = minor == IRP_MN_START_DEVICE ? pnp_.start(bridge) : pnp_.send(bridge, minor);
  return true;
}

bool Scenario::expect(const std::string &statusName) {
  if (sim::statusName(last_) == statusName) return true;
  return fail("expected " + statusName + ", got " + sim::statusName(last_));
}
