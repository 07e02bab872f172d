// The bus and Wine's PnP manager: plugging and unplugging bridges through the
// bus's control device, how each answers, and the waits for what the PnP
// manager does by itself once a bridge appears or leaves.
#include <ntstatus.h>

#include <algorithm>
#include <cstring>

#include "device_node.h"
#include "install.h"
#include "nt_status.h"
#include "script_args.h"
#include "script_words.h"
#include "wine_scenario.h"

namespace {

// Wine starts a driver host and loads the driver for the first bridge: seconds, not minutes.
constexpr uint32_t kPnpWithinMs = 30000;
constexpr uint16_t kStart = 0x00, kRemove = 0x02, kSurpriseRemoval = 0x17;
constexpr uint32_t kUsbdStall = 0xC0000004;
constexpr uint32_t kPortConnectedAndEnabled = 3;
constexpr uint16_t kSelectConfiguration = 0x0000;
// The digits the driver's link names can take.
constexpr int kDigits = 10;

// The script's modes and requests are the bus's, in the same order.
static_assert(int(BulkMode::Loopback) == HarlenLoopback && int(BulkMode::Pattern) == HarlenPattern &&
              int(BulkMode::Short) == HarlenShort && int(BulkMode::Stall) == HarlenStall &&
              int(BulkMode::Hold) == HarlenHold && int(BulkMode::Discard) == HarlenDiscard);
static_assert(int(VendorRequest::WordAtFFFC) == HarlenWordAtFFFC &&
              int(VendorRequest::WordAt00AE) == HarlenWordAt00AE && int(VendorRequest::Vendor4) == HarlenVendor4 &&
              int(VendorRequest::Vendor12) == HarlenVendor12 && int(VendorRequest::GetMaxLun) == HarlenGetMaxLun);

// The emulated bus always completes from its DPC: an inline completion runs deferred there.
HarlenBusCompletion busCompletion(Completion completion) {
  return completion == Completion::Manual ? HarlenManual : HarlenDeferred;
}

std::wstring linkOf(int digit) { return L"\\\\.\\Harlen" + std::to_wstring(digit); }

// The simulated bridge's defaults, so both kernels start from the same bridge.
HarlenBusBehaviour defaultBehaviour(uint32_t bridge) {
  return {bridge, HarlenLoopback, HarlenLoopback, 512, HarlenDeferred, kPortConnectedAndEnabled};
}

HarlenBusVendor defaultVendor(uint32_t bridge) {
  HarlenBusVendor vendor = {};
  vendor.bridge = bridge;
  vendor.wordAtFFFC = 7;
  vendor.wordAt00AE = 0x0100;
  return vendor;
}

void copyAnswer(const std::vector<uint8_t> &answer, uint8_t *to, uint8_t &length) {
  std::copy(answer.begin(), answer.end(), to);
  length = static_cast<uint8_t>(answer.size());
}

}  // namespace

const std::map<std::string, WineScenario::BridgeStep> &WineScenario::bridgeSteps() {
  static const std::map<std::string, BridgeStep> steps = {
      {"add", &WineScenario::add},
      {"start", &WineScenario::start},
      {"surprise-removal", &WineScenario::surpriseRemoval},
      {"remove", &WineScenario::remove},
      {"unplug", &WineScenario::unplug},
      {"fail-next-usb", &WineScenario::failNextUsb},
      {"bulk", &WineScenario::bulk},
      {"completion", &WineScenario::completion},
      {"complete", &WineScenario::complete},
      {"vendor", &WineScenario::vendor},
      {"open", &WineScenario::open},
      {"close", &WineScenario::close},
      {"read", &WineScenario::read},
      {"write", &WineScenario::write},
      {"cancel", &WineScenario::cancel},
      {"verify", &WineScenario::verify},
      {"expect-request", &WineScenario::expectRequest},
      {"ioctl", &WineScenario::ioctl},
      {"abort", &WineScenario::abort},
      {"clear-stall", &WineScenario::clearStall},
      {"port-reset", &WineScenario::portReset},
      {"control", &WineScenario::control},
  };
  return steps;
}

