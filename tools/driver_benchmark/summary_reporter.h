// Google Benchmark's console report, followed by the two tables the runs
// exist for: the driver's CPU cost against memcpy, and the modelled bus's
// utilisation for both ways of sending chunks.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  // Columns for the counters; no colour, so the report reads the same in a file.
  SummaryReporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run> &runs) override;
  void Finalize() override;

 private:
  const Run *find(const std::string &name) const;
  void printCpuTable(std::ostream &out) const;
  void printBusTable(std::ostream &out) const;

  std::map<std::string, Run> runs_;  // by registered name
};
