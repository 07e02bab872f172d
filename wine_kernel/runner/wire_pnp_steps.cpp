// add, start, surprise-removal and remove for a bridge outside the machine (a
// USB device the guest's own host controller found): no bus of ours records
// the PnP requests, so each step waits for what the guest's PnP manager shows
// once the request is done: the driver's link made by its add-device, the
// device node started, the link gone at the surprise removal, the node gone
// at the removal.
#include <ntstatus.h>

#include <functional>

#include "device_node.h"
#include "install.h"
#include "wine_scenario.h"

namespace {

// The first bridge of a boot has its driver installed from the INF first, under emulation.
constexpr DWORD kWithinMs = 240000;
// The PnP manager's own installation of a new device's driver starts within this long, or not at all.
constexpr DWORD kInstallStartsWithinMs = 30000;
constexpr DWORD kPollMs = 250;
constexpr int kDigits = 10;

std::wstring dosName(int digit) { return L"Harlen" + std::to_wstring(digit); }

std::string describe(const DeviceNode &node) {
  if (!node.present) return "no device node";
  return std::string("its device node ") + (node.started ? "started" : "not started") +
         (node.problem ? ", problem " + std::to_string(node.problem) : "") +
         (node.service.empty() ? ", no driver" : ", driver " + node.service);
}

bool waitUntil(const std::function<bool()> &done, DWORD withinMs = kWithinMs) {
  DWORD start = GetTickCount();
  for (;;) {
    if (done()) return true;
    if (GetTickCount() - start >= withinMs) return false;
    Sleep(kPollMs);
  }
}

}  // namespace

// The device nodes of the other bridges: a bridge's own is the one none of them has.
std::vector<std::wstring> WineScenario::otherInstances(const Bridge &bridge) const {
  std::vector<std::wstring> others;
  for (const auto &named : bridges_)
    if (&named.second != &bridge && !named.second.instance.empty()) others.push_back(named.second.instance);
  return others;
}

DeviceNode WineScenario::nodeOf(const Bridge &bridge) const {
  DeviceNode node = findDeviceNode(bridge.hardwareId, otherInstances(bridge));
  return node.instance == bridge.instance ? node : DeviceNode();
}

bool WineScenario::addOnWire(const std::string &name, Bridge &bridge) {
  DeviceNode node;
  auto hasDriver = [&] {
    node = findDeviceNode(bridge.hardwareId, otherInstances(bridge));
    return node.present && !node.service.empty();
  };
  if (!waitUntil(hasDriver, kInstallStartsWithinMs) && node.present && !fallbackInf_.empty()) {
    // The guest's PnP manager left the new device without a driver: install
    // it from the INF as the device manager's "update driver" does.
    OutputDebugStringA("varrow-guest: note: no driver on the new bridge after 30 s; installing it from its INF\n");
    std::string error;
    if (!installForDevice(bridge.hardwareId, fallbackInf_, error)) return fail(error);
  }
  auto added = [&] {
    node = findDeviceNode(bridge.hardwareId, otherInstances(bridge));
    if (!node.present) return false;
    for (int digit = 0; digit < kDigits; ++digit) {
      bool held = false;
      for (const auto &other : bridges_) held |= &other.second != &bridge && other.second.digit == digit;
      if (!held && dosNameExists(dosName(digit))) return true;
    }
    return false;
  };
  if (!waitUntil(added))
    return fail("the driver's device on " + name + " did not appear within " + std::to_string(kWithinMs / 1000) +
                " s: " + describe(node));
  bridge.instance = node.instance;
  setStatus(STATUS_SUCCESS);
  return true;
}

bool WineScenario::startOnWire(const std::string &name, Bridge &bridge) {
  DeviceNode node;
  auto decided = [&] {
    node = nodeOf(bridge);
    return !node.present || node.started || node.problem != 0;
  };
  if (!waitUntil(decided))
    return fail("the start of " + name + " did not happen within " + std::to_string(kWithinMs / 1000) + " s");
  if (node.started) {
    if (!findDigit(name, bridge)) return false;
    setStatus(STATUS_SUCCESS);
    return true;
  }
  // The PnP manager does not say how a start failed, only that it did.
  setStatus(STATUS_UNSUCCESSFUL);
  report("pnp", "the start of " + name + " failed: " + describe(node));
  return true;
}

bool WineScenario::surpriseRemovalOnWire(const std::string &name, Bridge &bridge) {
  if (bridge.digit < 0) return fail(name + " never started: no link to watch");
  if (!waitUntil([&] { return !dosNameExists(dosName(bridge.digit)); }))
    return fail("the link of " + name + " is still there " + std::to_string(kWithinMs / 1000) +
                " s after the bridge left");
  setStatus(STATUS_SUCCESS);
  return true;
}

bool WineScenario::removeOnWire(const std::string &name, Bridge &bridge) {
  if (!waitUntil([&] { return !nodeOf(bridge).present; }))
    return fail("the device node of " + name + " is still present " + std::to_string(kWithinMs / 1000) +
                " s after the bridge left");
  // A bridge plugged into the same port later gets the same instance id, and
  // the driver gives the freed digit to the next device it adds.
  bridge.instance.clear();
  bridge.digit = -1;
  setStatus(STATUS_SUCCESS);
  return true;
}