// plug NAME [vid=HEX] [pid=HEX] [endpoints=LIST] [set=HEX BYTES...] [completion=inline|deferred]
bool WineScenario::plug(std::istream &words) {
  std::string name, option;
  if (!(words >> name)) return fail("plug needs a bridge name");
  if (bridges_.count(name)) return fail("a bridge named " + name + " is already plugged");
  HarlenBusPlug setup = {};
  setup.vendorId = 0x0590;
  setup.productId = 0x0002;
  std::vector<uint8_t> set = configSetWith({{0x81, 2}, {0x02, 2}});
  while (words >> option) {
    std::string key, value;
    splitOption(option, key, value);
    unsigned long number;
    std::vector<Endpoint> endpoints;
    Completion way;
    if ((key == "vid" || key == "pid") && parseHex(value, number) && number <= 0xFFFF) {
      (key == "vid" ? setup.vendorId : setup.productId) = static_cast<uint16_t>(number);
    } else if (key == "endpoints" && parseEndpointList(value, endpoints)) {
      set = configSetWith(endpoints);
    } else if (key == "set") {
      std::string rest;
      std::getline(words, rest);
      set.clear();
      if (!parseBytes(value + rest, set) || set.size() > HARLEN_BUS_MAX_CONFIG)
        return fail("set= wants at most " + std::to_string(HARLEN_BUS_MAX_CONFIG) + " hexadecimal bytes");
    } else if (!(key == "completion" && parseCompletion(value, way) && way != Completion::Manual)) {
      return fail("plug: cannot use " + option);
    }
  }
  setup.configLength = static_cast<uint32_t>(set.size());
  std::copy(set.begin(), set.end(), setup.config);
  uint32_t number;
  if (!bus_.plug(setup, number)) return fail(bus_.error());
  Bridge &bridge = bridges_[name];
  bridge.number = number;
  bridge.hardwareId = usbHardwareId(setup.vendorId, setup.productId);
  bridge.pipes = pipesOf(set);
  bridge.behaviour = defaultBehaviour(number);
  bridge.vendor = defaultVendor(number);
  report("bus", "plugged " + name + " as bridge " + std::to_string(number));
  return true;
}

// add NAME: Wine's PnP manager found the bridge and the driver's add-device attached a device.
bool WineScenario::add(const std::string &name, Bridge &bridge, std::istream &args) {
  if (!endOfLine(args)) return fail("add takes a bridge name only");
  if (bus_.outsideMachine()) return addOnWire(name, bridge);
  HarlenBusState state = {};
  bool attached = watch_.waitFor([&] { return bus_.query(bridge.number, state) && state.attached; }, kPnpWithinMs,
                                 "the driver's device on " + name);
  if (!attached) return fail(watch_.error());
  setStatus(STATUS_SUCCESS);
  return true;
}

// start NAME: the start's select-configuration succeeded and the driver's link
// opens, or the start failed (the bus goes quiet without it, or the PDO is removed).
bool WineScenario::start(const std::string &name, Bridge &bridge, std::istream &args) {
  if (!endOfLine(args)) return fail("start takes a bridge name only");
  if (bus_.outsideMachine()) return startOnWire(name, bridge);
  bool selected = false, removed = false;
  const HarlenWireRecord *failure = nullptr;
  auto decided = [&] {
    for (const auto &sequenced : watch_.records()) {
      const HarlenWireRecord &r = sequenced.second;
      if (r.bridge != bridge.number || r.kind != HarlenWireUrb || !(r.flags & HARLEN_WIRE_COMPLETED)) continue;
      if (r.status != STATUS_SUCCESS) failure = &r;
      selected |= r.function == kSelectConfiguration && !(r.flags & HARLEN_WIRE_NULL_CONFIGURATION) &&
                  r.status == STATUS_SUCCESS;
    }
    removed = pnpRecord(bridge, kRemove) || pnpRecord(bridge, kSurpriseRemoval);
    return selected || removed;
  };
  auto arrived = [&] { return decided() || pnpRecord(bridge, kStart); };
  if (!watch_.waitFor(arrived, kPnpWithinMs, "the start of " + name)) return fail(watch_.error());
  // The start reached the bus; the driver's own requests follow it, or none do.
  if (!decided() && !watch_.waitQuiet(bridgeNumbers())) return fail(watch_.error());
  decided();
  if (selected && !removed) {
    if (!findDigit(name, bridge)) return false;
    setStatus(STATUS_SUCCESS);
    return true;
  }
  // Wine does not tell a program how a start failed: the bus's last failed request stands for it.
  setStatus(failure ? failure->status : STATUS_UNSUCCESSFUL);
  report("pnp", "the start of " + name + " failed");
  return true;
}

