// Memory descriptor lists: allocation, probe and lock against the caller's
// address space, unlock, and system mappings. Host memory is one address
// space, so mapping an MDL of host memory gives the buffer's own address; an
// MDL of user addresses maps to the host memory behind them.
#include "memory_descriptors.h"
#include "sim/user_io.h"

using sim::platform;

namespace {

const ULONG_PTR kPage = 4096;
// Windows refuses larger MDLs (2 GiB less a page).
const ULONG kLargestMdl = 0x80000000u - kPage;

ULONG_PTR startOf(PMDL mdl) { return reinterpret_cast<ULONG_PTR>(mdl->StartVa) + mdl->ByteOffset; }

std::string addressText(ULONG_PTR address) {
  char text[24];
  snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(address));
  return text;
}

ULONG_PTR pagesSpanned(ULONG_PTR address, ULONG length) {
  return ((address & (kPage - 1)) + length + kPage - 1) / kPage;
}

const char *operationName(LOCK_OPERATION operation) {
  switch (operation) {
    case IoReadAccess: return "IoReadAccess";
    case IoWriteAccess: return "IoWriteAccess";
    case IoModifyAccess: return "IoModifyAccess";
  }
  return "an unknown operation";
}

// The locked range must hold every byte for the operation; a user-mode probe
// also refuses any address outside the caller's space.
bool accessible(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation) {
  auto &memory = platform().userMemory;
  const ULONG_PTR start = startOf(mdl);
  if (!memory.isUserAddress(start)) return mode == KernelMode;
  if (mdl->ByteCount == 0) return true;
  auto needed = operation == IoReadAccess ? sim::UserAccess::Read : sim::UserAccess::ReadWrite;
  return memory.resolve(start, mdl->ByteCount, needed) != nullptr;
}

// The probe's work under the platform lock; the raise happens in the caller, after the lock is gone.
NTSTATUS probeAndLock(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation) {
  auto &p = platform();
  sim::PlatformLock guard;
  auto text = [&] {
    return "MmProbeAndLockPages(" + addressText(startOf(mdl)) + ", " + std::to_string(mdl->ByteCount) + " bytes, " +
           (mode == UserMode ? "UserMode" : "KernelMode") + ", " + operationName(operation) + ")";
  };
  if (p.irql > APC_LEVEL) p.verifier.violation(text() + " at IRQL " + std::to_string(p.irql));
  auto record = p.mdls.find(mdl);
  if (record == p.mdls.end()) p.verifier.violation(text() + " on an MDL IoAllocateMdl did not make");
  if (!accessible(mdl, mode, operation)) {
    p.trace.add("mm", [&] { return text() + " -> raises STATUS_ACCESS_VIOLATION"; });
    return STATUS_ACCESS_VIOLATION;
  }
  mdl->MdlFlags |= MDL_PAGES_LOCKED | (operation == IoReadAccess ? 0 : MDL_WRITE_OPERATION);
  if (record != p.mdls.end()) {
    PIRP caller = sim::callerContextIrp();
    record->second = sim::MdlRecord{true, caller ? p.irps[caller].id : 0};
  }
  p.trace.add("mm", text);
  return STATUS_SUCCESS;
}

// An MDL must be locked, or describe non-paged pool, before it is mapped.
PVOID map(PMDL mdl, const char *routine) {
  auto &p = platform();
  sim::PlatformLock guard;
  if (p.irql > DISPATCH_LEVEL) p.verifier.violation(std::string(routine) + " at IRQL " + std::to_string(p.irql));
  if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
    p.verifier.violation(std::string(routine) + " on an MDL already mapped to a system address");
    return mdl->MappedSystemVa;
  }
  if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)))
    p.verifier.violation(std::string(routine) + " on an MDL neither locked nor describing non-paged pool");
  const ULONG_PTR start = startOf(mdl);
  mdl->MappedSystemVa = p.userMemory.isUserAddress(start)
                            ? p.userMemory.resolve(start, mdl->ByteCount, sim::UserAccess::None)
                            : reinterpret_cast<PVOID>(start);
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  p.trace.add("mm", [&] { return std::string(routine) + "(" + std::to_string(mdl->ByteCount) + " bytes)"; });
  return mdl->MappedSystemVa;
}

// Unlocking also removes the system mapping, as on Windows.
void unlock(PMDL mdl, sim::MdlRecord &record) {
  record = sim::MdlRecord{};
  mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION | MDL_MAPPED_TO_SYSTEM_VA);
}

}  // namespace

extern "C" PVOID MmMapLockedPages(PMDL mdl, KPROCESSOR_MODE) {
  sim::kernelCall("MmMapLockedPages");
  return map(mdl, "MmMapLockedPages");
}

