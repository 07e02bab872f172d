// KxCallGuarded for the target: GCC has no __try, so a small frame of our
// own, known to the system's exception dispatcher, stands in for one. A fault
// or a raise inside the routine unwinds the frames above ours and resumes at
// the end of the call with the exception's status; a normal return gives
// STATUS_SUCCESS. The host build's simulator provides the same routine.
#include "harlen.h"

#ifndef EXCEPTION_UNWINDING
#define EXCEPTION_UNWINDING 0x2
#define EXCEPTION_EXIT_UNWIND 0x4
#endif

extern "C" VOID KxGuardResume(void);

#if defined(__i386__)
// A registration record at fs:[0]: the chain runs from the innermost frame
// outwards and ends at -1.
typedef struct _KxRegistration {
  struct _KxRegistration *Next;
  PVOID Handler;
} KxRegistration;

typedef EXCEPTION_DISPOSITION __cdecl KX_FRAME_HANDLER(PEXCEPTION_RECORD Record, KxRegistration *Frame,
                                                       PCONTEXT Context, PVOID Dispatcher);
extern "C" EXCEPTION_DISPOSITION KxCallFrameHandler(KX_FRAME_HANDLER *Handler, PEXCEPTION_RECORD Record,
                                                    KxRegistration *Frame, PCONTEXT Context, PVOID Dispatcher);

// Our registration record (previous record, handler) sits on the stack at
// fs:[0] while the routine runs; the resume point takes it off again.
// KxCallFrameHandler calls another frame's handler keeping ebx, esi, edi and
// ebp whatever that handler does (compilers' handlers need not keep them).
__asm__(R"(
    .text
    .globl _KxCallGuarded
_KxCallGuarded:
    pushl %ebp
    movl  %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    pushl $_KxGuardHandler
    pushl %fs:0
    movl  %esp, %fs:0
    pushl 12(%ebp)
    call  *8(%ebp)
    addl  $4, %esp
    xorl  %eax, %eax
    .globl _KxGuardResume
_KxGuardResume:
    movl  (%esp), %ecx
    movl  %ecx, %fs:0
    addl  $8, %esp
    popl  %edi
    popl  %esi
    popl  %ebx
    popl  %ebp
    ret

    .globl _KxCallFrameHandler
_KxCallFrameHandler:
    pushl %ebp
    movl  %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    pushl 24(%ebp)
    pushl 20(%ebp)
    pushl 16(%ebp)
    pushl 12(%ebp)
    call  *8(%ebp)
    leal  -12(%ebp), %esp
    popl  %edi
    popl  %esi
    popl  %ebx
    popl  %ebp
    ret
)");

static KxRegistration *KxChainHead(void) {
  KxRegistration *head;
  __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}

static VOID KxSetChainHead(KxRegistration *Head) { __asm__ volatile("movl %0, %%fs:0" : : "r"(Head) : "memory"); }

// What RtlUnwind does, without the export Windows 98 may lack: each record
// above ours (the frames the exception skips, and the dispatcher's own) has
// its handler called once with the unwinding flag, innermost first, and is
// taken off the chain; our record is then the head.
static VOID KxUnwindTo(KxRegistration *Target, PEXCEPTION_RECORD Record, PCONTEXT Context) {
  Record->ExceptionFlags |= EXCEPTION_UNWINDING;
  for (KxRegistration *frame = KxChainHead(); frame != Target && frame != (KxRegistration *)-1;
       frame = KxChainHead()) {
    PVOID dispatcher = NULL;
    KxCallFrameHandler((KX_FRAME_HANDLER *)frame->Handler, Record, frame, Context, &dispatcher);
    KxSetChainHead(frame->Next);
  }
}

