// KxCallGuarded for the target: GCC has no __try, so a small frame of our
// own, known to the system's exception dispatcher, stands in for one. A fault
// or a raise inside the routine unwinds the frames above ours and resumes at
// the end of the call with the exception's status; a normal return gives
// STATUS_SUCCESS. The host build's simulator provides the same routine.
#include "harlen.h"
#include "target/nonvolatile_frame.h"

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
)" KX_SAVE_NONVOLATILE R"(
    movq  %rcx, %rax
    movq  %rdx, %rcx
    callq *%rax
    xorl  %eax, %eax
    .globl KxGuardResume
KxGuardResume:
)" KX_RESTORE_NONVOLATILE R"(
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
