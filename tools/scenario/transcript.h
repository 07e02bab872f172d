// What harlen_scenario prints of the trace. By default: the steps, the PnP and
// power requests, the USB traffic, the legacy kernel's configuration-manager
// calls and device tree, the runner's reports of each user request, the
// pauses on the virtual clock and every finding; a run of more than a few
// bulk transfer lines is summed up per pipe, so a request of many MiB takes
// two lines, not thousands. Verbose: every line of every kernel call.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "sim/sim.h"

class Transcript {
 public:
  Transcript(FILE *out, bool everything) : out_(out), everything_(everything) {}
  // Prints the trace lines made since the last call.
  void flush();

  // Runs up to this many lines long are printed as they are.
  static constexpr size_t kLongestRunShown = 4;

 private:
  bool shown(const sim::TraceLine &line) const;
  void print(const sim::TraceLine &line);
  void endRun();

  FILE *out_;
  bool everything_;
  size_t next_ = 0;
  std::vector<sim::TraceLine> run_;  // bulk transfer lines not yet printed
};

// The summary of bulk transfer lines: per direction and pipe, in order of
// appearance, the URB count and the sizes sent, or the outcomes and the bytes moved.
std::vector<std::string> summariseBulkRun(const std::vector<sim::TraceLine> &run);
