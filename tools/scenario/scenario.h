// Runs a scenario script against the driver on the simulated platform: one
// line per event (plug a bridge, a PnP request, an injected failure).
#pragma once

#include <istream>
#include <map>
#include <string>

#include "sim/sim.h"

class Scenario {
 public:
  Scenario();
  ~Scenario();

  // Runs every line; stops at the first line that cannot be run and returns false.
  bool run(std::istream &script);
  // One line; false (with error()) when it cannot be run or an expectation fails.
  bool runLine(const std::string &line);

  const std::string &error() const { return error_; }
  NTSTATUS lastStatus() const { return last_; }

 private:
  bool plug(std::istream &words);
  bool pnpRequest(const std::string &verb, sim::UsbBridge &bridge);
  bool expect(const std::string &statusName);
  sim::UsbBridge *bridgeNamed(const std::string &name);
  bool fail(const std::string &why);

  sim::PnpManager pnp_;
  std::map<std::string, sim::UsbBridge *> bridges_;
  NTSTATUS last_ = STATUS_SUCCESS;
  std::string error_;
};
