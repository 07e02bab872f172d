// What the bus does with transfers (modes, completion, unplugging), and the
// driver's recovery routines called as its own code calls them, at PASSIVE_LEVEL.
#include "harlen.h"
#include "scenario.h"
#include "script_to_sim.h"
#include "script_words.h"

PDEVICE_OBJECT Scenario::functionDevice(const std::string &verb, const std::string &name, sim::UsbBridge &bridge) {
  PDEVICE_OBJECT fdo = pnp_.functionDevice(bridge);
  if (fdo == nullptr) fail(verb + ": the driver has no device on " + name);
  return fdo;
}

// bulk NAME [reads=MODE] [writes=MODE] [short=N]
bool Scenario::bulk(const std::string &, sim::UsbBridge &bridge, std::istream &args) {
  BulkLine line;
  std::string error;
  if (!parseBulkLine(args, line, error)) return fail(error);
  if (line.reads) bridge.bulk.reads = simMode(*line.reads);
  if (line.writes) bridge.bulk.writes = simMode(*line.writes);
  if (line.shortLength) bridge.bulk.shortLength = *line.shortLength;
  return true;
}

// completion NAME inline|deferred|manual: how the bus completes URBs from now on.
bool Scenario::completion(const std::string &, sim::UsbBridge &bridge, std::istream &args) {
  Completion way;
  std::string error;
  if (!parseCompletionLine(args, way, error)) return fail(error);
  bridge.urbCompletion = simCompletion(way);
  return true;
}

// complete NAME EP [all]: the head transfer of the pipe, or every one it holds, completes as its mode says.
bool Scenario::complete(const std::string &, sim::UsbBridge &bridge, std::istream &args) {
  CompleteLine line;
  std::string error;
  if (!parseCompleteLine(args, line, error)) return fail(error);
  unsigned completed = 0;
  while ((line.all || completed == 0) && bridge.completeNext(line.endpoint)) ++completed;
  if (completed == 0) return fail("complete: no transfer on pipe " + line.endpointText + " can complete");
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
  uint8_t endpoint;
  std::string error;
  if (!parseClearStallLine(args, endpoint, error)) return fail(error);
  PDEVICE_OBJECT fdo = functionDevice("clear-stall", name, bridge);
  if (fdo == nullptr) return false;
  setStatus(KxClearStall(fdo, endpoint));
  return true;
}

// port-reset NAME [status=HEX]: KxResetDevice, the port reporting this status word first
// (1 enabled, 2 connected).
bool Scenario::portReset(const std::string &name, sim::UsbBridge &bridge, std::istream &args) {
  std::optional<uint32_t> status;
  std::string error;
  if (!parsePortResetLine(args, status, error)) return fail(error);
  PDEVICE_OBJECT fdo = functionDevice("port-reset", name, bridge);
  if (fdo == nullptr) return false;
  if (status) bridge.portStatus = *status;
  setStatus(KxResetDevice(fdo));
  return true;
}

// unplug NAME: the bridge leaves the bus; what it holds fails as for a removed device.
bool Scenario::unplug(const std::string &, sim::UsbBridge &bridge, std::istream &args) {
  if (!endOfLine(args)) return fail("unplug takes a bridge name only");
  bridge.unplug();
  return true;
}
