// Device controls, the caller's address space and the MDLs that describe it,
// raised statuses, and the caller's bitness, seen from a small stand-in driver.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "sim/sim.h"
#include "stand_in.h"

namespace {

using sim::platform;
using sim::UserAccess;

const char16_t kLink[] = u"\\DosDevices\\Buffers0";
const ULONG kTransform = CTL_CODE(0x8000, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG kLockCallerBuffer = CTL_CODE(0x8000, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct CallerBuffer {
  PVOID Buffer;
  ULONG Length;
};

// What the stand-in does with a request, and what it saw.
struct StandIn {
  ULONG complement = 0;  // leading system-buffer bytes it inverts
  ULONG_PTR information = 0;
  NTSTATUS status = STATUS_SUCCESS;
  bool chainToIrp = false;  // the locked MDL becomes the IRP's, for the I/O manager to release
  IO_STACK_LOCATION seen{};
  std::vector<unsigned char> systemBuffer;
  bool systemBufferNull = false;
  BOOLEAN is32 = FALSE, callerIs32 = FALSE;
};

StandIn &standIn(PDEVICE_OBJECT device) { return *static_cast<StandIn *>(device->DeviceExtension); }

void probeForWrite(PVOID mdl) { MmProbeAndLockPages(static_cast<PMDL>(mdl), UserMode, IoWriteAccess); }

// Locks the caller's buffer the record names and leaves it locked.
NTSTATUS lockCallerBuffer(StandIn &self, PIRP irp) {
  auto record = static_cast<CallerBuffer *>(irp->AssociatedIrp.SystemBuffer);
  PMDL mdl = IoAllocateMdl(record->Buffer, record->Length, FALSE, FALSE, self.chainToIrp ? irp : nullptr);
  return finish(irp, KxCallGuarded(probeForWrite, mdl), 0);
}

NTSTATUS deviceControl(PDEVICE_OBJECT device, PIRP irp) {
  StandIn &self = standIn(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  self.seen = *stack;
  self.is32 = IoIs32bitProcess(irp);
  self.callerIs32 = IoIs32bitProcess(nullptr);
  if (stack->Parameters.DeviceIoControl.IoControlCode == kLockCallerBuffer) return lockCallerBuffer(self, irp);
  auto buffer = static_cast<unsigned char *>(irp->AssociatedIrp.SystemBuffer);
  const ULONG size = std::max(stack->Parameters.DeviceIoControl.InputBufferLength,
                              stack->Parameters.DeviceIoControl.OutputBufferLength);
  self.systemBufferNull = buffer == nullptr;
  self.systemBuffer.assign(buffer, buffer + (buffer ? size : 0));
  for (ULONG i = 0; i < self.complement; ++i) buffer[i] = static_cast<unsigned char>(~buffer[i]);
  return finish(irp, self.status, self.information);
}

class UserBuffersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform().reset();
    platform().verifier.clear();
    PDRIVER_OBJECT driver = platform().newDriver();
    driver->MajorFunction[IRP_MJ_CREATE] = openOrClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = openOrClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = deviceControl;
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, u"\\Device\\Buffers0");
    RtlInitUnicodeString(&link, kLink);
    ASSERT_EQ(IoCreateDevice(driver, sizeof(StandIn), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    new (device->DeviceExtension) StandIn();
    ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
  }
  void TearDown() override {
    standIn(device).~StandIn();
    platform().reset();
    platform().verifier.clear();
  }

  static bool found(const std::string &fragment) {
    for (auto &v : platform().verifier.violations())
      if (v.find(fragment) != std::string::npos) return true;
    return false;
  }

  PDEVICE_OBJECT device = nullptr;
};

TEST_F(UserBuffersTest, BufferedControlCopiesTheInputInAndInformationBytesBack) {
  struct Case {
    const char *name;
    ULONG inputLength, outputLength, complement;
    ULONG_PTR information;
    NTSTATUS status;
    std::vector<unsigned char> output;  // the caller's 6-byte buffer afterwards, 0x11 at first
    bool overrun;
  };
  const Case cases[] = {
      {"all written and returned", 3, 5, 5, 5, STATUS_SUCCESS, {0x9E, 0x9D, 0x9C, 0x32, 0x32, 0x11}, false},
      {"bytes never written show the fill", 3, 5, 1, 5, STATUS_SUCCESS, {0x9E, 'b', 'c', 0xCD, 0xCD, 0x11}, false},
      {"information past the output", 3, 2, 3, 3, STATUS_SUCCESS, {0x9E, 0x9D, 0x11, 0x11, 0x11, 0x11}, true},
      {"an error copies nothing", 3, 5, 3, 3, STATUS_BUFFER_TOO_SMALL, {0x11, 0x11, 0x11, 0x11, 0x11, 0x11}, false},
      {"no buffers at all", 0, 0, 0, 0, STATUS_SUCCESS, {0x11, 0x11, 0x11, 0x11, 0x11, 0x11}, false},
  };
  sim::UserFile file = sim::UserFile::open(kLink);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    platform().verifier.clear();
    StandIn &self = standIn(device);
    self.complement = c.complement;
    self.information = c.information;
    self.status = c.status;
    std::vector<unsigned char> output(6, 0x11);
    auto request = file.deviceControl(kTransform, "abc", c.inputLength, output.data(), c.outputLength);
    ASSERT_NE(request, nullptr);
    platform().runAllPendingWork();
    EXPECT_EQ(request->status, c.status);
    EXPECT_EQ(self.seen.MajorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(self.seen.Parameters.DeviceIoControl.IoControlCode, kTransform);
    EXPECT_EQ(self.seen.Parameters.DeviceIoControl.InputBufferLength, c.inputLength);
    EXPECT_EQ(self.seen.Parameters.DeviceIoControl.OutputBufferLength, c.outputLength);
    const std::string input = std::string("abc").substr(0, c.inputLength);
    std::vector<unsigned char> given(input.begin(), input.end());
    given.resize(std::max(c.inputLength, c.outputLength), 0xCD);
    EXPECT_EQ(self.systemBuffer, given);
    EXPECT_EQ(self.systemBufferNull, given.empty());
    EXPECT_EQ(output, c.output);
    EXPECT_EQ(found("would write past the caller's output buffer"), c.overrun);
    EXPECT_EQ(platform().verifier.violations().size(), c.overrun ? 1u : 0u);
  }
  EXPECT_EQ(file.deviceControl(CTL_CODE(0x8000, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS), nullptr, 0, nullptr, 0),
            nullptr);
}

struct Probe {
  PMDL mdl;
  KPROCESSOR_MODE mode;
  LOCK_OPERATION operation;
};

void probe(PVOID context) {
  auto p = static_cast<Probe *>(context);
  MmProbeAndLockPages(p->mdl, p->mode, p->operation);
}

// Each probe either locks and maps the caller's bytes or raises, caught by the guard.
TEST_F(UserBuffersTest, ProbeChecksEveryByteAgainstTheCallersMapAndTheOperation) {
  auto &memory = platform().userMemory;
  auto readOnly = static_cast<char *>(memory.allocate(16, UserAccess::Read));
  auto writable = static_cast<char *>(memory.allocate(16, UserAccess::ReadWrite));
  auto noAccess = static_cast<char *>(memory.allocate(16, UserAccess::None));
  auto freed = static_cast<char *>(memory.allocate(16, UserAccess::ReadWrite));
  memory.free(freed);
  char host[16];
  struct Case {
    const char *name;
    char *address;
    ULONG length;
    KPROCESSOR_MODE mode;
    LOCK_OPERATION operation;
    NTSTATUS status;
  };
  const Case cases[] = {
      {"read-only, read", readOnly, 16, UserMode, IoReadAccess, STATUS_SUCCESS},
      {"read-only, write", readOnly, 16, UserMode, IoWriteAccess, STATUS_ACCESS_VIOLATION},
      {"read-only, modify", readOnly + 4, 4, UserMode, IoModifyAccess, STATUS_ACCESS_VIOLATION},
      {"writable, modify", writable + 4, 12, UserMode, IoModifyAccess, STATUS_SUCCESS},
      {"writable, one byte too long", writable, 17, UserMode, IoWriteAccess, STATUS_ACCESS_VIOLATION},
      {"writable, one byte before", writable - 1, 4, UserMode, IoReadAccess, STATUS_ACCESS_VIOLATION},
      {"no access, read", noAccess, 1, KernelMode, IoReadAccess, STATUS_ACCESS_VIOLATION},
      {"freed, read", freed, 16, UserMode, IoReadAccess, STATUS_ACCESS_VIOLATION},
      {"host memory as a user address", host, 16, UserMode, IoReadAccess, STATUS_ACCESS_VIOLATION},
      {"host memory in kernel mode", host, 16, KernelMode, IoWriteAccess, STATUS_SUCCESS},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Probe p{IoAllocateMdl(c.address, c.length, FALSE, FALSE, nullptr), c.mode, c.operation};
    ASSERT_NE(p.mdl, nullptr);
    EXPECT_EQ(KxCallGuarded(probe, &p), c.status);
    EXPECT_EQ((p.mdl->MdlFlags & MDL_PAGES_LOCKED) != 0, NT_SUCCESS(c.status));
    if (NT_SUCCESS(c.status)) {
      auto system = static_cast<char *>(MmGetSystemAddressForMdlSafe(p.mdl, NormalPagePriority));
      EXPECT_EQ(system, c.address == host ? host : reinterpret_cast<char *>(memory.bytes(c.address)));
      system[c.length - 1] = 'Z';
      EXPECT_EQ(c.address == host ? host[c.length - 1] : *memory.bytes(c.address + c.length - 1), 'Z');
      MmUnlockPages(p.mdl);
    }
    IoFreeMdl(p.mdl);
  }
  EXPECT_TRUE(platform().verifier.violations().empty()) << platform().trace.render({"verifier"});
}

// Each misuse once, with the fragment it is reported by; an empty fragment is a correct use.
TEST_F(UserBuffersTest, MdlMisuseIsReported) {
  struct Case {
    const char *misuse;
    std::function<void(PVOID writable)> run;
  };
  auto lockedMdl = [](PVOID address) {
    PMDL mdl = IoAllocateMdl(address, 8, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, UserMode, IoReadAccess);
    return mdl;
  };
  auto lockThroughRequest = [this](PVOID address, bool chainToIrp) {
    standIn(device).chainToIrp = chainToIrp;
    CallerBuffer record{address, 8};
    auto request = sim::UserFile::open(kLink).deviceControl(kLockCallerBuffer, &record, sizeof record, nullptr, 0);
    platform().runAllPendingWork();
    EXPECT_EQ(request->status, STATUS_SUCCESS);
  };
  const Case cases[] = {
      {"IoFreeMdl of an MDL still locked", [&](PVOID a) { IoFreeMdl(lockedMdl(a)); }},
      {"unlocked twice",
       [&](PVOID a) {
         PMDL mdl = lockedMdl(a);
         MmUnlockPages(mdl);
         MmUnlockPages(mdl);
       }},
      {"at IRQL 2",
       [&](PVOID a) {
         platform().irql = DISPATCH_LEVEL;
         lockedMdl(a);
       }},
      {"neither locked nor describing non-paged pool",
       [](PVOID a) { MmGetSystemAddressForMdlSafe(IoAllocateMdl(a, 8, FALSE, FALSE, nullptr), NormalPagePriority); }},
      {"still locked when the request ended", [&](PVOID a) { lockThroughRequest(a, false); }},
      {"", [&](PVOID a) { lockThroughRequest(a, true); }},  // the I/O manager releases the IRP's own MDL
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.misuse);
    TearDown();
    SetUp();
    c.run(platform().userMemory.allocate(8, UserAccess::ReadWrite));
    if (*c.misuse)
      EXPECT_TRUE(found(c.misuse)) << platform().trace.render({"verifier"});
    else
      EXPECT_TRUE(platform().verifier.violations().empty()) << platform().trace.render({"verifier"});
  }
}

struct Nested {
  NTSTATUS inner = STATUS_PENDING;
  bool resumed = false;
};

void raiseInvalidUserBuffer(PVOID) { ExRaiseStatus(STATUS_INVALID_USER_BUFFER); }

// The inner guard takes the inner raise; the outer one takes the next.
void raiseAfterInnerGuard(PVOID context) {
  auto nested = static_cast<Nested *>(context);
  nested->inner = KxCallGuarded(raiseInvalidUserBuffer, nullptr);
  nested->resumed = true;
  ExRaiseStatus(STATUS_BUFFER_TOO_SMALL);
}

void raiseNothing(PVOID) {}

TEST_F(UserBuffersTest, RaiseUnwindsToTheInnermostGuard) {
  Nested nested;
  EXPECT_EQ(KxCallGuarded(raiseAfterInnerGuard, &nested), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(nested.inner, STATUS_INVALID_USER_BUFFER);
  EXPECT_TRUE(nested.resumed);
  EXPECT_EQ(KxCallGuarded(raiseNothing, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(platform().verifier.violations().empty());
}

TEST_F(UserBuffersTest, AGuardOnTheLegacyKernelIsAFinding) {
  for (auto kernel : {sim::KernelKind::Nt, sim::KernelKind::Legacy}) {
    platform().verifier.clear();
    platform().kernel = kernel;
    EXPECT_EQ(KxCallGuarded(raiseInvalidUserBuffer, nullptr), STATUS_INVALID_USER_BUFFER);
    EXPECT_EQ(platform().verifier.violations().size(), kernel == sim::KernelKind::Legacy ? 1u : 0u);
  }
  platform().verifier.clear();
}

using UserBuffersDeathTest = UserBuffersTest;

TEST_F(UserBuffersDeathTest, RaiseWithNoGuardCrashesTheMachine) {
  EXPECT_DEATH(KxCallGuarded(raiseNothing, nullptr); ExRaiseStatus(STATUS_ACCESS_VIOLATION),
               "STATUS_ACCESS_VIOLATION raised with no handler: the machine would crash");
}

// The user range is reserved with no access: a driver reading a caller's
// address without an MDL faults at once.
TEST_F(UserBuffersDeathTest, DereferencingAUserAddressFaults) {
  auto address = static_cast<volatile char *>(platform().userMemory.allocate(16, UserAccess::ReadWrite));
  EXPECT_DEATH(static_cast<void>(*address), "");
}

TEST_F(UserBuffersTest, IoIs32bitProcessFollowsTheHandle) {
  for (bool caller32 : {false, true}) {
    SCOPED_TRACE(caller32);
    sim::UserFile file = sim::UserFile::open(kLink, caller32);
    file.deviceControl(kTransform, nullptr, 0, nullptr, 0);
    EXPECT_EQ(standIn(device).is32, caller32);
    EXPECT_EQ(standIn(device).callerIs32, caller32) << "no IRP: the caller's thread context";
  }
  PIRP kernelIrp = IoAllocateIrp(1, FALSE);
  EXPECT_FALSE(IoIs32bitProcess(kernelIrp));
  IoFreeIrp(kernelIrp);
}

}  // namespace
