// Spin locks, MDL mapping, user handles and device lifetime, and preemption
// points, each seen from a small stand-in driver.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "sim/sim.h"
#include "stand_in.h"

namespace {

using sim::platform;

const char16_t kLink[] = u"\\DosDevices\\Stand0";
const ULONG kMaximumTransfer = 64;

struct StandIn {
  bool removed = false;
  bool completeLater = false;
  bool completeTwice = false;
  char data[kMaximumTransfer];
};

StandIn &standIn(PDEVICE_OBJECT device) { return *static_cast<StandIn *>(device->DeviceExtension); }

// Refuses a removed device and lengths past its buffer before touching the
// MDL; otherwise copies through the system address, at once or later.
NTSTATUS transfer(PDEVICE_OBJECT device, PIRP irp) {
  StandIn &self = standIn(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG length = stack->Parameters.Read.Length;
  if (self.removed) return finish(irp, STATUS_DELETE_PENDING, 0);
  if (length > kMaximumTransfer) return finish(irp, STATUS_INVALID_PARAMETER, 0);
  auto address = static_cast<char *>(MmGetSystemAddressForMdl(irp->MdlAddress));
  if (stack->MajorFunction == IRP_MJ_READ)
    memcpy(address, self.data, length);
  else
    memcpy(self.data, address, length);
  if (self.completeTwice) finish(irp, STATUS_SUCCESS, length);
  if (!self.completeLater) return finish(irp, STATUS_SUCCESS, length);
  IoMarkIrpPending(irp);
  platform().pendingWork.push_back([irp, length] { finish(irp, STATUS_SUCCESS, length); });
  return STATUS_PENDING;
}

class KernelServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform().reset();
    driver = platform().newDriver();
    driver->MajorFunction[IRP_MJ_CREATE] = openOrClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = openOrClose;
    driver->MajorFunction[IRP_MJ_READ] = transfer;
    driver->MajorFunction[IRP_MJ_WRITE] = transfer;
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, u"\\Device\\Stand0");
    RtlInitUnicodeString(&link, kLink);
    ASSERT_EQ(IoCreateDevice(driver, sizeof(StandIn), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    new (device->DeviceExtension) StandIn();
    ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
  }
  void TearDown() override { platform().reset(); }

  bool found(const std::string &fragment) {
    for (auto &v : platform().verifier.violations())
      if (v.find(fragment) != std::string::npos) return true;
    return false;
  }
  bool exists(PDEVICE_OBJECT d) {
    auto &all = platform().devices;
    return std::find(all.begin(), all.end(), d) != all.end();
  }

  PDRIVER_OBJECT driver;
  PDEVICE_OBJECT device;
};

TEST_F(KernelServicesTest, MisusedLocksAndMappingsAreReported) {
  struct Case {
    const char *misuse;
    std::function<void(KSPIN_LOCK &, KIRQL &)> run;
  };
  const Case cases[] = {
      {"already holds",
       [](KSPIN_LOCK &l, KIRQL &i) {
         KeAcquireSpinLock(&l, &i);
         KeAcquireSpinLock(&l, &i);
       }},
      {"at IRQL 3",
       [](KSPIN_LOCK &l, KIRQL &i) {
         platform().irql = 3;
         KeAcquireSpinLock(&l, &i);
       }},
      {"does not hold", [](KSPIN_LOCK &l, KIRQL &) { KeReleaseSpinLock(&l, PASSIVE_LEVEL); }},
      {"never initialized",
       [](KSPIN_LOCK &l, KIRQL &i) {
         l = 0xCDCDCDCD;
         KeAcquireSpinLock(&l, &i);
       }},
      {"returned holding a spin lock",
       [](KSPIN_LOCK &l, KIRQL &i) {
         platform().preemptAt(1, [&] { KeAcquireSpinLock(&l, &i); });
         KeGetCurrentIrql();
       }},
      {"MmMapLockedPages at IRQL 3",
       [](KSPIN_LOCK &, KIRQL &) {
         MDL mdl{};
         platform().irql = 3;
         MmMapLockedPages(&mdl, KernelMode);
       }},
      {"already mapped",
       [](KSPIN_LOCK &, KIRQL &) {
         MDL mdl{};
         mdl.MdlFlags = MDL_MAPPED_TO_SYSTEM_VA;
         MmMapLockedPages(&mdl, KernelMode);
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.misuse);
    platform().reset();
    KSPIN_LOCK lock;
    KIRQL old;
    KeInitializeSpinLock(&lock);
    c.run(lock, old);
    EXPECT_TRUE(found(c.misuse));
  }
}

TEST_F(KernelServicesTest, SpinLockRaisesToDispatchAndReleaseRestores) {
  KSPIN_LOCK lock;
  KIRQL old = 0xFF;
  KeInitializeSpinLock(&lock);
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KeAcquireSpinLock(&lock, &old);  // free again
  KeReleaseSpinLock(&lock, old);
  EXPECT_TRUE(platform().verifier.violations().empty());
}

TEST_F(KernelServicesTest, ReadsAndWritesCarryTheLengthAndBufferInAnMdl) {
  struct Case {
    UCHAR major;
    bool mapped, later;
    ULONG length;
    bool nullBuffer;
    NTSTATUS status;
  };
  const Case cases[] = {
      {IRP_MJ_WRITE, true, false, 5, false, STATUS_SUCCESS},   {IRP_MJ_READ, true, false, 5, false, STATUS_SUCCESS},
      {IRP_MJ_WRITE, false, true, 3, false, STATUS_SUCCESS},   {IRP_MJ_READ, false, true, 3, false, STATUS_SUCCESS},
      {IRP_MJ_READ, false, false, 0xFFFFFFFF, true, STATUS_INVALID_PARAMETER},
      {IRP_MJ_WRITE, true, false, kMaximumTransfer + 1, false, STATUS_INVALID_PARAMETER},
  };
  sim::UserFile file = sim::UserFile::open(kLink);
  ASSERT_EQ(file.status(), STATUS_SUCCESS);
  EXPECT_EQ(device->ReferenceCount, 1);
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.major) + (c.mapped ? " mapped " : " unmapped ") + std::to_string(c.length));
    standIn(device).completeLater = c.later;
    char buffer[8];
    memcpy(buffer, c.major == IRP_MJ_READ ? "abcdefg" : "WXYZWXY", sizeof buffer);
    char *destination = c.major == IRP_MJ_READ ? buffer : standIn(device).data;
    const char *source = c.major == IRP_MJ_READ ? standIn(device).data : buffer;
    char expected[8];
    memcpy(expected, destination, sizeof expected);
    if (NT_SUCCESS(c.status)) memcpy(expected, source, c.length);
    platform().trace.clear();
    auto request = c.major == IRP_MJ_READ ? file.read(c.nullBuffer ? nullptr : buffer, c.length, c.mapped)
                                          : file.write(buffer, c.length, c.mapped);
    EXPECT_EQ(request->completed, !c.later);
    platform().runAllPendingWork();
    EXPECT_EQ(request->returned, c.later ? STATUS_PENDING : c.status);
    EXPECT_EQ(request->status, c.status);
    EXPECT_EQ(request->information, NT_SUCCESS(c.status) ? c.length : 0);
    EXPECT_EQ(request->completions(), 1u);
    EXPECT_EQ(platform().trace.contains("mm", "MmMapLockedPages"), !c.mapped && NT_SUCCESS(c.status));
    EXPECT_EQ(memcmp(destination, expected, sizeof expected), 0);
    EXPECT_TRUE(platform().irps.empty()) << "the IRP and its MDL are freed after completion";
  }
  EXPECT_TRUE(platform().verifier.violations().empty());
}

