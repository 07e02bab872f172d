// Runs the scenario runner's script lines against Wine's real kernel: the
// shipped driver installed through its INF, on the emulated USB bus. Bus
// lines go to the bus's control device, PnP lines wait for what Wine's PnP
// manager does by itself, user lines are real Win32 calls on \\.\HarlenN.
// After each line the runner waits until the bus goes quiet, then prints the
// records that reached the bus during the line and the requests that ended.
#pragma once

#include <windows.h>

#include <cstdio>
#include <deque>
#include <functional>
#include <istream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bus_watch.h"
#include "config_set.h"
#include "device_node.h"
#include "outcome_writer.h"
#include "test_bus.h"
#include "transfer_model.h"

// A read, write or device control sent through a handle, followed until it ends.
struct WineRequest {
  std::vector<uint8_t> buffer;  // the caller's data, alive until the request ends
  OVERLAPPED overlapped = {};   // an overlapped handle's request, while in flight
  bool inFlight = false;
  // A request that ended at once, or a synchronous handle's request on its own thread.
  volatile LONG finished = 0;
  int32_t finalStatus = 0;
  uint64_t moved = 0;

  bool done() const;
  int32_t status() const;  // STATUS_PENDING until done
  uint64_t information() const;
  void finish(int32_t status, uint64_t moved);
};

// Sends a request through a handle: on a thread of its own for a synchronous
// handle (it blocks its caller), else overlapped. `call` is the Win32 call,
// given the byte count to fill (synchronous) or the OVERLAPPED (overlapped).
using SystemCall = std::function<BOOL(DWORD *moved, OVERLAPPED *overlapped)>;
void issueRequest(bool sync, const std::shared_ptr<WineRequest> &request, const SystemCall &call);

// A read or write, with what the runner needs to check the bytes it moved.
struct WineTransfer : WineRequest {
  bool read = true;
  HarlenBusMode mode = HarlenLoopback;  // the bus's mode for this direction when sent
  uint64_t patternStart = 0;            // the pipe's stream offset when sent
  uint32_t bridge = 0;
  uint8_t endpoint = 0;
  uint32_t firstSequence = 0, endSequence = 0;  // the bus records of its chunks lie in [first, end)

  const char *verb() const { return read ? "read" : "write"; }
};

// Whether this process runs on Wine (its ntdll says so), not on a kernel that
// runs drivers in their caller's process.
bool runsOnWine();

class WineScenario {
 public:
  // outcomes: one line per step, bus record, ended request and step status
  // (step / wire / request / status) instead of the readable transcript.
  WineScenario(TestBus &bus, FILE *out, bool outcomes);
  // For bridges outside the machine: the INF to install a new bridge's driver
  // from when the PnP manager has not done it by itself.
  void installWhenMissing(const std::wstring &inf) { fallbackInf_ = inf; }

  // The reason the kernel cannot carry out this line; empty when it can. Wine
  // refuses more than a kernel that runs the driver in its caller's process.
  static std::string refusal(const std::string &line, bool onWine);
  ~WineScenario();

  bool run(std::istream &script);
  bool runLine(const std::string &line);
  const std::string &error() const { return error_; }
  // The handle a bridge's "open" gave, for the benchmark; INVALID_HANDLE_VALUE when none.
  HANDLE handleOf(const std::string &name) const;
  uint32_t bridgeNumberOf(const std::string &name) const;

 private:
  struct Bridge {
    uint32_t number = 0;  // the bus's
    std::vector<Endpoint> pipes;  // in pipe order
    HarlenBusBehaviour behaviour = {};
    HarlenBusVendor vendor = {};
    bool startShown = false;  // the records of its start were shown, at its start line
    int digit = -1;  // \\.\HarlenN, once the driver's device was found
    std::wstring hardwareId;  // as the hub names it, for a bridge outside the machine
    std::wstring instance;    // its device node's instance id, once added
    HANDLE file = INVALID_HANDLE_VALUE;
    bool sync = false;
    std::deque<uint8_t> loopback;
    std::shared_ptr<WineTransfer> last;
    std::optional<ReadCheck> lastRead;
  };

  bool runStep(const std::string &verb, std::istream &words);
  bool fail(const std::string &why);
  void report(const char *category, const std::string &text);
  void setStatus(int32_t status);
  Bridge *bridgeNamed(const std::string &name);
  std::vector<uint32_t> bridgeNumbers() const;
  // Whether the bus log holds this PnP request at the bridge's PDO.
  const HarlenWireRecord *pnpRecord(const Bridge &bridge, uint16_t minor) const;
  bool settleWithoutBus();
  std::vector<HarlenWireRecord> recordsSince(uint32_t firstSequence) const;
  std::vector<HarlenWireRecord> lineWire(const std::string &verb, const std::string &step, uint32_t firstSequence);
  void reportWire(const std::vector<HarlenWireRecord> &records);
  // The requests that ended since the last call: reported, their bytes checked.
  void reportCompletions();
  bool expect(std::istream &args);

