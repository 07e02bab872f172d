#include "bench.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <sstream>
#include <vector>

#include "test_bus.h"
#include "wine_scenario.h"

namespace {

constexpr uint32_t kChunk = 128u << 10;
// The bridge the benchmark plugs and starts, as a scenario would.
const char kSetup[] = "plug bench\nadd bench\nstart bench\nopen bench\n";

double seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return double(to.QuadPart - from.QuadPart) / double(frequency.QuadPart);
}

// Far beyond any size here at a few MB/s: a driver host that stops answering
// ends the run with an error, and the runner's cleanup then stops the host.
constexpr DWORD kTransferDeadlineMs = 60 * 1000;

// Waits for a pending request until the deadline; past it, leaves the process
// at once, since the request may still write to its buffer.
void awaitOrLeave(HANDLE file, HANDLE done, bool write, DWORD size) {
  if (WaitForSingleObject(done, kTransferDeadlineMs) != WAIT_TIMEOUT) return;
  CancelIo(file);
  printf("error a %s of %lu bytes did not end within %lu s\n", write ? "write" : "read", size,
         kTransferDeadlineMs / 1000);
  fflush(stdout);
  ExitProcess(1);
}

// One overlapped read or write through the handle, waited for; false when it fails or comes short.
bool transfer(HANDLE file, bool write, std::vector<uint8_t> &data) {
  OVERLAPPED overlapped = {};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) return false;
  DWORD size = static_cast<DWORD>(data.size()), moved = 0;
  BOOL ok = write ? WriteFile(file, data.data(), size, nullptr, &overlapped)
                  : ReadFile(file, data.data(), size, nullptr, &overlapped);
  if (ok || GetLastError() == ERROR_IO_PENDING) {
    awaitOrLeave(file, overlapped.hEvent, write, size);
    ok = GetOverlappedResult(file, &overlapped, &moved, FALSE);
  }
  CloseHandle(overlapped.hEvent);
  return ok && moved == size;
}

// A timed transfer between two untimed ones that keep the loopback stream
// balanced: a read needs the bytes written first, a write's bytes are read back after.
struct Measured {
  std::function<bool()> before, timed, after;
};

// The median of the repetitions' MB/s.
bool measure(const Measured &m, uint32_t size, int repetitions, double &megabytesPerSecond) {
  std::vector<double> rates;
  for (int i = 0; i < repetitions; ++i) {
    LARGE_INTEGER from, to;
    if (!m.before()) return false;
    QueryPerformanceCounter(&from);
    if (!m.timed()) return false;
    QueryPerformanceCounter(&to);
    if (!m.after()) return false;
    rates.push_back(size / 1e6 / seconds(from, to));
  }
  std::sort(rates.begin(), rates.end());
  megabytesPerSecond = rates[rates.size() / 2];
  return true;
}

}  // namespace

int bench(const std::vector<uint32_t> &sizes, int repetitions) {
  TestBus bus;
  if (!bus.open()) {
    printf("error %s\n", bus.error().c_str());
    return 1;
  }
  FILE *quiet = fopen("NUL", "w");
  WineScenario scenario(bus, quiet ? quiet : stdout, false);
  std::istringstream setup(kSetup);
  bool ready = scenario.run(setup);
  if (quiet) fclose(quiet);
  if (!ready) {
    printf("error %s\n", scenario.error().c_str());
    return 1;
  }
  HANDLE file = scenario.handleOf("bench");
  // The baseline: reads and writes on the bus's control device, which sends
  // them to the same bridge's pipes with no function driver above.
  HarlenBusDirect direct = {scenario.bridgeNumberOf("bench"), 0x81, 0x02, {}, kChunk};
  HANDLE busFile = CreateFileA(HARLEN_BUS_LINK_USER, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (busFile == INVALID_HANDLE_VALUE || !bus.selectDirect(direct)) {
    printf("error the bus's direct path: %s\n", bus.error().c_str());
    return 1;
  }
  printf("%-10s %-6s %14s %14s %8s\n", "size", "kind", "harlen MB/s", "bus MB/s", "ratio");
  for (uint32_t size : sizes) {
    std::vector<uint8_t> data(size, 0x5A), other(size);
    auto through = [](HANDLE handle, bool write, std::vector<uint8_t> &bytes) {
      return [handle, write, buffer = &bytes] { return transfer(handle, write, *buffer); };
    };
    auto driver = [&](bool write, std::vector<uint8_t> &bytes) { return through(file, write, bytes); };
    auto straight = [&](bool write, std::vector<uint8_t> &bytes) { return through(busFile, write, bytes); };
    auto nothing = [] { return true; };
    for (bool write : {true, false}) {
      Measured viaDriver = write ? Measured{nothing, driver(true, data), driver(false, other)}
                                 : Measured{driver(true, other), driver(false, data), nothing};
      Measured viaBus = write ? Measured{nothing, straight(true, data), straight(false, other)}
                              : Measured{straight(true, other), straight(false, data), nothing};
      double harlen = 0, bare = 0;
      if (!measure(viaDriver, size, repetitions, harlen) || !measure(viaBus, size, repetitions, bare)) {
        printf("error a %s of %u bytes failed: %s\n", write ? "write" : "read", size,
               win32ErrorText(GetLastError()).c_str());
        CloseHandle(busFile);
        return 1;
      }
      printf("%-10s %-6s %14.1f %14.1f %8.2f\n", (std::to_string(size >> 20) + " MiB").c_str(),
             write ? "write" : "read", harlen, bare, harlen / bare);
    }
  }
  CloseHandle(busFile);
  return 0;
}
