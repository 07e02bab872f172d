// The bus log as the runner follows it: every record by sequence, kept up to
// date as transfers complete, and the wait until the bus goes quiet (nothing
// due from its DPC or timer and no new record for a while).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "test_bus.h"

class BusWatch {
 public:
  explicit BusWatch(TestBus &bus) : bus_(bus) {}

  // Fetches new records and the completions of those still pending.
  bool pull();
  // Waits until none of `bridges` is busy and the log has not changed for the
  // quiet time; false (with error()) when that does not happen within a minute.
  bool waitQuiet(const std::vector<uint32_t> &bridges);
  // Polls the log until `found` says yes; false when the time runs out first
  // (error() says so) or the log cannot be read.
  bool waitFor(const std::function<bool()> &found, uint32_t timeoutMs, const std::string &what);

  const std::map<uint32_t, HarlenWireRecord> &records() const { return records_; }
  // The sequence the next record to arrive will have.
  uint32_t nextSequence() const { return records_.empty() ? 1 : records_.rbegin()->first + 1; }
  const std::string &error() const { return error_; }

  static constexpr uint32_t kQuietMs = 100;

 private:
  TestBus &bus_;
  std::map<uint32_t, HarlenWireRecord> records_;
  std::set<uint32_t> pending_;  // records not yet completed
  uint64_t changes_ = 0;        // arrivals and completions seen so far
  std::string error_;
};
