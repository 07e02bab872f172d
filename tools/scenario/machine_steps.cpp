// The simulated machine around the driver: its kernel, the order of the PnP
// manager's requests, how a bridge answers vendor and class requests, and the
// legacy kernel's device tree with its removal vetoes.
#include <cstdint>
#include <sstream>

#include "scenario.h"
#include "script_to_sim.h"
#include "script_words.h"
#include "sim/legacy_kernel.h"

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
  for (std::string line; std::getline(tree, line);) sim::platform().trace.addMade("cm", line);
  return true;
}

// vendor NAME [fffc=HEX] [00ae=HEX] [maxlun=N] [vendor4=HEX] [vendor12=HEX] [stall=WHICH]...
bool Scenario::vendor(const std::string &, sim::UsbBridge &bridge, std::istream &args) {
  VendorLine line;
  std::string error;
  if (!parseVendorLine(args, SIZE_MAX, line, error)) return fail(error);
  sim::VendorSetup &vendor = bridge.vendor;
  if (line.wordAtFFFC) vendor.wordAtFFFC = *line.wordAtFFFC;
  if (line.wordAt00AE) vendor.wordAt00AE = *line.wordAt00AE;
  if (line.maxLun) vendor.maxLun = *line.maxLun;
  if (line.vendor4In) vendor.vendor4In = *line.vendor4In;
  if (line.vendor12In) vendor.vendor12In = *line.vendor12In;
  for (VendorRequest stalled : line.stalls) vendor.failures[simRequest(stalled)] = USBD_STATUS_STALL_PID;
  return true;
}
