// One fuzz input's machine: a fresh platform with the driver loaded, one
// bridge plugged, added, started and opened; the PnP requests kept in an
// order Windows could send; and the checks every input ends with.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "harlen.h"
#include "sim/sim.h"

// Where the device stands in the PnP order.
enum class DeviceState { Started, StopQueried, Stopped, RemoveQueried, SurpriseRemoved, Removed };

// The input's first byte.
struct MachineSetup {
  bool legacyKernel;
  bool windows98Order;
  bool powerAroundPnp;   // the PnP manager's set-power requests around start, stop and removal
  bool caller32;         // the handle belongs to a 32-bit process
  bool closeAfterRemoval;

  static MachineSetup from(uint8_t flags);
};

// The PnP transitions an input can ask for; each is sent only where it is legal.
enum class PnpStep { QueryStop, CancelStop, Stop, Start, SurpriseRemoval, QueryRemove, CancelRemove, Remove };
constexpr unsigned kPnpSteps = 8;

class FuzzedMachine {
 public:
  explicit FuzzedMachine(const MachineSetup &setup);

  // The device object while the driver still has it attached; null after removal.
  PDEVICE_OBJECT fdo() const;
  DeviceState state() const { return state_; }
  bool caller32() const { return setup_.caller32; }
  sim::UsbBridge &bridge() { return *bridge_; }
  sim::PnpManager &pnp() { return pnp_; }
  sim::UserFile &file() { return *file_; }

  void pnpStep(PnpStep step);
  // Requests sent through the handle, checked at the end; buffers kept until then.
  void track(std::shared_ptr<sim::UserRequest> request);
  std::vector<uint8_t> &keepBuffer(size_t size);

  // Runs the deferred work and stops the run at the first verifier finding.
  void settle();
  // Closes the handle, removes the device and checks what must hold afterwards.
  void finish();

 private:
  void send(UCHAR minor);
  void remove();
  void endRemoval();
  void closeHandle();
  void checkRequests();

  MachineSetup setup_;
  sim::PnpManager pnp_;
  sim::UsbBridge *bridge_ = nullptr;
  std::unique_ptr<sim::UserFile> file_;
  DeviceState state_ = DeviceState::Started;
  DeviceState beforeRemoveQuery_ = DeviceState::Started;
  std::vector<std::shared_ptr<sim::UserRequest>> requests_;
  std::vector<std::unique_ptr<std::vector<uint8_t>>> buffers_;
};

// Reports what broke, with the verifier's findings, and aborts: libFuzzer keeps the input.
[[noreturn]] void fuzzFailure(const std::string &what);
