#include "outcome_writer.h"

#include <algorithm>

#include "status_names.h"
#include "wire_text.h"

namespace outcome {

namespace {

const char *const kBlank = " \t\r\n";

std::string firstWord(const std::string &step) { return step.substr(0, step.find_first_of(kBlank)); }

}  // namespace

std::string scriptStep(const std::string &line) {
  std::string text = line.substr(0, line.find('#'));
  size_t first = text.find_first_not_of(kBlank);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(kBlank) + 1 - first);
}

bool isCheckStep(const std::string &step) {
  std::string verb = firstWord(step);
  return verb == "expect" || verb == "expect-request" || verb == "verify";
}

void OutcomeWriter::step(const StepOutcome &outcome) {
  fprintf(out_, "step %s\n", outcome.step.c_str());
  if (isCheckStep(outcome.step)) return;
  if (outcome.status) {
    std::string information =
        outcome.information ? " information " + std::to_string(*outcome.information) : std::string();
    fprintf(out_, "  status %s%s\n", statusName(*outcome.status).c_str(), information.c_str());
  }
  std::vector<HarlenWireRecord> wire = outcome.wire;
  std::stable_sort(wire.begin(), wire.end(), [](const HarlenWireRecord &a, const HarlenWireRecord &b) {
    return a.sequence < b.sequence;
  });
  for (const std::string &line : wireLines(wire)) fprintf(out_, "  wire %s\n", line.c_str());
  for (const RequestEnd &request : outcome.requests)
    fprintf(out_, "  request %s %s %s information %llu\n", request.bridge.c_str(), request.read ? "read" : "write",
            statusName(request.status).c_str(), static_cast<unsigned long long>(request.information));
  fflush(out_);
}

void OutcomeWriter::error(const std::string &text) {
  fprintf(out_, "error %s\n", text.c_str());
  fflush(out_);
}

}  // namespace outcome
