// The driver's CPU cost per read or write, on a bus that completes every chunk
// in the dispatch call and touches no byte, next to one memcpy of as many bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "benchmarks.h"
#include "opened_bridge.h"

namespace {

std::vector<UCHAR> &userBuffer() {
  static std::vector<UCHAR> buffer(kCpuSizes.back(), 0x5A);
  return buffer;
}

void driverRequest(benchmark::State &state, UCHAR major, ULONG length) {
  OpenedBridge opened(sim::Completion::Inline);
  if (!opened.ready()) return state.SkipWithError("the bridge did not start");
  PUCHAR data = userBuffer().data();
  for (auto _ : state) {
    auto request =
        major == IRP_MJ_READ ? opened.file().read(data, length, true) : opened.file().write(data, length, true);
    // The I/O manager's completion work: the request's packet and MDL are freed.
    sim::platform().runAllPendingWork();
    opened.bridge().forgetRecords();
    if (!request->completed || request->status != STATUS_SUCCESS || request->information != length)
      return state.SkipWithError("the request did not move every byte");
  }
  if (!opened.ready()) state.SkipWithError("the verifier found a fault");
}

void copy(benchmark::State &state, size_t length) {
  static std::vector<UCHAR> from(kCpuSizes.back(), 0x5A), to(kCpuSizes.back(), 0xA5);
  for (auto _ : state) {
    memcpy(to.data(), from.data(), length);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
}

}  // namespace

void registerCpuCost() {
  for (ULONG size : kCpuSizes) {
    std::string bytes = "/" + std::to_string(size);
    benchmark::RegisterBenchmark(("cpu/driver_read" + bytes).c_str(), driverRequest, UCHAR(IRP_MJ_READ), size)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("cpu/driver_write" + bytes).c_str(), driverRequest, UCHAR(IRP_MJ_WRITE), size)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("cpu/memcpy" + bytes).c_str(), copy, size_t(size))->Unit(benchmark::kMicrosecond);
  }
}
