// Runs a scenario script against the driver on the simulated platform: one
// line per event (plug a bridge, a PnP request, an injected failure, a user's
// read or write, what the bus does with it, a recovery routine of the driver).
#pragma once

#include <deque>
#include <functional>
#include <istream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "user_transfer.h"

class Scenario {
 public:
  Scenario();
  ~Scenario();

  // Runs every line, calling afterLine after each; stops at the first line
  // that cannot be run and returns false.
  bool run(std::istream &script, const std::function<void()> &afterLine = {});
  // One line; false (with error()) when it cannot be run or an expectation fails.
  bool runLine(const std::string &line);

  const std::string &error() const { return error_; }
  NTSTATUS lastStatus() const { return last_; }

 private:
  bool runStep(const std::string &verb, std::istream &words);
  bool plug(std::istream &words);
  bool pnpRequest(const std::string &verb, sim::UsbBridge &bridge);
  bool expect(const std::string &statusName);
  sim::UsbBridge *bridgeNamed(const std::string &name);
  bool fail(const std::string &why);
  // Steps on one bridge: "VERB NAME ARGS...".
  using BridgeStep = bool (Scenario::*)(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  static const std::map<std::string, BridgeStep> &bridgeSteps();

  // User handles, reads and writes (user_steps.cpp).
  struct UserSide {
    std::optional<sim::UserFile> file;
    std::u16string link;       // the bridge's link, as last seen
    std::deque<UCHAR> loopback;  // what loopback writes put in the bridge's stream and reads have not taken
    std::shared_ptr<UserTransfer> last;
    std::optional<ReadCheck> lastRead;
  };
  bool open(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  bool close(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  bool read(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  bool write(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  bool transfer(UCHAR major, const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  bool verify(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  bool expectRequest(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  // Reports the requests that completed since the last call and settles them.
  void reportCompletions();

  // The bus's behaviour and the driver's recovery routines (bus_steps.cpp).
  bool bulk(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  bool completion(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  bool complete(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  bool abort(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  bool clearStall(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  bool portReset(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  bool unplug(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  // The bridge's function device, for the driver's routines; null (with error()) when there is none.
  PDEVICE_OBJECT functionDevice(const std::string &verb, const std::string &name, sim::UsbBridge &bridge);

  sim::PnpManager pnp_;
  std::map<std::string, sim::UsbBridge *> bridges_;
  std::map<std::string, UserSide> users_;
  std::vector<std::pair<std::string, std::shared_ptr<UserTransfer>>> unreported_;  // bridge name, request
  NTSTATUS last_ = STATUS_SUCCESS;
  std::string error_;
};
