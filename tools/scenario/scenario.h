// Runs a scenario script against the driver on the simulated platform: one
// line per event (plug a bridge, a PnP or power request, an injected failure,
// a user's read, write or device control, what the bus does with it, a
// recovery routine of the driver, the legacy kernel's device tree).
#pragma once

#include <deque>
#include <functional>
#include <istream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "outcome_writer.h"
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
  // What the last line's step gave: its status, for the steps that have one; its
  // information, for those that report one; the reads and writes that ended during it.
  const std::optional<NTSTATUS> &stepStatus() const { return stepStatus_; }
  const std::optional<ULONG_PTR> &stepInformation() const { return lastInformation_; }
  const std::vector<outcome::RequestEnd> &endedRequests() const { return ended_; }

 private:
  bool runStep(const std::string &verb, std::istream &words);
  bool pnpRequest(const std::string &verb, sim::UsbBridge &bridge);
  sim::UsbBridge *bridgeNamed(const std::string &name);
  bool fail(const std::string &why);
  void setStatus(NTSTATUS status) { stepStatus_ = last_ = status; }
  // Steps on the whole machine: "VERB ARGS...".
  using MachineStep = bool (Scenario::*)(std::istream &args);
  static const std::map<std::string, MachineStep> &machineSteps();
  bool plug(std::istream &args);
  bool failNextAlloc(std::istream &args);
  bool expect(std::istream &args);
  bool unload(std::istream &args);
  // Steps on one bridge: "VERB NAME ARGS...".
  using BridgeStep = bool (Scenario::*)(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  static const std::map<std::string, BridgeStep> &bridgeSteps();

  // User handles, reads and writes (user_steps.cpp).
  struct UserSide {
    std::optional<sim::UserFile> file;
    bool caller32 = false;     // the handle's process is a 32-bit one
    std::u16string link;       // the bridge's link, as last seen
    std::deque<UCHAR> loopback;  // what loopback writes put in the bridge's stream and reads have not taken
    std::shared_ptr<UserTransfer> last;
    std::optional<ReadCheck> lastRead;
  };
  bool open(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  bool close(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  bool cancel(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
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

  // Device controls through a user handle (device_steps.cpp).
  bool ioctl(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  bool control(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  // Sends one METHOD_BUFFERED code through NAME's handle and waits for its end; null (with error()) when it cannot.
  std::shared_ptr<sim::UserRequest> sendControl(const std::string &verb, const std::string &name, ULONG code,
                                                const std::vector<uint8_t> &input, std::vector<uint8_t> &output);

  // Power requests as Windows' power manager sends them (power_steps.cpp).
  bool power(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  bool sleep(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  bool wake(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  bool waitWake(const std::string &name, sim::UsbBridge &bridge, std::istream &args);
  bool cancelWaitWake(const std::string &name, sim::UsbBridge &bridge, std::istream &args);

  // The machine's kernel, the PnP manager's order, the bridge's vendor answers
  // and the legacy kernel's device tree (machine_steps.cpp).
  bool kernel(std::istream &args);
  bool pnpOrder(std::istream &args);
  bool vetoRemoval(std::istream &args);
  bool legacyTree(std::istream &args);
  bool vendor(const std::string &name, sim::UsbBridge &bridge, std::istream &args);

  sim::PnpManager pnp_;
  std::map<std::string, sim::UsbBridge *> bridges_;
  std::map<std::string, UserSide> users_;
  std::vector<std::pair<std::string, std::shared_ptr<UserTransfer>>> unreported_;  // bridge name, request
  NTSTATUS last_ = STATUS_SUCCESS;  // the last step's that had one: expect checks it
  std::optional<NTSTATUS> stepStatus_;
  std::vector<outcome::RequestEnd> ended_;
  std::optional<ULONG_PTR> lastInformation_;  // set by the steps whose request reports information
  std::vector<std::vector<uint8_t>> strandedOutputs_;  // outputs of device controls that did not end
  std::string error_;
};
