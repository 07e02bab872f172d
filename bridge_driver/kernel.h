// The kernel and USB interfaces under the driver: the DDK headers in the
// target build, the simulator's declarations in the host build.
#pragma once

#if defined(_WIN32)
#include <wdm.h>
#include <usb.h>
// The library header has no C++ linkage block of its own.
extern "C" {
#include <usbdlib.h>
}
#include <usbioctl.h>
// Wide literals: 16-bit characters on both builds.
#define KX_WIDE(s) L##s
#if !defined(_WIN64)
// The flat ring-0 code selector of the running kernel: the legacy kernel's
// differs from NT's, and reading it calls nothing that either may lack.
static inline USHORT KxCodeSelector(void) {
  USHORT selector;
  __asm__("movw %%cs, %0" : "=r"(selector));
  return selector;
}
#endif
// Runs Routine(Context) and returns STATUS_SUCCESS, or the status of an
// exception raised inside it (guarded_call.cpp): GCC has no __try.
typedef VOID KX_GUARDED_ROUTINE(PVOID Context);
extern "C" NTSTATUS KxCallGuarded(KX_GUARDED_ROUTINE *Routine, PVOID Context);
#else
#include "sim/usb_api.h"
#endif

// 64-bit code, where a 32-bit caller's records are laid out differently.
#if defined(_WIN64) || (!defined(_WIN32) && UINTPTR_MAX > 0xFFFFFFFFu)
#define KX_64BIT 1
#else
#define KX_64BIT 0
#endif

// No legacy kernel runs 64-bit Windows code: the x86_64 image has no child-node code.
#if defined(_WIN32) && defined(_WIN64)
#define KX_LEGACY_KERNEL_POSSIBLE 0
#else
#define KX_LEGACY_KERNEL_POSSIBLE 1
#endif
