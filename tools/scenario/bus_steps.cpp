// What the bus does with transfers (modes, completion, unplugging), and the
// driver's recovery routines called as its own code calls them, at PASSIVE_LEVEL.
#include "harlen.h"
#include "scenario.h"
#include "script_words.h"

namespace {

const std::map<std::string, sim::BulkMode> kBulkModes = {
    {"loopback", sim::BulkMode::Loopback}, {"pattern", sim::BulkMode::Pattern}, {"short", sim::BulkMode::Short},
    {"stall", sim::BulkMode::Stall},       {"hold", sim::BulkMode::Hold},       {"discard", sim::BulkMode::Discard},
};

const std::map<std::string, sim::Completion> kCompletions = {
    {"inline", sim::Completion::Inline}, {"deferred", sim::Completion::Deferred}, {"manual", sim::Completion::Manual}};

}  // namespace

PDEVICE_OBJECT Scenario::functionDevice(const std::string &verb, const std::string &name, sim::UsbBridge &bridge) {
  PDEVICE_OBJECT fdo = pnp_.functionDevice(bridge);
  if (fdo == nullptr) fail(verb + ": the driver has no device on " + name);
  return fdo;
}

// bulk NAME [reads=MODE] [writes=MODE] [short=N]
bool Scenario::bulk(const std::string &, sim::UsbBridge &bridge, std::istream &args) {
  sim::BulkBehaviour behaviour = bridge.bulk;
  std::string option, key, value;
  bool any = false;
  while (args >> option) {
    uint32_t length;
    bool split = splitOption(option, key, value);
    auto mode = kBulkModes.find(value);
    if (split && (key == "reads" || key == "writes") && mode != kBulkModes.end())
      (key == "reads" ? behaviour.reads : behaviour.writes) = mode->second;
    else if (split && key == "short" && parseLength(value, length))
      behaviour.shortLength = length;
    else
      return fail("bulk: cannot use " + option);
    any = true;
  }
  if (!any) return fail("bulk needs reads=MODE, writes=MODE or short=N");
  bridge.bulk = behaviour;
  return true;
}

// completion NAME inline|deferred|manual: how the bus completes URBs from now on.
bool Scenario::completion(const std::string &, sim::UsbBridge &bridge, std::istream &args) {
  std::string word;
  auto way = args >> word ? kCompletions.find(word) : kCompletions.end();
  if (way == kCompletions.end() || !endOfLine(args)) return fail("completion wants inline, deferred or manual");
  bridge.urbCompletion = way->second;
  return true;
}

// complete NAME EP [all]: the head transfer of the pipe, or every one it holds, completes as its mode says.
bool Scenario::complete(const std::string &, sim::UsbBridge &bridge, std::istream &args) {
  std::string text, all;
  UCHAR endpoint;
  if (!(args >> text) || !parseEndpoint(text, endpoint)) return fail("complete needs an endpoint address: 81, 02");
  bool every = static_cast<bool>(args >> all);
  if ((every && all != "all") || !endOfLine(args)) return fail("complete: cannot use " + all);
  unsigned completed = 0;
  while ((every || completed == 0) && bridge.completeNext(endpoint)) ++completed;
  if (completed == 0) return fail("complete: no transfer on pipe " + text + " can complete");
  return true;
}

// abort NAME SELECTOR: KxCallAbortPipe (1 the IN pipe, 2 the OUT pipe, 3 the transfer in flight).
bool Scenario::abort(const std::string &name, sim::UsbBridge &bridge, std::istream &args) {
  std::string text;
  unsigned long selector;
  if (!(args >> text) || !parseDecimal(text, selector) || !endOfLine(args))
    return fail("abort needs a selector: 1, 2, 3");
  PDEVICE_OBJECT fdo = functionDevice("abort", name, bridge);
  if (fdo == nullptr) return false;
  setStatus(KxCallAbortPipe(fdo, selector));
  return true;
}

// clear-stall NAME EP: KxClearStall, the endpoint's halt feature cleared.
bool Scenario::clearStall(const std::string &name, sim::UsbBridge &bridge, std::istream &args) {
  std::string text;
  UCHAR endpoint;
  if (!(args >> text) || !parseEndpoint(text, endpoint) || !endOfLine(args))
    return fail("clear-stall needs an endpoint address: 81, 02");
  PDEVICE_OBJECT fdo = functionDevice("clear-stall", name, bridge);
  if (fdo == nullptr) return false;
  setStatus(KxClearStall(fdo, endpoint));
  return true;
}

// port-reset NAME [status=HEX]: KxResetDevice, the port reporting this status word first
// (1 enabled, 2 connected).
bool Scenario::portReset(const std::string &name, sim::UsbBridge &bridge, std::istream &args) {
  std::string option, key, value;
  unsigned long status = 0;
  if (args >> option && (!splitOption(option, key, value) || key != "status" || !parseHex(value, status) ||
                         status > 0xFFFFFFFF || !endOfLine(args)))
    return fail("port-reset: cannot use " + option);
  PDEVICE_OBJECT fdo = functionDevice("port-reset", name, bridge);
  if (fdo == nullptr) return false;
  if (!option.empty()) bridge.portStatus = static_cast<ULONG>(status);
  setStatus(KxResetDevice(fdo));
  return true;
}

// unplug NAME: the bridge leaves the bus; what it holds fails as for a removed device.
bool Scenario::unplug(const std::string &, sim::UsbBridge &bridge, std::istream &args) {
  if (!endOfLine(args)) return fail("unplug takes a bridge name only");
  bridge.unplug();
  return true;
}
