// harlen_benchmark: the driver's CPU cost per request against memcpy, and the
// bus utilisation of its all-chunks-queued reads on a modelled USB 2.0 bus
// against one chunk at a time. Google Benchmark's options apply
// (--benchmark_filter=cpu/ runs the first part only).
#include "benchmarks.h"
#include "summary_reporter.h"

int main(int argc, char **argv) {
  registerCpuCost();
  registerBusUtilisation();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
