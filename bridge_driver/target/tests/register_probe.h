// Assembly around KxCallGuarded for its test: the probe sets every
// non-volatile register to a pattern, calls the guard and reads them back;
// KxClobberThenCall overwrites them all and keeps none, as a routine the
// guard interrupts may leave them.
#pragma once

#include <cstdint>

struct KxRegisters {
#if defined(__x86_64__)
  uintptr_t gp[8];  // rbx, rbp, rsi, rdi, r12, r13, r14, r15
  uintptr_t spBefore, spAfter;
  uint8_t xmm[10][16];  // xmm6 to xmm15
#else
  uintptr_t gp[4];  // ebx, esi, edi, ebp
  uintptr_t spBefore, spAfter;
  uintptr_t exceptionList;  // fs:[0] after the call
#endif
};

// What KxClobberThenCall runs once the registers hold its own values.
struct KxStep {
  void (*then)(void *arg);
  void *arg;
};

extern "C" {
// KxCallGuarded(routine, context) between the pattern and the read-back; returns its status.
long KxProbeGuard(void (*routine)(void *), void *context, const KxRegisters *pattern, KxRegisters *seen);
// A guarded routine: context is a KxStep.
void KxClobberThenCall(void *step);
#if defined(__i386__)
// Runs the step under a registration record of its own at fs:[0], whose
// handler (KxCountingHandler, in the test) counts its calls.
void KxRegisteredThenCall(void *step);
#endif
}
