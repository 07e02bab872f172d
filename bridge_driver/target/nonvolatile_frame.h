// x86_64: the prologue that saves every non-volatile register (rbp, rbx, rsi,
// rdi, r12-r15, then xmm6-xmm15 at 32..176 in a 200-byte frame) with unwind
// data the dispatcher can read, and the epilogue that restores them. Between
// the two, 192(%rsp) is free for the routine's own use.
#pragma once

#define KX_SAVE_NONVOLATILE \
  "\n\tpushq %rbp" \
  "\n\t.seh_pushreg %rbp" \
  "\n\tpushq %rbx" \
  "\n\t.seh_pushreg %rbx" \
  "\n\tpushq %rsi" \
  "\n\t.seh_pushreg %rsi" \
  "\n\tpushq %rdi" \
  "\n\t.seh_pushreg %rdi" \
  "\n\tpushq %r12" \
  "\n\t.seh_pushreg %r12" \
  "\n\tpushq %r13" \
  "\n\t.seh_pushreg %r13" \
  "\n\tpushq %r14" \
  "\n\t.seh_pushreg %r14" \
  "\n\tpushq %r15" \
  "\n\t.seh_pushreg %r15" \
  "\n\tsubq $200, %rsp" \
  "\n\t.seh_stackalloc 200" \
  "\n\tmovaps %xmm6, 32(%rsp)" \
  "\n\t.seh_savexmm %xmm6, 32" \
  "\n\tmovaps %xmm7, 48(%rsp)" \
  "\n\t.seh_savexmm %xmm7, 48" \
  "\n\tmovaps %xmm8, 64(%rsp)" \
  "\n\t.seh_savexmm %xmm8, 64" \
  "\n\tmovaps %xmm9, 80(%rsp)" \
  "\n\t.seh_savexmm %xmm9, 80" \
  "\n\tmovaps %xmm10, 96(%rsp)" \
  "\n\t.seh_savexmm %xmm10, 96" \
  "\n\tmovaps %xmm11, 112(%rsp)" \
  "\n\t.seh_savexmm %xmm11, 112" \
  "\n\tmovaps %xmm12, 128(%rsp)" \
  "\n\t.seh_savexmm %xmm12, 128" \
  "\n\tmovaps %xmm13, 144(%rsp)" \
  "\n\t.seh_savexmm %xmm13, 144" \
  "\n\tmovaps %xmm14, 160(%rsp)" \
  "\n\t.seh_savexmm %xmm14, 160" \
  "\n\tmovaps %xmm15, 176(%rsp)" \
  "\n\t.seh_savexmm %xmm15, 176" \
  "\n\t.seh_endprologue" \
  "\n"

#define KX_RESTORE_NONVOLATILE \
  "\n\tmovaps 32(%rsp), %xmm6" \
  "\n\tmovaps 48(%rsp), %xmm7" \
  "\n\tmovaps 64(%rsp), %xmm8" \
  "\n\tmovaps 80(%rsp), %xmm9" \
  "\n\tmovaps 96(%rsp), %xmm10" \
  "\n\tmovaps 112(%rsp), %xmm11" \
  "\n\tmovaps 128(%rsp), %xmm12" \
  "\n\tmovaps 144(%rsp), %xmm13" \
  "\n\tmovaps 160(%rsp), %xmm14" \
  "\n\tmovaps 176(%rsp), %xmm15" \
  "\n\taddq $200, %rsp" \
  "\n\tpopq %r15" \
  "\n\tpopq %r14" \
  "\n\tpopq %r13" \
  "\n\tpopq %r12" \
  "\n\tpopq %rdi" \
  "\n\tpopq %rsi" \
  "\n\tpopq %rbx" \
  "\n\tpopq %rbp" \
  "\n\tret" \
  "\n"
