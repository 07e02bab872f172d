// Every allocation made while a bridge is added, started, stopped and removed
// is failed in turn; each run must end with the documented status at the step
// that failed and with nothing left behind.
#include "driver_fixture.h"

namespace {

struct Outcome {
  NTSTATUS add = STATUS_SUCCESS;
  NTSTATUS start = STATUS_SUCCESS;
  NTSTATUS stop = STATUS_SUCCESS;
  NTSTATUS remove = STATUS_SUCCESS;
  WCHAR digit = '0';
  unsigned allocations = 0;
};

// 0 = fail nothing.
Outcome runLifecycle(sim::PnpManager &pnp, sim::Completion completion, unsigned failing) {
  auto &p = sim::platform();
  Outcome outcome;
  sim::UsbBridge &bridge = pnp.plug(sim::BridgeSetup::standard());
  bridge.urbCompletion = completion;
  bridge.startCompletion = completion;
  if (failing) p.faults.failAllocation(failing);
  outcome.add = pnp.addDevice(bridge);
  if (NT_SUCCESS(outcome.add)) {
    outcome.digit = KxExtension(pnp.functionDevice(bridge))->NameDigit;
    outcome.start = pnp.start(bridge);  // a failed start is followed by removal
    if (NT_SUCCESS(outcome.start)) {
      outcome.stop = pnp.stop(bridge);
      outcome.remove = pnp.remove(bridge);
    }
  }
  EXPECT_EQ(pnp.functionDevice(bridge), nullptr);
  EXPECT_EQ(pnp.driver()->DeviceObject, nullptr);
  EXPECT_TRUE(p.pool.empty());
  EXPECT_TRUE(p.symbolicLinks.empty());
  EXPECT_EQ(p.irps.size(), 0u);
  outcome.allocations = p.faults.allocationCount();
  return outcome;
}

class AllocationSweep : public DriverTest, public ::testing::WithParamInterface<sim::Completion> {};

TEST_P(AllocationSweep, EachFailureEndsWithItsStatusAndNothingLeft) {
  Outcome clean = runLifecycle(pnp, GetParam(), 0);
  // Add: device object, link. Start: three synchronous requests, the 9-byte
  // probe buffer, the set buffer, the selection URB and its request. Stop: one request.
  ASSERT_EQ(clean.allocations, 10u);

  const NTSTATUS build = STATUS_INSUFFICIENT_RESOURCES;
  const Outcome expected[] = {
      {STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS, '1'},  // "Harlen0" fails, "Harlen1" is taken
      {build, STATUS_SUCCESS},                                                // the link
      {STATUS_SUCCESS, build},                                                // device descriptor request
      {STATUS_SUCCESS, STATUS_DEVICE_DATA_ERROR},                             // probe buffer: size 0
      {STATUS_SUCCESS, STATUS_DEVICE_DATA_ERROR},                             // probe request: size 0
      {STATUS_SUCCESS, STATUS_NO_MEMORY},                                     // set buffer
      {STATUS_SUCCESS, build},                                                // set request
      {STATUS_SUCCESS, STATUS_NO_MEMORY},                                     // selection URB
      {STATUS_SUCCESS, build},                                                // selection request
      {STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS},  // deconfiguration request: kept, the stop succeeds
  };
  for (unsigned failing = 1; failing <= clean.allocations; ++failing) {
    SCOPED_TRACE("failing allocation " + std::to_string(failing));
    sim::platform().reset();
    ASSERT_EQ(pnp.loadDriver(DriverEntry, KX_POOL_TAG), STATUS_SUCCESS);
    Outcome seen = runLifecycle(pnp, GetParam(), failing);
    const Outcome &want = expected[failing - 1];
    EXPECT_EQ(seen.add, want.add);
    EXPECT_EQ(seen.start, want.start);
    EXPECT_EQ(seen.stop, want.stop);
    EXPECT_EQ(seen.remove, want.remove);
    if (NT_SUCCESS(seen.add)) {
      EXPECT_EQ(seen.digit, want.digit);
    }
    EXPECT_TRUE(sim::platform().verifier.violations().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Bus, AllocationSweep, ::testing::Values(sim::Completion::Inline, sim::Completion::Deferred),
                         [](const auto &info) {
                           return std::string(info.param == sim::Completion::Inline ? "CompletingAtOnce"
                                                                                    : "CompletingLater");
                         });

}  // namespace
