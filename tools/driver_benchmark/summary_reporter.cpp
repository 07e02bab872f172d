#include "summary_reporter.h"

#include <cstdio>
#include <ostream>

#include "benchmarks.h"
#include "modelled_bus.h"

namespace {

std::string sizeName(ULONG bytes) {
  return bytes >= (1u << 20) ? std::to_string(bytes >> 20) + " MiB" : std::to_string(bytes >> 10) + " KiB";
}

std::string format(const char *pattern, double value) {
  char text[32];
  snprintf(text, sizeof text, pattern, value);
  return text;
}

std::string column(const std::string &text, size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

}  // namespace

void SummaryReporter::ReportRuns(const std::vector<Run> &runs) {
  ConsoleReporter::ReportRuns(runs);
  for (const Run &run : runs)
    if (!run.error_occurred) runs_[run.run_name.function_name] = run;
}

void SummaryReporter::Finalize() {
  ConsoleReporter::Finalize();
  std::ostream &out = GetOutputStream();
  printCpuTable(out);
  printBusTable(out);
}

const benchmark::BenchmarkReporter::Run *SummaryReporter::find(const std::string &name) const {
  auto it = runs_.find(name);
  return it == runs_.end() ? nullptr : &it->second;
}

// Times are CPU time per request, in microseconds (every cpu/ run is registered in them).
void SummaryReporter::printCpuTable(std::ostream &out) const {
  out << "\nCPU cost per request: the driver on the simulated kernel (trace off), the bus completing each\n"
         "128 KiB chunk in the dispatch call without touching a byte; memcpy of as many bytes for scale.\n";
  out << column("size", 10) << column("driver read", 14) << column("driver write", 14) << column("memcpy", 12)
      << column("read/memcpy", 13) << "write/memcpy\n";
  for (ULONG size : kCpuSizes) {
    std::string bytes = "/" + std::to_string(size);
    const Run *read = find("cpu/driver_read" + bytes), *write = find("cpu/driver_write" + bytes),
              *copy = find("cpu/memcpy" + bytes);
    if (!read || !write || !copy) {
      out << column(sizeName(size), 10) << "(not run, or it failed)\n";
      continue;
    }
    double r = read->GetAdjustedCPUTime(), w = write->GetAdjustedCPUTime(), c = copy->GetAdjustedCPUTime();
    out << column(sizeName(size), 10) << column(format("%.1f us", r), 14) << column(format("%.1f us", w), 14)
        << column(format("%.1f us", c), 12) << column(format("%.2fx", r / c), 13) << format("%.2fx", w / c) << "\n";
  }
}

void SummaryReporter::printBusTable(std::ostream &out) const {
  out << "\nModelled USB 2.0 high-speed bus, virtual time: " << format("%.3f", kHighSpeedBytesPerSecond / 1e6)
      << " MB/s payload per pipe, a turnaround whenever a pipe's queue\nruns dry. Reads in 128 KiB chunks: all "
         "queued at once (the driver), or each sent from the previous one's completion (stand-in).\n";
  out << column("turnaround", 12) << column("size", 8) << column("queued: util", 14) << column("MB/s", 8)
      << column("elapsed", 13) << column("one by one: util", 18) << column("MB/s", 8) << "elapsed\n";
  for (double turnaround : kTurnarounds)
    for (ULONG size : kBusSizes) {
      std::string suffix = "/" + std::to_string(size) + "/turnaround_us:" + std::to_string(int(turnaround * 1e6 + 0.5));
      out << column(format("%.0f us", turnaround * 1e6), 12) << column(sizeName(size), 8);
      const Run *queued = find("bus/driver_queued" + suffix), *oneByOne = find("bus/chunk_by_chunk" + suffix);
      if (!queued || !oneByOne) {
        out << "(not run, or it failed)\n";
        continue;
      }
      for (const Run *run : {queued, oneByOne}) {
        bool first = run == queued;
        out << column(format("%.2f%%", run->counters.at("utilisation").value * 100), first ? 14 : 18)
            << column(format("%.2f", run->counters.at("MBps").value), 8)
            << (first ? column(format("%.2f ms", run->counters.at("elapsed_ms").value), 13)
                      : format("%.2f ms", run->counters.at("elapsed_ms").value));
      }
      out << "\n";
    }
}
