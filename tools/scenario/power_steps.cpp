// Power requests to a bridge's stack, as Windows' power manager sends them:
// one set or query, the sleep and wake sequences, and a wait-wake held by the stack.
#include "scenario.h"
#include "script_words.h"

namespace {

// "S3" or "D0", named as the simulator names them, for the type the line gives.
bool parsePowerState(const std::string &word, POWER_STATE_TYPE type, POWER_STATE &state) {
  bool system = type == SystemPowerState;
  int first = system ? int(PowerSystemWorking) : int(PowerDeviceD0);
  int last = system ? int(PowerSystemShutdown) : int(PowerDeviceD3);
  for (int value = first; value <= last; ++value) {
    POWER_STATE candidate{};
    if (system)
      candidate.SystemState = static_cast<SYSTEM_POWER_STATE>(value);
    else
      candidate.DeviceState = static_cast<DEVICE_POWER_STATE>(value);
    if (sim::powerStateName(type, candidate) != word) continue;
    state = candidate;
    return true;
  }
  return false;
}

POWER_STATE sleepingState() {
  POWER_STATE state{};
  state.SystemState = PowerSystemSleeping3;
  return state;
}

}  // namespace

// power NAME set|query system|device STATE
bool Scenario::power(const std::string &, sim::UsbBridge &bridge, std::istream &args) {
  std::string action, kind, stateName;
  POWER_STATE state{};
  args >> action >> kind >> stateName;
  POWER_STATE_TYPE type = kind == "device" ? DevicePowerState : SystemPowerState;
  if ((action != "set" && action != "query") || (kind != "system" && kind != "device") ||
      !parsePowerState(stateName, type, state) || !endOfLine(args))
    return fail("power wants set or query, system or device, and a state: S0 to S5, D0 to D3");
  setStatus(pnp_.sendPower(bridge, action == "set" ? IRP_MN_SET_POWER : IRP_MN_QUERY_POWER, type, state));
  return true;
}

bool Scenario::sleep(const std::string &, sim::UsbBridge &bridge, std::istream &args) {
  if (!endOfLine(args)) return fail("sleep takes a bridge name only");
  setStatus(pnp_.sleep(bridge));
  return true;
}

bool Scenario::wake(const std::string &, sim::UsbBridge &bridge, std::istream &args) {
  if (!endOfLine(args)) return fail("wake takes a bridge name only");
  setStatus(pnp_.wake(bridge));
  return true;
}

// wait-wake NAME: a wait-wake for a wake from S3; STATUS_PENDING while the stack holds it.
bool Scenario::waitWake(const std::string &, sim::UsbBridge &bridge, std::istream &args) {
  if (!endOfLine(args)) return fail("wait-wake takes a bridge name only");
  setStatus(pnp_.sendPower(bridge, IRP_MN_WAIT_WAKE, SystemPowerState, sleepingState()));
  return true;
}

// cancel-wait-wake NAME: the held wait-wake is cancelled; the step's status is how it ended.
bool Scenario::cancelWaitWake(const std::string &, sim::UsbBridge &bridge, std::istream &args) {
  if (!endOfLine(args)) return fail("cancel-wait-wake takes a bridge name only");
  setStatus(pnp_.cancelWaitWake(bridge));
  return true;
}
