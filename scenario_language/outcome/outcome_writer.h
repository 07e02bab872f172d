// The outcome of a scenario script: what harlen_scenario --outcomes prints for
// the simulated kernel and harlen_wine.exe prints for Wine's kernel, so that
// scripts/driver-compare can set the two side by side. For each script line
// that holds a step, in this order:
//
//   step <the line, comment stripped, trimmed>
//     status <STATUS_NAME>[ information <N>]
//     wire <describeWire text>
//     request <NAME> <read|write> <STATUS_NAME> information <N>
//
// status: only for the steps that have one (add, the PnP and power requests,
//   open, close, read, write, ioctl, control, abort, clear-stall, port-reset,
//   unload); information only for those that report it (ioctl, control).
// wire: each URB, port status and port reset that reached the bus during the
//   step (not PnP or power requests), in order of arrival, with its state at
//   the end of the step; a run of more than 4 consecutive bulk transfers is
//   one line per pipe.
// request: each read or write through bridge NAME's handle that ended during
//   the step.
// expect, expect-request and verify print their step line only. A step that
// cannot be run, or a check that fails, ends the output with "error <text>"
// and the runner exits 1; a step a kernel cannot give is reported as
// "error not on this kernel: <reason>".
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "wire_record.h"

namespace outcome {

struct RequestEnd {
  std::string bridge;  // the script's name for it
  bool read = false;
  int32_t status = 0;
  uint64_t information = 0;
};

struct StepOutcome {
  std::string step;  // as scriptStep gives it
  std::optional<int32_t> status;
  std::optional<uint64_t> information;
  std::vector<HarlenWireRecord> wire;  // records that arrived during the step, in any order
  std::vector<RequestEnd> requests;
};

// "read disk 8M" for "  read disk 8M  # comment"; empty for a blank or comment line.
std::string scriptStep(const std::string &line);
// The steps that only check what came before: expect, expect-request, verify.
bool isCheckStep(const std::string &step);

class OutcomeWriter {
 public:
  explicit OutcomeWriter(FILE *out) : out_(out) {}
  void step(const StepOutcome &outcome);
  void error(const std::string &text);

 private:
  FILE *out_;
};

}  // namespace outcome
