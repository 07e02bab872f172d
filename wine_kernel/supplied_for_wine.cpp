// Linked into the image the Wine tests install, never into the shipped one.
// Wine's kernel only stubs MmMapLockedPages: a call aborts the whole driver
// host. The data path calls it for a buffer whose MDL has no system address
// yet. Under Wine every kernel-mode address is the driver host's own memory,
// so the pages an MDL describes are already mapped at its virtual address.
#include <ntddk.h>

namespace {

PVOID NTAPI MapAtVirtualAddress(PMDL Mdl, KPROCESSOR_MODE AccessMode) {
  UNREFERENCED_PARAMETER(AccessMode);
  return static_cast<PUCHAR>(Mdl->StartVa) + Mdl->ByteOffset;
}

}  // namespace

// The driver calls through the import's pointer: defining that pointer here
// keeps the import library's entry, and so the import, out of the image.
#ifdef _WIN64
#define HARLEN_IMPORT_POINTER "__imp_MmMapLockedPages"
#else
#define HARLEN_IMPORT_POINTER "__imp__MmMapLockedPages@8"
#endif
extern "C" decltype(&MapAtVirtualAddress) SuppliedMmMapLockedPages __asm__(HARLEN_IMPORT_POINTER);
decltype(&MapAtVirtualAddress) SuppliedMmMapLockedPages = MapAtVirtualAddress;
