#include "outcome_run.h"

#include "outcome_writer.h"
#include "scenario.h"
#include "sim_wire.h"

int printOutcomes(std::istream &script, FILE *out) {
  Scenario scenario;
  WireLog wire;
  outcome::OutcomeWriter writer(out);
  std::string line;
  while (std::getline(script, line)) {
    bool ran = scenario.runLine(line);
    std::string step = outcome::scriptStep(line);
    if (!step.empty())
      writer.step({step, scenario.stepStatus(), scenario.stepInformation(), wire.takeNew(), scenario.endedRequests()});
    if (!ran) {
      writer.error(scenario.error());
      return 1;
    }
  }
  const auto &findings = sim::platform().verifier.violations();
  for (const std::string &finding : findings) writer.error("verifier: " + finding);
  return findings.empty() ? 0 : 1;
}
