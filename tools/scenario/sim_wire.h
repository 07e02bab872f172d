// The simulated bus's records in the emulated bus's log format
// (HarlenWireRecord), so that the simulator's outcomes and Wine's are
// written by the same code.
#pragma once

#include <optional>
#include <vector>

#include "wire_record.h"
#include "sim/sim.h"

HarlenWireRecord wireRecord(const sim::UrbRecord &urb, uint16_t bridge);
// Port status and port reset; nothing for the other requests (PnP, power, and
// URB submissions, whose records urbs() holds).
std::optional<HarlenWireRecord> wireRecord(const sim::BusRequest &request, uint16_t bridge);

// The records of every bridge on the machine, as they come.
class WireLog {
 public:
  // The URBs, port status and port resets that reached any bridge since the
  // last call, in their state now; bridges are numbered in order of plugging.
  std::vector<HarlenWireRecord> takeNew();

 private:
  struct Taken {
    size_t urbs = 0;
    size_t requests = 0;
  };
  std::vector<Taken> taken_;  // per bridge
};
