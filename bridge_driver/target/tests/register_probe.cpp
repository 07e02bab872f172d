// The probe and the clobbering routine of register_probe.h, per architecture.
#include "register_probe.h"

#include <cstddef>
#include "target/nonvolatile_frame.h"

#if defined(__x86_64__)
static_assert(offsetof(KxRegisters, spBefore) == 64 && offsetof(KxRegisters, spAfter) == 72 &&
                  offsetof(KxRegisters, xmm) == 80,
              "the offsets the assembly uses");

// Both carry unwind data, so the dispatcher can walk through them; the
// clobbering routine declares no saved register, so an unwind through it
// leaves its values in place for the guard to undo.
__asm__(R"(
    .text
    .globl KxProbeGuard
    .seh_proc KxProbeGuard
KxProbeGuard:
)" KX_SAVE_NONVOLATILE R"(
    movq  %r9, 192(%rsp)
    movq  %rsp, 64(%r9)
    movq  0(%r8), %rbx
    movq  8(%r8), %rbp
    movq  16(%r8), %rsi
    movq  24(%r8), %rdi
    movq  32(%r8), %r12
    movq  40(%r8), %r13
    movq  48(%r8), %r14
    movq  56(%r8), %r15
    movdqu 80(%r8),  %xmm6
    movdqu 96(%r8),  %xmm7
    movdqu 112(%r8), %xmm8
    movdqu 128(%r8), %xmm9
    movdqu 144(%r8), %xmm10
    movdqu 160(%r8), %xmm11
    movdqu 176(%r8), %xmm12
    movdqu 192(%r8), %xmm13
    movdqu 208(%r8), %xmm14
    movdqu 224(%r8), %xmm15
    callq KxCallGuarded
    movq  192(%rsp), %r11
    movq  %rsp, 72(%r11)
    movq  %rbx, 0(%r11)
    movq  %rbp, 8(%r11)
    movq  %rsi, 16(%r11)
    movq  %rdi, 24(%r11)
    movq  %r12, 32(%r11)
    movq  %r13, 40(%r11)
    movq  %r14, 48(%r11)
    movq  %r15, 56(%r11)
    movdqu %xmm6,  80(%r11)
    movdqu %xmm7,  96(%r11)
    movdqu %xmm8,  112(%r11)
    movdqu %xmm9,  128(%r11)
    movdqu %xmm10, 144(%r11)
    movdqu %xmm11, 160(%r11)
    movdqu %xmm12, 176(%r11)
    movdqu %xmm13, 192(%r11)
    movdqu %xmm14, 208(%r11)
    movdqu %xmm15, 224(%r11)
)" KX_RESTORE_NONVOLATILE R"(
    .seh_endproc

    .globl KxClobberThenCall
    .seh_proc KxClobberThenCall
KxClobberThenCall:
    subq  $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    movq  (%rcx), %rax
    movq  8(%rcx), %rcx
    movabsq $0xC1C1C1C1C1C1C101, %rbx
    movabsq $0xC1C1C1C1C1C1C102, %rbp
    movabsq $0xC1C1C1C1C1C1C103, %rsi
    movabsq $0xC1C1C1C1C1C1C104, %rdi
    movabsq $0xC1C1C1C1C1C1C105, %r12
    movabsq $0xC1C1C1C1C1C1C106, %r13
    movabsq $0xC1C1C1C1C1C1C107, %r14
    movabsq $0xC1C1C1C1C1C1C108, %r15
    movq  %rbx, %xmm6
    movq  %rbp, %xmm7
    movq  %rsi, %xmm8
    movq  %rdi, %xmm9
    movq  %r12, %xmm10
    movq  %r13, %xmm11
    movq  %r14, %xmm12
    movq  %r15, %xmm13
    movq  %rbx, %xmm14
    movq  %rbp, %xmm15
    callq *%rax
    addq  $40, %rsp
    ret
    .seh_endproc
)");

#else
static_assert(offsetof(KxRegisters, spBefore) == 16 && offsetof(KxRegisters, spAfter) == 20 &&
                  offsetof(KxRegisters, exceptionList) == 24,
              "the offsets the assembly uses");

__asm__(R"(
    .text
    .globl _KxProbeGuard
_KxProbeGuard:
    pushl %ebp
    movl  %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    pushl 20(%ebp)
    pushl 12(%ebp)
    pushl 8(%ebp)
    movl  16(%ebp), %eax
    movl  20(%ebp), %ecx
    movl  %esp, 16(%ecx)
    movl  0(%eax), %ebx
    movl  4(%eax), %esi
    movl  8(%eax), %edi
    movl  12(%eax), %ebp
    call  _KxCallGuarded
    movl  8(%esp), %ecx
    movl  %esp, 20(%ecx)
    movl  %ebx, 0(%ecx)
    movl  %esi, 4(%ecx)
    movl  %edi, 8(%ecx)
    movl  %ebp, 12(%ecx)
    movl  %fs:0, %edx
    movl  %edx, 24(%ecx)
    addl  $12, %esp
    popl  %edi
    popl  %esi
    popl  %ebx
    popl  %ebp
    ret

    .globl _KxClobberThenCall
_KxClobberThenCall:
    movl  4(%esp), %eax
    movl  $0xC1C1C101, %ebx
    movl  $0xC1C1C102, %esi
    movl  $0xC1C1C103, %edi
    movl  $0xC1C1C104, %ebp
    pushl 4(%eax)
    call  *(%eax)
    addl  $4, %esp
    ret

    .globl _KxRegisteredThenCall
_KxRegisteredThenCall:
    pushl %ebp
    movl  %esp, %ebp
    pushl $_KxCountingHandler
    pushl %fs:0
    movl  %esp, %fs:0
    movl  8(%ebp), %eax
    pushl 4(%eax)
    call  *(%eax)
    addl  $4, %esp
    movl  (%esp), %ecx
    movl  %ecx, %fs:0
    leave
    ret
)");
#endif