// The driver names its device with the lowest digit no other device holds
// when it is added: the link of that digit must open, and no other that is free.
bool WineScenario::findDigit(const std::string &name, Bridge &bridge) {
  std::vector<bool> held(kDigits, false);
  for (const auto &other : bridges_)
    if (&other.second != &bridge && other.second.digit >= 0 && !pnpRecord(other.second, kRemove))
      held[other.second.digit] = true;
  int expected = static_cast<int>(std::find(held.begin(), held.end(), false) - held.begin());
  int found = -1;
  auto opens = [&] {
    for (int digit = 0; digit < kDigits && found < 0; ++digit) {
      if (held[digit]) continue;
      HANDLE probe = CreateFileW(linkOf(digit).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
      if (probe == INVALID_HANDLE_VALUE) continue;
      CloseHandle(probe);
      found = digit;
    }
    return found >= 0;
  };
  if (!watch_.waitFor(opens, kPnpWithinMs, "a link of the driver's device on " + name + " opening"))
    return fail(watch_.error());
  if (found != expected)
    return fail("the driver named " + name + "'s device Harlen" + std::to_string(found) + ", not Harlen" +
                std::to_string(expected) + ", the lowest digit free");
  bridge.digit = found;
  return true;
}

bool WineScenario::waitForPnp(const std::string &name, Bridge &bridge, uint16_t minor, const char *what) {
  const HarlenWireRecord *record = nullptr;
  auto arrived = [&] {
    record = pnpRecord(bridge, minor);
    return record && (record->flags & HARLEN_WIRE_COMPLETED);
  };
  if (!watch_.waitFor(arrived, kPnpWithinMs, std::string(what) + " of " + name)) return fail(watch_.error());
  setStatus(record->status);
  return true;
}

// surprise-removal NAME, remove NAME: Wine sends them itself once the bridge is unplugged.
bool WineScenario::surpriseRemoval(const std::string &name, Bridge &bridge, std::istream &args) {
  if (!endOfLine(args)) return fail("surprise-removal takes a bridge name only");
  if (bus_.outsideMachine()) return surpriseRemovalOnWire(name, bridge);
  return waitForPnp(name, bridge, kSurpriseRemoval, "the surprise removal");
}

bool WineScenario::remove(const std::string &name, Bridge &bridge, std::istream &args) {
  if (!endOfLine(args)) return fail("remove takes a bridge name only");
  if (bus_.outsideMachine()) return removeOnWire(name, bridge);
  return waitForPnp(name, bridge, kRemove, "the removal");
}

bool WineScenario::unplug(const std::string &, Bridge &bridge, std::istream &args) {
  if (!endOfLine(args)) return fail("unplug takes a bridge name only");
  return bus_.unplug(bridge.number) || fail(bus_.error());
}

bool WineScenario::failNextUsb(const std::string &, Bridge &bridge, std::istream &args) {
  if (!endOfLine(args)) return fail("fail-next-usb takes a bridge name only");
  HarlenBusFault fault = {bridge.number, HarlenStallNext, kUsbdStall};
  return bus_.fault(fault) || fail(bus_.error());
}

// bulk NAME [reads=MODE] [writes=MODE] [short=N]
bool WineScenario::bulk(const std::string &, Bridge &bridge, std::istream &args) {
  BulkLine line;
  std::string error;
  if (!parseBulkLine(args, line, error)) return fail(error);
  HarlenBusBehaviour behaviour = bridge.behaviour;
  if (line.reads) behaviour.reads = static_cast<uint32_t>(*line.reads);
  if (line.writes) behaviour.writes = static_cast<uint32_t>(*line.writes);
  if (line.shortLength) behaviour.shortLength = *line.shortLength;
  if (!bus_.behave(behaviour)) return fail(bus_.error());
  bridge.behaviour = behaviour;
  return true;
}

// completion NAME inline|deferred|manual
bool WineScenario::completion(const std::string &, Bridge &bridge, std::istream &args) {
  Completion way;
  std::string error;
  if (!parseCompletionLine(args, way, error)) return fail(error);
  HarlenBusBehaviour behaviour = bridge.behaviour;
  behaviour.completion = busCompletion(way);
  if (!bus_.behave(behaviour)) return fail(bus_.error());
  bridge.behaviour = behaviour;
  return true;
}

// complete NAME EP [all]
bool WineScenario::complete(const std::string &, Bridge &bridge, std::istream &args) {
  CompleteLine line;
  std::string error;
  if (!parseCompleteLine(args, line, error)) return fail(error);
  HarlenBusComplete request = {bridge.number, line.endpoint, static_cast<uint8_t>(line.all), 0};
  uint32_t completed = 0;
  if (!bus_.complete(request, completed)) return fail(bus_.error());
  if (completed == 0) return fail("complete: no transfer on pipe " + line.endpointText + " can complete");
  return true;
}

// vendor NAME [fffc=HEX] [00ae=HEX] [maxlun=N] [vendor4=HEX] [vendor12=HEX] [stall=WHICH]...
bool WineScenario::vendor(const std::string &, Bridge &bridge, std::istream &args) {
  VendorLine line;
  std::string error;
  if (!parseVendorLine(args, HARLEN_BUS_MAX_ANSWER, line, error)) return fail(error);
  HarlenBusVendor vendor = bridge.vendor;
  if (line.wordAtFFFC) vendor.wordAtFFFC = *line.wordAtFFFC;
  if (line.wordAt00AE) vendor.wordAt00AE = *line.wordAt00AE;
  if (line.maxLun) vendor.maxLun = *line.maxLun;
  if (line.vendor4In) copyAnswer(*line.vendor4In, vendor.vendor4In, vendor.vendor4Length);
  if (line.vendor12In) copyAnswer(*line.vendor12In, vendor.vendor12In, vendor.vendor12Length);
  for (VendorRequest stalled : line.stalls) vendor.failures[static_cast<int>(stalled)] = kUsbdStall;
  if (!bus_.answer(vendor)) return fail(bus_.error());
  bridge.vendor = vendor;
  return true;
}

// remove-bus: the bus's root device is uninstalled; every bridge's stack goes
// with it and the driver's links disappear. Wine only: the host has no bus device.
bool WineScenario::removeBusStep(std::istream &args) {
  if (!endOfLine(args)) return fail("remove-bus takes no argument");
  std::string error;
  if (!removeBus(error)) return fail(error);
  busGone_ = true;
  setStatus(STATUS_SUCCESS);
  DWORD start = GetTickCount();
  for (const auto &named : bridges_) {
    if (named.second.digit < 0) continue;
    for (;;) {
      HANDLE probe = CreateFileW(linkOf(named.second.digit).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
      if (probe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) break;
      if (probe != INVALID_HANDLE_VALUE) CloseHandle(probe);
      if (GetTickCount() - start >= kPnpWithinMs)
        return fail("the link of " + named.first + " is still there after the bus was removed");
      Sleep(20);
    }
    report("pnp", "the link of " + named.first + " is gone");
  }
  return true;
}
