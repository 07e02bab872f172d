/* The 32-bit runner also runs on ReactOS, whose kernel32 is Windows Server
 * 2003's (NT 5.2) and lacks GetTickCount64, which the posix-thread runtime
 * (winpthreads) imports: the loader would refuse the whole program. The
 * runtime's import slot is filled here instead, with kernel32's own function
 * where it has one. Linked into the executable, so it wins over the import
 * library's slot. */
#include <windows.h>

#if defined(__i386__)
typedef ULONGLONG(WINAPI *TickCount64)(void);

static ULONGLONG WINAPI tickCount64(void) {
  static TickCount64 own;
  static LONG looked;
  if (!InterlockedCompareExchange(&looked, 0, 0)) {
    own = (TickCount64)(void *)GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount64");
    InterlockedExchange(&looked, 1);
  }
  /* The 32-bit count wraps after 49 days; the runtime measures waits of seconds. */
  return own ? own() : GetTickCount();
}

TickCount64 tickCount64Slot __asm__("__imp__GetTickCount64@0") = tickCount64;
#endif
