// KxCallGuarded run for real, as user-mode code under Wine: the system's
// exception dispatcher finds the guard's frame (fs:[0] on i686, unwind data
// on x86_64), and every call, whatever ended it, gives back the status, the
// stack pointer, the fs:[0] chain and every non-volatile register the caller had.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "register_probe.h"

namespace {

const long kAccessViolation = long(0xC0000005);
const long kSoftware = long(0xE0484B31);  // RaiseException's code, software bit set
const long kAfterInner = long(0xE0484B32);

#if defined(__x86_64__)
const char *const kNames[] = {"rbx", "rbp", "rsi", "rdi", "r12", "r13", "r14", "r15"};
#else
const char *const kNames[] = {"ebx", "esi", "edi", "ebp"};
#endif

// A pattern of its own for each register and each call.
KxRegisters patternFor(unsigned call) {
  KxRegisters pattern{};
  for (unsigned i = 0; i < sizeof(pattern.gp) / sizeof(pattern.gp[0]); ++i)
    pattern.gp[i] = uintptr_t(0x5A5A5A5A5A5A0000ull) | (call << 4) | (i + 1);
#if defined(__x86_64__)
  for (unsigned i = 0; i < 10; ++i)
    for (unsigned b = 0; b < 16; ++b) pattern.xmm[i][b] = uint8_t(0x60 + i * 16 + b + call);
#endif
  return pattern;
}

uintptr_t chainHead() {
#if defined(__i386__)
  uintptr_t head;
  __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
#else
  return 0;
#endif
}

// One guarded call through the probe; every failure names the register.
long guardedCall(KxStep step, unsigned call) {
  const KxRegisters pattern = patternFor(call);
  KxRegisters seen{};
  const uintptr_t chain = chainHead();
  long status = KxProbeGuard(KxClobberThenCall, &step, &pattern, &seen);
  EXPECT_EQ(seen.spAfter, seen.spBefore) << "stack pointer";
  for (unsigned i = 0; i < sizeof(pattern.gp) / sizeof(pattern.gp[0]); ++i)
    EXPECT_EQ(seen.gp[i], pattern.gp[i]) << kNames[i];
#if defined(__x86_64__)
  for (unsigned i = 0; i < 10; ++i)
    EXPECT_EQ(std::memcmp(seen.xmm[i], pattern.xmm[i], 16), 0) << "xmm" << (i + 6);
#else
  EXPECT_EQ(seen.exceptionList, chain) << "fs:[0] chain";
#endif
  (void)chain;
  return status;
}

void *noAccessPage() {
  static void *page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
  return page;
}

void returnNormally(void *) {}
void touchNoAccessPage(void *) { *static_cast<volatile int *>(noAccessPage()) = 1; }
void raiseSoftware(void *) { RaiseException(DWORD(kSoftware), 0, 0, nullptr); }

// A guard inside a guard: the inner one takes the fault, the outer one the raise after it.
long innerStatus;
void nestedThenRaise(void *) {
  innerStatus = guardedCall({touchNoAccessPage, nullptr}, 99);
  RaiseException(DWORD(kAfterInner), 0, 0, nullptr);
}

struct Case {
  const char *what;
  KxStep step;
  long status;
};

const Case kCases[] = {
    {"a normal return", {returnNormally, nullptr}, 0},
    {"an access violation", {touchNoAccessPage, nullptr}, kAccessViolation},
    {"a software exception", {raiseSoftware, nullptr}, kSoftware},
    {"a nested guard, then a raise", {nestedThenRaise, nullptr}, kAfterInner},
};

TEST(GuardedCall, GivesTheStatusAndTheCallersRegistersBack) {
  ASSERT_NE(noAccessPage(), nullptr);
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    innerStatus = -1;
    EXPECT_EQ(guardedCall(c.step, 1), c.status);
    if (c.step.then == nestedThenRaise) {
      EXPECT_EQ(innerStatus, kAccessViolation) << "the inner guard's status";
    }
  }
}

// A leak of stack or of a registration record at each call would add up.
TEST(GuardedCall, RepeatedCallsLeaveNothingBehind) {
  ASSERT_NE(noAccessPage(), nullptr);
  for (unsigned call = 0; call < 300; ++call) {
    const Case &c = kCases[call % (sizeof(kCases) / sizeof(kCases[0]))];
    SCOPED_TRACE(std::string(c.what) + ", call " + std::to_string(call));
    ASSERT_EQ(guardedCall(c.step, call), c.status);
  }
}

#if defined(__i386__)
// The guard unwinds the fs:[0] chain itself: a frame the fault skips gets one
// unwinding call to its handler, after the dispatcher's search call.
int searchCalls, unwindCalls;

}  // namespace

extern "C" EXCEPTION_DISPOSITION __cdecl KxCountingHandler(EXCEPTION_RECORD *record, void *, CONTEXT *, void *) {
  ++(record->ExceptionFlags & EXCEPTION_UNWINDING ? unwindCalls : searchCalls);
  return ExceptionContinueSearch;
}

namespace {

KxStep faultStep = {touchNoAccessPage, nullptr};
void faultUnderOwnHandler(void *) { KxRegisteredThenCall(&faultStep); }

TEST(GuardedCall, UnwindsAFrameWithAHandlerOfItsOwn) {
  ASSERT_NE(noAccessPage(), nullptr);
  searchCalls = unwindCalls = 0;
  EXPECT_EQ(guardedCall({faultUnderOwnHandler, nullptr}, 1), kAccessViolation);
  EXPECT_EQ(searchCalls, 1);
  EXPECT_EQ(unwindCalls, 1);
}
#endif

}  // namespace
