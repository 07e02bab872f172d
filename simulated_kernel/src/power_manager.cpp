// The power manager: PoCallDriver, PoStartNextPowerIrp and PoSetPowerState,
// and the rule that every driver a power IRP reaches starts the next one once,
// while the IRP's current stack location is its own.
#include "power_irps.h"
#include "sim/pnp_manager.h"

namespace sim {

const char *powerMinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_WAIT_WAKE: return "IRP_MN_WAIT_WAKE";
    case IRP_MN_POWER_SEQUENCE: return "IRP_MN_POWER_SEQUENCE";
    case IRP_MN_SET_POWER: return "IRP_MN_SET_POWER";
    case IRP_MN_QUERY_POWER: return "IRP_MN_QUERY_POWER";
  }
  return "IRP_MN_(other power)";
}

// S0 is PowerSystemWorking, S5 PowerSystemShutdown; D0 is PowerDeviceD0.
std::string powerStateName(POWER_STATE_TYPE type, POWER_STATE state) {
  int value = type == SystemPowerState ? static_cast<int>(state.SystemState) : static_cast<int>(state.DeviceState);
  if (value == 0) return type == SystemPowerState ? "S(unspecified)" : "D(unspecified)";
  return (type == SystemPowerState ? "S" : "D") + std::to_string(value - 1);
}

void powerIrpReceived(PIRP irp, IrpInfo &info, const char *routine) {
  auto &p = platform();
  if (std::string(routine) != "PoCallDriver")
    p.verifier.violation(std::string(routine) + ": " + p.irpLabel(irp) +
                         " is a power IRP: it goes down with PoCallDriver");
  info.powerReceived[irp->CurrentLocation]++;
}

void powerIrpFinished(PIRP irp, const IrpInfo &info) {
  auto &p = platform();
  for (auto &received : info.powerReceived) {
    auto started = info.powerStarted.find(received.first);
    if (started == info.powerStarted.end() || started->second < received.second)
      p.verifier.violation(p.irpLabel(irp) + " completed without PoStartNextPowerIrp from the driver at stack " +
                           "location " + std::to_string(received.first));
  }
}

}  // namespace sim

using sim::platform;

extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT device, PIRP irp) {
  sim::kernelCall("PoCallDriver");
  return sim::callDriver(device, irp, "PoCallDriver");
}

// Counted at the current stack location: a driver calls it before it skips,
// passes down or completes, or in its completion routine, where the location
// is its own again.
extern "C" VOID PoStartNextPowerIrp(PIRP irp) {
  sim::kernelCall("PoStartNextPowerIrp");
  auto &p = platform();
  sim::PlatformLock guard;
  auto it = p.irps.find(irp);
  if (it == p.irps.end()) {
    p.verifier.violation("PoStartNextPowerIrp on an IRP that does not exist (freed, or never made)");
    return;
  }
  const CHAR location = irp->CurrentLocation;
  auto call = [&] { return "PoStartNextPowerIrp(" + p.irpLabel(irp) + ")"; };
  p.trace.add("po", [&] { return call() + " at stack location " + std::to_string(location); });
  auto received = it->second.powerReceived.find(location);
  unsigned drivers = received == it->second.powerReceived.end() ? 0 : received->second;
  unsigned &started = it->second.powerStarted[location];
  if (++started <= drivers) return;
  p.verifier.violation(drivers ? call() + " called twice by the driver at stack location " + std::to_string(location)
                               : call() + " where no driver holds a power IRP (after a skip or completion, or not a "
                                          "power IRP)");
}

extern "C" POWER_STATE PoSetPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state) {
  sim::kernelCall("PoSetPowerState");
  auto &p = platform();
  sim::PlatformLock guard;
  auto &changes = p.powerStates[device];
  POWER_STATE previous{};
  for (auto change = changes.rbegin(); change != changes.rend(); ++change)
    if (change->type == type) {
      previous = change->state;
      break;
    }
  changes.push_back({type, state});
  p.trace.add("po", [&] {
    return "PoSetPowerState(" + p.deviceLabel(device) + ", " + sim::powerStateName(type, state) + ") -> " +
           sim::powerStateName(type, previous);
  });
  return previous;
}