TEST_F(KernelServicesTest, RequestCompletedTwiceIsCountedAndReported) {
  sim::UserFile file = sim::UserFile::open(kLink);
  standIn(device).completeTwice = true;
  char buffer[4];
  auto request = file.read(buffer, sizeof buffer, true);
  EXPECT_EQ(request->completions(), 2u);
  platform().runAllPendingWork();
  EXPECT_EQ(request->completions(), 2u);
  EXPECT_TRUE(found("completed twice"));
}

TEST_F(KernelServicesTest, HandleKeepsADeletedDeviceUntilItsLastClose) {
  EXPECT_EQ(sim::UserFile::open(u"\\DosDevices\\Nothing").status(), STATUS_OBJECT_NAME_NOT_FOUND);
  sim::UserFile file = sim::UserFile::open(kLink);
  IoDeleteDevice(device);
  EXPECT_TRUE(exists(device));
  EXPECT_EQ(sim::UserFile::open(kLink).status(), STATUS_OBJECT_NAME_NOT_FOUND) << "the name went with the delete";
  standIn(device).removed = true;  // the extension is still the driver's to use
  char buffer[4];
  EXPECT_EQ(file.read(buffer, sizeof buffer, true)->status, STATUS_DELETE_PENDING);
  EXPECT_TRUE(platform().verifier.violations().empty()) << "a handle's request may reach a deleted device";
  IofCallDriver(device, platform().newIrp(device->StackSize, sim::IrpOrigin::Manager));
  EXPECT_TRUE(found("sent to a deleted device object"));
  EXPECT_EQ(file.close(), STATUS_SUCCESS);
  EXPECT_FALSE(exists(device)) << "the last reference frees it";
}

