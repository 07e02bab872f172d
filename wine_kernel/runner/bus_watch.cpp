#include "bus_watch.h"

#include <cstring>

namespace {
// A step the bus has not finished within this long has hung.
constexpr uint32_t kLongestStepMs = 60000;
constexpr DWORD kPollMs = 5;
}  // namespace

bool BusWatch::pull() {
  uint32_t first = pending_.empty() ? nextSequence() : *pending_.begin();
  std::vector<HarlenWireRecord> fetched;
  if (!bus_.readLog(first, fetched)) {
    error_ = bus_.error();
    return false;
  }
  for (const HarlenWireRecord &record : fetched) {
    auto known = records_.find(record.sequence);
    if (known == records_.end() || memcmp(&known->second, &record, sizeof record) != 0) ++changes_;
    records_[record.sequence] = record;
    if (record.flags & HARLEN_WIRE_COMPLETED)
      pending_.erase(record.sequence);
    else
      pending_.insert(record.sequence);
  }
  return true;
}

bool BusWatch::waitQuiet(const std::vector<uint32_t> &bridges) {
  DWORD start = GetTickCount(), lastChange = start;
  uint64_t changesSeen = changes_;
  for (;;) {
    if (!pull()) return false;
    bool busy = changes_ != changesSeen;
    for (uint32_t bridge : bridges) {
      HarlenBusState state;
      // A bridge that left the bus may no longer answer: nothing is due from it.
      busy |= bus_.query(bridge, state) && state.busy != 0;
    }
    DWORD now = GetTickCount();
    if (busy) lastChange = now;
    changesSeen = changes_;
    if (now - lastChange >= kQuietMs) return true;
    if (now - start >= kLongestStepMs) {
      error_ = "the bus did not go quiet within " + std::to_string(kLongestStepMs / 1000) + " s";
      return false;
    }
    Sleep(kPollMs);
  }
}

bool BusWatch::waitFor(const std::function<bool()> &found, uint32_t timeoutMs, const std::string &what) {
  DWORD start = GetTickCount();
  for (;;) {
    if (!pull()) return false;
    if (found()) return true;
    if (GetTickCount() - start >= timeoutMs) {
      error_ = what + " did not happen within " + std::to_string(timeoutMs / 1000) + " s";
      return false;
    }
    Sleep(kPollMs);
  }
}
