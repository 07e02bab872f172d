#include "scenario.h"

#include <sstream>

#include "harlen.h"
#include "script_to_sim.h"
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

}  // namespace

Scenario::Scenario() {
  sim::platform().reset();
  sim::platform().verifier.clear();
  setStatus(pnp_.loadDriver(DriverEntry, KX_POOL_TAG));
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

const std::map<std::string, Scenario::MachineStep> &Scenario::machineSteps() {
  static const std::map<std::string, MachineStep> steps = {
      {"plug", &Scenario::plug},
      {"fail-next-alloc", &Scenario::failNextAlloc},
      {"expect", &Scenario::expect},
      {"unload", &Scenario::unload},
      {"kernel", &Scenario::kernel},
      {"pnp-order", &Scenario::pnpOrder},
      {"veto-removal", &Scenario::vetoRemoval},
      {"legacy-tree", &Scenario::legacyTree},
  };
  return steps;
}

const std::map<std::string, Scenario::BridgeStep> &Scenario::bridgeSteps() {
  static const std::map<std::string, BridgeStep> steps = {
      {"open", &Scenario::open},
      {"cancel", &Scenario::cancel},
      {"close", &Scenario::close},
      {"read", &Scenario::read},
      {"write", &Scenario::write},
      {"verify", &Scenario::verify},
      {"expect-request", &Scenario::expectRequest},
      {"ioctl", &Scenario::ioctl},
      {"control", &Scenario::control},
      {"power", &Scenario::power},
      {"sleep", &Scenario::sleep},
      {"wake", &Scenario::wake},
      {"wait-wake", &Scenario::waitWake},
      {"cancel-wait-wake", &Scenario::cancelWaitWake},
      {"vendor", &Scenario::vendor},
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
  stepStatus_.reset();
  ended_.clear();
  std::istringstream words(line.substr(0, line.find('#')));
  std::string verb;
  if (!(words >> verb)) return true;
  sim::platform().trace.addMade("step", line.substr(0, line.find('#')));
  bool ran = runStep(verb, words);
  // Between two lines the machine goes idle: deferred completions and the I/O manager's APCs run.
  sim::platform().runAllPendingWork();
  reportCompletions();
  return ran;
}

bool Scenario::runStep(const std::string &verb, std::istream &words) {
  // Only the step just run reports information; expect reads it.
  if (verb != "expect") lastInformation_.reset();
  auto machineStep = machineSteps().find(verb);
  if (machineStep != machineSteps().end()) return (this->*machineStep->second)(words);
  std::string name;
  if (!(words >> name)) return fail(verb + " needs a bridge name");
  sim::UsbBridge *bridge = bridgeNamed(name);
  if (bridge == nullptr) return fail("no bridge named " + name);
  if (verb == "add") {
    setStatus(pnp_.addDevice(*bridge));
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

bool Scenario::failNextAlloc(std::istream &) {
  sim::platform().faults.failAllocation(1);
  return true;
}

bool Scenario::unload(std::istream &) {
  setStatus(pnp_.unloadDriver());
  return true;
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
    std::vector<Endpoint> endpoints;
    Completion way;
    if ((key == "vid" || key == "pid") && parseHex(value, number) && number <= 0xFFFF) {
      (key == "vid" ? setup.vendorId : setup.productId) = USHORT(number);
    } else if (key == "endpoints" && parseEndpointList(value, endpoints)) {
      setup.configSet = sim::BridgeSetup::configSetWith(simEndpoints(endpoints));
    } else if (key == "set") {
      std::string rest;
      std::getline(words, rest);
      setup.configSet.clear();
      if (!parseBytes(value + rest, setup.configSet)) return fail("set= wants hexadecimal bytes");
    } else if (key == "completion" && parseCompletion(value, way) && way != Completion::Manual) {
      completion = simCompletion(way);
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
  setStatus(minor == IRP_MN_START_DEVICE ? pnp_.start(bridge) : pnp_.send(bridge, minor));
  return true;
}

// expect STATUS_NAME [information=LEN]: how the previous step ended.
bool Scenario::expect(std::istream &args) {
  ExpectLine line;
  std::string error;
  if (!parseExpectLine(args, line, error)) return fail(error);
  std::string mismatch = expectMismatch(line, sim::statusName(last_), lastInformation_);
  return mismatch.empty() || fail(mismatch);
}
