// The caller's address space. User addresses come from a range reserved
// PROT_NONE at a fixed low address, where a 32-bit process's heap would be;
// the bytes live in separate host blocks that only the kernel routines (and
// the tests, through bytes()) reach.
#include <sys/mman.h>

#include <cstdlib>

#include "sim/platform.h"

namespace sim {

namespace {

const ULONG_PTR kPage = 4096;
// Where a 32-bit program's image and heap begin; never mapped by a
// position-independent Linux process nor by the sanitizers' shadows.
const ULONG_PTR kPreferredBase = 0x00400000;

bool grants(UserAccess have, UserAccess needed) {
  return needed == UserAccess::None || have == UserAccess::ReadWrite || (have == needed);
}

}  // namespace

// Fixed first; where something already sits there, anywhere below 2 GiB.
void UserMemory::reserve() {
  const int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
  void *at = mmap(reinterpret_cast<void *>(kPreferredBase), kReserved, PROT_NONE, flags | MAP_FIXED_NOREPLACE, -1, 0);
  if (at != MAP_FAILED && reinterpret_cast<ULONG_PTR>(at) != kPreferredBase) {
    munmap(at, kReserved);  // an old kernel took the address as a hint only
    at = MAP_FAILED;
  }
#ifdef MAP_32BIT
  if (at == MAP_FAILED) at = mmap(nullptr, kReserved, PROT_NONE, flags | MAP_32BIT, -1, 0);
#endif
  if (at == MAP_FAILED) {
    fprintf(stderr, "simulator: cannot reserve the user address range below 4 GiB\n");
    abort();
  }
  base_ = next_ = reinterpret_cast<ULONG_PTR>(at);
}

PVOID UserMemory::allocate(size_t size, UserAccess access) {
  PlatformLock guard;
  if (base_ == 0) reserve();
  const ULONG_PTR pages = (size + kPage - 1) / kPage;
  if (size == 0 || next_ + (pages + 1) * kPage > base_ + kReserved) return nullptr;
  const ULONG_PTR start = next_ + pages * kPage - size;
  next_ += (pages + 1) * kPage;
  Region region{size, access, std::unique_ptr<unsigned char[]>(new unsigned char[size])};
  memset(region.host.get(), 0xCD, size);
  regions_.emplace(start, std::move(region));
  return reinterpret_cast<PVOID>(start);
}

void UserMemory::free(PVOID address) {
  PlatformLock guard;
  regions_.erase(reinterpret_cast<ULONG_PTR>(address));
}

UserMemory::Region *UserMemory::regionAt(ULONG_PTR address, ULONG_PTR *offset) {
  auto it = regions_.upper_bound(address);
  if (it == regions_.begin()) return nullptr;
  --it;
  *offset = address - it->first;
  return *offset < it->second.size ? &it->second : nullptr;
}

unsigned char *UserMemory::bytes(PVOID address) {
  PlatformLock guard;
  ULONG_PTR offset;
  Region *region = regionAt(reinterpret_cast<ULONG_PTR>(address), &offset);
  return region ? region->host.get() + offset : nullptr;
}

unsigned char *UserMemory::resolve(ULONG_PTR address, ULONG_PTR length, UserAccess needed) {
  PlatformLock guard;
  ULONG_PTR offset;
  Region *region = regionAt(address, &offset);
  if (region == nullptr || length > region->size - offset || !grants(region->access, needed)) return nullptr;
  return region->host.get() + offset;
}

void UserMemory::clear() {
  PlatformLock guard;
  regions_.clear();
  next_ = base_;
}

}  // namespace sim
