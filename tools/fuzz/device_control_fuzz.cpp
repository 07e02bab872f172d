// libFuzzer's entry: each input is a setup byte (fuzzed_machine.h: MachineSetup)
// and a short sequence of events (fuzz_events.h) run on a fresh machine. The
// run stops with a report at any verifier finding, any request not completed
// exactly once, and anything left allocated after the removal; AddressSanitizer
// and UBSan watch every access on the way.
#include <cstdlib>

#include "fuzz_events.h"

namespace {
constexpr unsigned kMaxEvents = 48;  // enough to reach any state, short enough to stay fast
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  auto &trace = sim::platform().trace;
  // HARLEN_FUZZ_TRACE=1 prints every kernel call while a crash input is replayed.
  trace.enabled = getenv("HARLEN_FUZZ_TRACE") != nullptr;
  if (trace.enabled) trace.echoTo(stderr, {});
  ByteReader input(data, size);
  FuzzedMachine machine(MachineSetup::from(input.u8()));
  for (unsigned i = 0; i < kMaxEvents && !input.empty(); ++i) {
    runEvent(machine, input);
    machine.settle();
  }
  machine.finish();
  return 0;
}
