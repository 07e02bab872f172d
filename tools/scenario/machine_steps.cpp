// The simulated machine around the driver: its kernel, the order of the PnP
// manager's requests, how a bridge answers vendor and class requests, and the
// legacy kernel's device tree with its removal vetoes.
#include <sstream>

#include "scenario.h"
#include "script_words.h"
#include "sim/legacy_kernel.h"

namespace {

const std::map<std::string, sim::ControlRequest> kControlRequests = {
    {"fffc", sim::ControlRequest::WordAtFFFC},  {"00ae", sim::ControlRequest::WordAt00AE},
    {"vendor4", sim::ControlRequest::Vendor4},  {"vendor12", sim::ControlRequest::Vendor12},
    {"maxlun", sim::ControlRequest::GetMaxLun},
};

bool parseWord(const std::string &text, USHORT &word) {
  unsigned long value;
  if (!parseHex(text, value) || value > 0xFFFF) return false;
  word = static_cast<USHORT>(value);
  return true;
}

bool parseByte(const std::string &text, UCHAR &byte) {
  unsigned long value;
  if (!parseDecimal(text, value) || value > 0xFF) return false;
  byte = static_cast<UCHAR>(value);
  return true;
}

bool parseVendorOption(const std::string &key, const std::string &value, sim::VendorSetup &vendor) {
  if (key == "fffc") return parseWord(value, vendor.wordAtFFFC);
  if (key == "00ae") return parseWord(value, vendor.wordAt00AE);
  if (key == "maxlun") return parseByte(value, vendor.maxLun);
  if (key == "vendor4" || key == "vendor12") {
    std::vector<uint8_t> &answer = key == "vendor4" ? vendor.vendor4In : vendor.vendor12In;
    answer.clear();
    return parseBytes(value, answer);
  }
  auto request = kControlRequests.find(value);
  if (key != "stall" || request == kControlRequests.end()) return false;
  vendor.failures[request->second] = USBD_STATUS_STALL_PID;
  return true;
}

}  // namespace

// kernel legacy|nt: the kernel the machine runs, for the whole run.
bool Scenario::kernel(std::istream &args) {
  std::string word;
  if (!(args >> word) || (word != "legacy" && word != "nt") || !endOfLine(args))
    return fail("kernel wants legacy or nt");
  if (!bridges_.empty()) return fail("kernel: the kernel is chosen before the first bridge is plugged");
  sim::platform().kernel = word == "legacy" ? sim::KernelKind::Legacy : sim::KernelKind::Nt;
  return true;
}

// pnp-order nt|windows98: the sequences of PnP requests the manager sends from now on.
bool Scenario::pnpOrder(std::istream &args) {
  std::string word;
  if (!(args >> word) || (word != "nt" && word != "windows98") || !endOfLine(args))
    return fail("pnp-order wants nt or windows98");
  pnp_.order = word == "nt" ? sim::PnpOrder::WindowsNt : sim::PnpOrder::Windows98;
  return true;
}

// veto-removal N: the legacy kernel vetoes the next N queried removals of a subtree.
bool Scenario::vetoRemoval(std::istream &args) {
  std::string text;
  unsigned long times;
  if (!(args >> text) || !parseDecimal(text, times) || times > 1000 || !endOfLine(args))
    return fail("veto-removal needs a count: 0 to 1000");
  sim::legacy::vetoRemoval(static_cast<unsigned>(times));
  return true;
}

// legacy-tree: the legacy kernel's device tree, one node a line with its values.
bool Scenario::legacyTree(std::istream &args) {
  if (!endOfLine(args)) return fail("legacy-tree takes no argument");
  std::istringstream tree(sim::legacy::tree());
  for (std::string line; std::getline(tree, line);) sim::platform().trace.add("cm", line);
  return true;
}

// vendor NAME [fffc=HEX] [00ae=HEX] [maxlun=N] [vendor4=HEX] [vendor12=HEX] [stall=WHICH]...
bool Scenario::vendor(const std::string &, sim::UsbBridge &bridge, std::istream &args) {
  sim::VendorSetup vendor = bridge.vendor;
  std::vector<std::string> options = remainingWords(args);
  if (options.empty()) return fail("vendor needs fffc=, 00ae=, maxlun=, vendor4=, vendor12= or stall=");
  for (const std::string &option : options) {
    std::string key, value;
    if (!splitOption(option, key, value) || !parseVendorOption(key, value, vendor))
      return fail("vendor: cannot use " + option);
  }
  bridge.vendor = vendor;
  return true;
}