// Raises are not continuable: the handler unwinds and jumps to the resume
// point itself, with esp at our record and the status in eax.
extern "C" EXCEPTION_DISPOSITION __cdecl KxGuardHandler(PEXCEPTION_RECORD Record, PVOID Frame, PCONTEXT Context,
                                                        PVOID Dispatcher) {
  (void)Dispatcher;
  if (Record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
  KxUnwindTo((KxRegistration *)Frame, Record, Context);
  LONG code = (LONG)Record->ExceptionCode;
  __asm__ volatile("movl %0, %%esp\n\tjmp _KxGuardResume" : : "r"(Frame), "a"(code) : "memory");
  __builtin_unreachable();
}

#elif defined(__x86_64__)
extern "C" NTSYSAPI VOID NTAPI RtlUnwindEx(PVOID TargetFrame, PVOID TargetIp, PEXCEPTION_RECORD ExceptionRecord,
                                           PVOID ReturnValue, PCONTEXT Context, PVOID HistoryTable);

// The dispatcher's context as 64-bit Windows publishes it, up to the fields
// used here; the kernel headers do not declare it.
typedef struct _KxDispatcherContext {
  ULONG64 ControlPc;
  ULONG64 ImageBase;
  PVOID FunctionEntry;
  ULONG64 EstablisherFrame;
  ULONG64 TargetIp;
  PCONTEXT ContextRecord;
  PVOID LanguageHandler;
  PVOID HandlerData;
  PVOID HistoryTable;
} KxDispatcherContext;

// Saves every non-volatile register in a prologue the unwinder can read; its
// unwind information names our handler.
__asm__(R"(
    .text
    .globl KxCallGuarded
    .seh_proc KxCallGuarded
KxCallGuarded:
    pushq %rbp
    .seh_pushreg %rbp
    pushq %rbx
    .seh_pushreg %rbx
    pushq %rsi
    .seh_pushreg %rsi
    pushq %rdi
    .seh_pushreg %rdi
    pushq %r12
    .seh_pushreg %r12
    pushq %r13
    .seh_pushreg %r13
    pushq %r14
    .seh_pushreg %r14
    pushq %r15
    .seh_pushreg %r15
    subq  $200, %rsp
    .seh_stackalloc 200
    movaps %xmm6,  32(%rsp)
    .seh_savexmm %xmm6, 32
    movaps %xmm7,  48(%rsp)
    .seh_savexmm %xmm7, 48
    movaps %xmm8,  64(%rsp)
    .seh_savexmm %xmm8, 64
    movaps %xmm9,  80(%rsp)
    .seh_savexmm %xmm9, 80
    movaps %xmm10, 96(%rsp)
    .seh_savexmm %xmm10, 96
    movaps %xmm11, 112(%rsp)
    .seh_savexmm %xmm11, 112
    movaps %xmm12, 128(%rsp)
    .seh_savexmm %xmm12, 128
    movaps %xmm13, 144(%rsp)
    .seh_savexmm %xmm13, 144
    movaps %xmm14, 160(%rsp)
    .seh_savexmm %xmm14, 160
    movaps %xmm15, 176(%rsp)
    .seh_savexmm %xmm15, 176
    .seh_endprologue
    movq  %rcx, %rax
    movq  %rdx, %rcx
    callq *%rax
    xorl  %eax, %eax
    .globl KxGuardResume
KxGuardResume:
    movaps 32(%rsp),  %xmm6
    movaps 48(%rsp),  %xmm7
    movaps 64(%rsp),  %xmm8
    movaps 80(%rsp),  %xmm9
    movaps 96(%rsp),  %xmm10
    movaps 112(%rsp), %xmm11
    movaps 128(%rsp), %xmm12
    movaps 144(%rsp), %xmm13
    movaps 160(%rsp), %xmm14
    movaps 176(%rsp), %xmm15
    addq  $200, %rsp
    popq  %r15
    popq  %r14
    popq  %r13
    popq  %r12
    popq  %rdi
    popq  %rsi
    popq  %rbx
    popq  %rbp
    ret
    .seh_handler KxGuardHandler, @except
    .seh_endproc
)");

// Unwinds to our frame and resumes there with the status in rax; RtlUnwindEx
// restores the frame's registers and does not return.
extern "C" EXCEPTION_DISPOSITION KxGuardHandler(PEXCEPTION_RECORD Record, PVOID Frame, PCONTEXT Context,
                                                KxDispatcherContext *Dispatcher) {
  (void)Context;
  if (Record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
  RtlUnwindEx(Frame, (PVOID)&KxGuardResume, Record, (PVOID)(LONG_PTR)(LONG)Record->ExceptionCode,
              Dispatcher->ContextRecord, Dispatcher->HistoryTable);
  __builtin_unreachable();
}
#endif
