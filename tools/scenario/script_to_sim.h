// The shared script arguments as the simulated bridge takes them: the enums
// are the bridge's own, in the same order.
#pragma once

#include <vector>

#include "script_args.h"
#include "sim/sim.h"

static_assert(int(BulkMode::Loopback) == int(sim::BulkMode::Loopback) &&
              int(BulkMode::Pattern) == int(sim::BulkMode::Pattern) &&
              int(BulkMode::Short) == int(sim::BulkMode::Short) && int(BulkMode::Stall) == int(sim::BulkMode::Stall) &&
              int(BulkMode::Hold) == int(sim::BulkMode::Hold) && int(BulkMode::Discard) == int(sim::BulkMode::Discard));
static_assert(int(Completion::Inline) == int(sim::Completion::Inline) &&
              int(Completion::Deferred) == int(sim::Completion::Deferred) &&
              int(Completion::Manual) == int(sim::Completion::Manual));
static_assert(int(VendorRequest::WordAtFFFC) == int(sim::ControlRequest::WordAtFFFC) &&
              int(VendorRequest::WordAt00AE) == int(sim::ControlRequest::WordAt00AE) &&
              int(VendorRequest::Vendor4) == int(sim::ControlRequest::Vendor4) &&
              int(VendorRequest::Vendor12) == int(sim::ControlRequest::Vendor12) &&
              int(VendorRequest::GetMaxLun) == int(sim::ControlRequest::GetMaxLun));

inline sim::BulkMode simMode(BulkMode mode) { return static_cast<sim::BulkMode>(mode); }
inline sim::Completion simCompletion(Completion completion) { return static_cast<sim::Completion>(completion); }
inline sim::ControlRequest simRequest(VendorRequest request) { return static_cast<sim::ControlRequest>(request); }

inline std::vector<sim::EndpointSetup> simEndpoints(const std::vector<Endpoint> &endpoints) {
  std::vector<sim::EndpointSetup> setups;
  for (const Endpoint &e : endpoints) setups.push_back({e.address, e.attributes});
  return setups;
}