// Mapping may fail for want of system page table entries: counted among the allocations.
extern "C" PVOID MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE, MEMORY_CACHING_TYPE, PVOID, ULONG,
                                              MM_PAGE_PRIORITY) {
  sim::kernelCall("MmMapLockedPagesSpecifyCache");
  {
    sim::PlatformLock guard;
    if (platform().faults.allocationFails("MmMapLockedPagesSpecifyCache")) {
      platform().trace.add(
          "mm", [&] { return "MmMapLockedPagesSpecifyCache(" + std::to_string(mdl->ByteCount) + " bytes) -> NULL"; });
      return nullptr;
    }
  }
  return map(mdl, "MmMapLockedPagesSpecifyCache");
}

// The MDL carries room for its page frame numbers, as Windows sizes it.
extern "C" PMDL IoAllocateMdl(PVOID address, ULONG length, BOOLEAN secondary, BOOLEAN, PIRP irp) {
  sim::kernelCall("IoAllocateMdl");
  auto &p = platform();
  sim::PlatformLock guard;
  const auto start = reinterpret_cast<ULONG_PTR>(address);
  auto text = [&] {
    return "IoAllocateMdl(" + addressText(start) + ", " + std::to_string(length) + " bytes" +
           (irp ? secondary ? ", chained to the IRP" : ", the IRP's" : "") + ")";
  };
  if (length > kLargestMdl || p.faults.allocationFails("IoAllocateMdl")) {
    p.trace.add("mm", [&] { return text() + " -> NULL"; });
    return nullptr;
  }
  const size_t size = sizeof(MDL) + pagesSpanned(start, length) * sizeof(ULONG_PTR);
  auto mdl = static_cast<PMDL>(calloc(1, size));
  mdl->Size = static_cast<CSHORT>(size);
  mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE;
  mdl->StartVa = reinterpret_cast<PVOID>(start & ~(kPage - 1));
  mdl->ByteOffset = static_cast<ULONG>(start & (kPage - 1));
  mdl->ByteCount = length;
  p.mdls[mdl] = sim::MdlRecord{};
  if (irp && !secondary) {
    irp->MdlAddress = mdl;
  } else if (irp) {
    PMDL *last = &irp->MdlAddress;
    while (*last) last = &(*last)->Next;
    *last = mdl;
  }
  p.trace.add("mm", text);
  return mdl;
}

extern "C" VOID IoFreeMdl(PMDL mdl) {
  sim::kernelCall("IoFreeMdl");
  auto &p = platform();
  sim::PlatformLock guard;
  auto record = p.mdls.find(mdl);
  if (record == p.mdls.end()) {
    p.verifier.violation("IoFreeMdl of an MDL IoAllocateMdl did not make, or freed before");
    return;
  }
  if (record->second.locked) p.verifier.violation("IoFreeMdl of an MDL still locked (MmUnlockPages first)");
  p.trace.add("mm", [&] { return "IoFreeMdl(" + std::to_string(mdl->ByteCount) + " bytes)"; });
  p.mdls.erase(record);
  free(mdl);
}

extern "C" VOID MmProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation) {
  sim::kernelCall("MmProbeAndLockPages");
  const NTSTATUS status = probeAndLock(mdl, mode, operation);
  if (!NT_SUCCESS(status)) sim::raiseStatus(status);
}

extern "C" VOID MmUnlockPages(PMDL mdl) {
  sim::kernelCall("MmUnlockPages");
  auto &p = platform();
  sim::PlatformLock guard;
  auto record = p.mdls.find(mdl);
  if (record == p.mdls.end() || !record->second.locked) {
    p.verifier.violation("MmUnlockPages on an MDL not locked (never locked, or unlocked twice)");
    return;
  }
  unlock(mdl, record->second);
  p.trace.add("mm", [&] { return "MmUnlockPages(" + std::to_string(mdl->ByteCount) + " bytes)"; });
}

namespace sim {

void releaseRequestMdls(PIRP irp, unsigned irpId) {
  auto &p = platform();
  PlatformLock guard;
  for (PMDL mdl = irp->MdlAddress, next; mdl; mdl = next) {
    next = mdl->Next;
    auto record = p.mdls.find(mdl);
    if (record == p.mdls.end()) continue;  // the I/O manager's own, for direct I/O
    p.mdls.erase(record);
    free(mdl);
  }
  irp->MdlAddress = nullptr;
  for (auto &entry : p.mdls)
    if (entry.second.locked && entry.second.lockedFor == irpId)
      p.verifier.violation("an MDL locked for IRP#" + std::to_string(irpId) +
                           " was still locked when the request ended (the caller's pages stay locked)");
}

void reportMdlsLeft() {
  auto &p = platform();
  PlatformLock guard;
  for (auto &entry : p.mdls)
    p.verifier.violation(std::string("MDL of ") + std::to_string(entry.first->ByteCount) + " bytes left allocated" +
                         (entry.second.locked ? " and locked" : "") + " after removal");
}

}  // namespace sim