  // The bus and the PnP manager (bridge_steps.cpp).
  using BridgeStep = bool (WineScenario::*)(const std::string &name, Bridge &bridge, std::istream &args);
  static const std::map<std::string, BridgeStep> &bridgeSteps();
  bool plug(std::istream &args);
  bool removeBusStep(std::istream &args);
  bool add(const std::string &name, Bridge &bridge, std::istream &args);
  bool start(const std::string &name, Bridge &bridge, std::istream &args);
  bool surpriseRemoval(const std::string &name, Bridge &bridge, std::istream &args);
  bool remove(const std::string &name, Bridge &bridge, std::istream &args);
  bool waitForPnp(const std::string &name, Bridge &bridge, uint16_t minor, const char *what);
  // The same four steps for a bridge outside the machine (wire_pnp_steps.cpp).
  bool addOnWire(const std::string &name, Bridge &bridge);
  bool startOnWire(const std::string &name, Bridge &bridge);
  bool surpriseRemovalOnWire(const std::string &name, Bridge &bridge);
  bool removeOnWire(const std::string &name, Bridge &bridge);
  std::vector<std::wstring> otherInstances(const Bridge &bridge) const;
  DeviceNode nodeOf(const Bridge &bridge) const;
  bool unplug(const std::string &name, Bridge &bridge, std::istream &args);
  bool failNextUsb(const std::string &name, Bridge &bridge, std::istream &args);
  bool bulk(const std::string &name, Bridge &bridge, std::istream &args);
  bool completion(const std::string &name, Bridge &bridge, std::istream &args);
  bool complete(const std::string &name, Bridge &bridge, std::istream &args);
  bool vendor(const std::string &name, Bridge &bridge, std::istream &args);
  bool findDigit(const std::string &name, Bridge &bridge);

  // Handles, reads and writes (handle_steps.cpp).
  bool open(const std::string &name, Bridge &bridge, std::istream &args);
  bool close(const std::string &name, Bridge &bridge, std::istream &args);
  bool read(const std::string &name, Bridge &bridge, std::istream &args);
  bool write(const std::string &name, Bridge &bridge, std::istream &args);
  bool transfer(bool read, const std::string &name, Bridge &bridge, std::istream &args);
  bool cancel(const std::string &name, Bridge &bridge, std::istream &args);
  bool verify(const std::string &name, Bridge &bridge, std::istream &args);
  bool expectRequest(const std::string &name, Bridge &bridge, std::istream &args);
  void settle(const std::string &name, Bridge &bridge, WineTransfer &done);

  // Device controls and the driver's recovery codes (control_steps.cpp).
  bool ioctl(const std::string &name, Bridge &bridge, std::istream &args);
  bool abort(const std::string &name, Bridge &bridge, std::istream &args);
  bool clearStall(const std::string &name, Bridge &bridge, std::istream &args);
  bool portReset(const std::string &name, Bridge &bridge, std::istream &args);
  bool control(const std::string &name, Bridge &bridge, std::istream &args);
  bool sendControl(const std::string &verb, const std::string &name, Bridge &bridge, DWORD code,
                   const std::vector<uint8_t> &input, uint32_t outputLength);

  TestBus &bus_;
  BusWatch watch_;
  FILE *out_;
  bool outcomes_;
  bool onWine_;
  outcome::OutcomeWriter writer_;
  std::map<std::string, Bridge> bridges_;
  std::vector<std::pair<std::string, std::shared_ptr<WineTransfer>>> unreported_;
  std::shared_ptr<WineTransfer> stepTransfer_;  // the line's read or write: its status once the bus is quiet
  std::vector<std::shared_ptr<WineRequest>> unendedControls_;  // the system may still write their output
  std::wstring fallbackInf_;
  bool busGone_ = false;                        // the bus's root device was removed
  int32_t last_ = 0;
  std::optional<int32_t> stepStatus_;  // set by the steps that end with a status of their own
  std::optional<uint64_t> lastInformation_;
  std::vector<outcome::RequestEnd> ended_;
  std::vector<uint32_t> heldWire_;  // the sequences of what reached the bus before its bridge's start line  // the line's ended reads and writes
  std::string error_;
};
