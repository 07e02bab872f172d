// The caller's address space: regions at user addresses, each with its access
// rights and backed by host memory elsewhere. The user addresses themselves
// lie in a range reserved with no access in the host process, so code that
// dereferences one instead of going through an MDL faults at once.
#pragma once

#include <cstddef>
#include <map>
#include <memory>

#include "sim/kernel_api.h"

namespace sim {

enum class UserAccess { None, Read, ReadWrite };

class UserMemory {
 public:
  // A region of size bytes (at least 1) ending at a page end, with a page of
  // nothing after it, so a range one byte too long leaves it. Its bytes start
  // filled with 0xCD. Returns the user address, below 4 GiB as a 32-bit
  // caller's would be.
  PVOID allocate(size_t size, UserAccess access);
  // The region's address becomes invalid; later probes of it fail.
  void free(PVOID address);
  // The host memory behind a user address in a live region, for a test to
  // fill or inspect; null elsewhere.
  unsigned char *bytes(PVOID address);
  // The host memory behind [address, address + length) when the whole range
  // lies in one live region granting at least this access; null otherwise.
  unsigned char *resolve(ULONG_PTR address, ULONG_PTR length, UserAccess needed);
  // Within the reserved range, live or not.
  bool isUserAddress(ULONG_PTR address) const { return address >= base_ && address < base_ + kReserved; }
  // Frees every region; the reserved range stays for the next test.
  void clear();

 private:
  struct Region {
    ULONG_PTR size;
    UserAccess access;
    std::unique_ptr<unsigned char[]> host;
  };
  static constexpr ULONG_PTR kReserved = ULONG_PTR(256) << 20;
  void reserve();
  Region *regionAt(ULONG_PTR address, ULONG_PTR *offset);

  ULONG_PTR base_ = 0;
  ULONG_PTR next_ = 0;  // the next free page
  std::map<ULONG_PTR, Region> regions_;  // by start address
};

}  // namespace sim
