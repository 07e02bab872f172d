// Non-paged pool with tags, held to the loaded driver's pool type and tag.
// Fresh blocks are filled with a pattern, not zeros, so that a caller that
// forgets to clear one is seen.
#include <cstdlib>

#include "sim/platform.h"

using sim::platform;

namespace sim {

PVOID allocatePool(SIZE_T bytes, ULONG tag) {
  auto &p = platform();
  PlatformLock guard;
  if (p.faults.allocationFails("ExAllocatePoolWithTag")) {
    p.trace.add("pool",
                [&] { return "ExAllocatePoolWithTag(" + std::to_string(bytes) + ", " + tagName(tag) + ") -> NULL"; });
    return nullptr;
  }
  void *block = malloc(bytes ? bytes : 1);
  memset(block, 0xCD, bytes);
  p.pool[block] = PoolBlock{bytes, tag};
  p.trace.add("pool", [&] { return "ExAllocatePoolWithTag(" + std::to_string(bytes) + ", " + tagName(tag) + ")"; });
  return block;
}

}  // namespace sim

// The driver's completion paths run at DISPATCH_LEVEL, where paged pool may
// not be touched; and every block it takes carries its own tag.
extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
  sim::kernelCall("ExAllocatePoolWithTag");
  auto &p = platform();
  sim::PlatformLock guard;
  if (type != NonPagedPool)
    p.verifier.violation("ExAllocatePoolWithTag of pool type " + std::to_string(type) +
                         " (only NonPagedPool is allowed)");
  if (p.driverPoolTag && tag != p.driverPoolTag)
    p.verifier.violation("ExAllocatePoolWithTag with tag " + sim::tagName(tag) + ", not the driver's " +
                         sim::tagName(p.driverPoolTag));
  return sim::allocatePool(bytes, tag);
}

static void freePool(PVOID block, ULONG tag, bool checkTag) {
  auto &p = platform();
  sim::PlatformLock guard;
  auto it = p.pool.find(block);
  if (it == p.pool.end()) {
    p.verifier.violation("ExFreePool of memory that is not an allocated pool block");
    return;
  }
  if (checkTag && it->second.tag != tag)
    p.verifier.violation("ExFreePoolWithTag with tag " + sim::tagName(tag) + " on a block tagged " +
                         sim::tagName(it->second.tag));
  p.trace.add("pool", [&] {
    return "ExFreePool(" + std::to_string(it->second.size) + ", " + sim::tagName(it->second.tag) + ")";
  });
  p.pool.erase(it);
  free(block);
}

extern "C" VOID ExFreePoolWithTag(PVOID block, ULONG tag) {
  sim::kernelCall("ExFreePoolWithTag");
  freePool(block, tag, true);
}

extern "C" VOID ExFreePool(PVOID block) {
  sim::kernelCall("ExFreePool");
  freePool(block, 0, false);
}