TEST_F(KernelServicesTest, DeviceWithoutReferencesIsFreedAtOnce) {
  sim::UserFile::open(kLink).close();
  EXPECT_EQ(device->ReferenceCount, 0);
  IoDeleteDevice(device);
  EXPECT_FALSE(exists(device));
}

// The thread takes a lock around one kernel call; "action" marks where
// another processor's action ran, for a preemption at each call and one past.
TEST_F(KernelServicesTest, PreemptionWaitsForTheThreadsSpinLocks) {
  const std::vector<std::vector<std::string>> orders = {
      {"action", "locked", "inside", "unlocked"},  // at the acquire's entry: no lock held yet
      {"locked", "inside", "action", "unlocked"},  // at the call under the lock: runs in the release
      {"locked", "inside", "action", "unlocked"},  // at the release's entry: the lock is still held
      {"locked", "inside", "unlocked", "action"},  // at the next call
  };
  for (unsigned k = 1; k <= orders.size(); ++k) {
    SCOPED_TRACE(k);
    std::vector<std::string> seen;
    KSPIN_LOCK lock;
    KIRQL old, actionIrql = PASSIVE_LEVEL;
    KeInitializeSpinLock(&lock);
    platform().preemptAt(k, [&] {
      actionIrql = KeGetCurrentIrql();
      KeAcquireSpinLock(&lock, &old);  // held by the thread: would deadlock had the action not waited
      KeReleaseSpinLock(&lock, DISPATCH_LEVEL);
      seen.push_back("action");
    });
    KeAcquireSpinLock(&lock, &old);
    seen.push_back("locked");
    KeGetCurrentIrql();
    seen.push_back("inside");
    KeReleaseSpinLock(&lock, old);
    seen.push_back("unlocked");
    KeGetCurrentIrql();
    EXPECT_EQ(seen, orders[k - 1]);
    EXPECT_EQ(actionIrql, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  }
  EXPECT_TRUE(platform().verifier.violations().empty());
}

// Counts a whole read, then preempts it at each of its calls in turn.
TEST_F(KernelServicesTest, EveryCallOfAnOperationCanBePreemptedOnce) {
  sim::UserFile file = sim::UserFile::open(kLink);
  char buffer[4] = {};
  auto readOnce = [&] {
    unsigned before = platform().kernelCalls;
    file.read(buffer, sizeof buffer, false);
    platform().runAllPendingWork();
    return platform().kernelCalls - before;
  };
  standIn(device).completeLater = true;
  const unsigned calls = readOnce();
  ASSERT_EQ(calls, 3u);  // the I/O manager's call, the mapping, the completion
  for (unsigned k = 1; k <= calls; ++k) {
    SCOPED_TRACE(k);
    unsigned runs = 0;
    platform().preemptAt(k, [&] {
      ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, 'T'));  // neither counted nor preempted
      runs += KeGetCurrentIrql() == DISPATCH_LEVEL;
    });
    EXPECT_EQ(readOnce(), calls);
    EXPECT_EQ(runs, 1u);
    EXPECT_FALSE(platform().preemptionArmed());
  }
  EXPECT_TRUE(platform().verifier.violations().empty());
}

}  // namespace
