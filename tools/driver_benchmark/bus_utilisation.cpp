// Bus utilisation on the modelled USB 2.0 bus: the driver's path, every chunk
// of a read queued at once, against the stand-in that sends the next chunk
// from the previous one's completion. Both move their chunks through the
// simulated bridge; virtual time makes every figure the same on every run.
#include <benchmark/benchmark.h>

#include <vector>

#include "benchmarks.h"
#include "chunk_by_chunk.h"
#include "modelled_bus.h"

namespace {

constexpr ULONG kChunkSize = 0x20000;  // the pipe's maximum transfer size the driver asks for

std::vector<UCHAR> &busBuffer() {
  static std::vector<UCHAR> buffer(kBusSizes.back());
  return buffer;
}

void report(benchmark::State &state, const ModelledBus &bus, ULONG length) {
  state.counters["utilisation"] = bus.payloadSeconds() / bus.now();
  state.counters["MBps"] = length / bus.now() / 1e6;
  state.counters["elapsed_ms"] = bus.now() * 1e3;
}

void driverQueued(benchmark::State &state, ULONG length, double turnaround) {
  for (auto _ : state) {
    OpenedBridge opened(sim::Completion::Manual);
    if (!opened.ready()) return state.SkipWithError("the bridge did not start");
    ModelledBus bus(opened, turnaround);
    auto request = opened.file().read(busBuffer().data(), length, true);
    if (!bus.runUntilIdle() || !request->completed || request->information != length || !opened.ready())
      return state.SkipWithError("the driver's read did not end cleanly");
    report(state, bus, length);
  }
}

void chunkByChunk(benchmark::State &state, ULONG length, double turnaround) {
  for (auto _ : state) {
    OpenedBridge opened(sim::Completion::Manual);
    const USBD_PIPE_INFORMATION *pipe = opened.pipe(kBulkIn);
    if (!opened.ready() || pipe == nullptr) return state.SkipWithError("the bridge did not start");
    ModelledBus bus(opened, turnaround);
    ChunkByChunk reader(opened.bridge().pdo(), pipe->PipeHandle, busBuffer().data(), length, kChunkSize);
    reader.start();
    if (!bus.runUntilIdle() || !reader.finished() || reader.moved() != length || !opened.ready())
      return state.SkipWithError("the stand-in's read did not end cleanly");
    report(state, bus, length);
  }
}

}  // namespace

void registerBusUtilisation() {
  for (double turnaround : kTurnarounds)
    for (ULONG size : kBusSizes) {
      std::string suffix = "/" + std::to_string(size) + "/turnaround_us:" + std::to_string(int(turnaround * 1e6 + 0.5));
      benchmark::RegisterBenchmark(("bus/driver_queued" + suffix).c_str(), driverQueued, size, turnaround)
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("bus/chunk_by_chunk" + suffix).c_str(), chunkByChunk, size, turnaround)
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond);
    }
}
