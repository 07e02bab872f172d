// A USB 2.0 high-speed bus in virtual time, deterministic. Each pipe moves
// one transfer at a time at the payload line rate; a transfer that finds its
// pipe's queue empty first waits a turnaround (the host controller fetching
// new work, the device being polled again). Transfers really go through the
// simulated bridge with Completion::Manual: the model decides when each one
// ends and completes it there, so what the completion routines send next
// arrives at that time.
#pragma once

#include <deque>
#include <map>

#include "opened_bridge.h"

// 13 packets of 512 bytes in each 125 us microframe: the most a high-speed bulk pipe carries.
constexpr double kHighSpeedBytesPerSecond = 13 * 512 * 8000.0;

class ModelledBus {
 public:
  ModelledBus(OpenedBridge &opened, double turnaroundSeconds);
  ~ModelledBus();

  // Completes transfers in the order they end until no pipe holds any; false
  // when the bridge did not hold what the model expected.
  bool runUntilIdle();

  double now() const { return now_; }
  // Time spent moving payload, over every pipe.
  double payloadSeconds() const { return payload_; }

 private:
  struct PipeClock {
    double busyUntil = 0;
    std::deque<double> ends;  // of the transfers queued, in order
  };
  void arrive(UCHAR endpoint, ULONG bytes);
  void watch(const sim::BusRequest &request);

  OpenedBridge &opened_;
  double turnaround_;
  double now_ = 0;
  double payload_ = 0;
  std::map<UCHAR, PipeClock> pipes_;
};
