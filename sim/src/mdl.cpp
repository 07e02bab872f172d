// Memory descriptor lists. The simulated machine has one address space, so a
// system mapping of an MDL is the address of the buffer it describes.
#include "sim/platform.h"

using sim::platform;

extern "C" PVOID MmMapLockedPages(PMDL mdl, KPROCESSOR_MODE) {
  sim::kernelCall("MmMapLockedPages");
  auto &p = platform();
  sim::PlatformLock guard;
  if (p.irql > DISPATCH_LEVEL) p.verifier.violation("MmMapLockedPages at IRQL " + std::to_string(p.irql));
  if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
    p.verifier.violation("MmMapLockedPages on an MDL already mapped to a system address");
    return mdl->MappedSystemVa;
  }
  mdl->MappedSystemVa = reinterpret_cast<PVOID>(reinterpret_cast<uintptr_t>(mdl->StartVa) + mdl->ByteOffset);
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  p.trace.add("mm", "MmMapLockedPages(" + std::to_string(mdl->ByteCount) + " bytes)");
  return mdl->MappedSystemVa;
}
