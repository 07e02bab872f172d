// harlen_scenario: runs a scenario script (a file, or standard input) against
// the driver on the simulated platform and prints, line by line, the PnP
// requests, the USB traffic, the user requests and how they ended; with
// --outcomes, each step's outcome in the format the Wine runner prints too.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

#include "outcome_run.h"
#include "scenario.h"
#include "transcript.h"

int main(int argc, char **argv) {
  bool everything = false, outcomes = false;
  const char *path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "-v") == 0)
      everything = true;
    else if (strcmp(argv[i], "--outcomes") == 0)
      outcomes = true;
    else if (path == nullptr)
      path = argv[i];
    else {
      fprintf(stderr, "usage: harlen_scenario [-v | --outcomes] [SCRIPT]\n");
      return 2;
    }
  }
  std::ifstream file;
  if (path) {
    file.open(path);
    if (!file) {
      fprintf(stderr, "harlen_scenario: cannot read %s\n", path);
      return 2;
    }
  }
  std::istream &script = path ? static_cast<std::istream &>(file) : std::cin;
  if (outcomes) return printOutcomes(script, stdout);
  Scenario scenario;
  Transcript transcript(stdout, everything);
  bool ran = scenario.run(script, [&] { transcript.flush(); });
  if (!ran) {
    fprintf(stderr, "harlen_scenario: %s\n", scenario.error().c_str());
    return 1;
  }
  size_t violations = sim::platform().verifier.violations().size();
  if (violations) {
    fprintf(stderr, "harlen_scenario: %zu verifier finding(s)\n", violations);
    return 1;
  }
  return 0;
}
