// The I/O manager: device objects and their names, symbolic links, device
// stacks, and IRPs travelling down (IofCallDriver) and back up
// (IofCompleteRequest with completion routines).
#include <algorithm>
#include <cinttypes>
#include <cstdlib>

#include "power_irps.h"
#include "sim/usb_bridge.h"
#include "sim/user_io.h"

using sim::IrpOrigin;
using sim::IrpState;
using sim::platform;

namespace {

std::u16string nameOf(PUNICODE_STRING name) {
  return std::u16string(name->Buffer, name->Length / sizeof(WCHAR));
}

const char *majorName(UCHAR major) {
  switch (major) {
    case IRP_MJ_CREATE: return "CREATE";
    case IRP_MJ_CLOSE: return "CLOSE";
    case IRP_MJ_READ: return "READ";
    case IRP_MJ_WRITE: return "WRITE";
    case IRP_MJ_DEVICE_CONTROL: return "DEVICE_CONTROL";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return "INTERNAL_DEVICE_CONTROL";
    case IRP_MJ_POWER: return "POWER";
    case IRP_MJ_SYSTEM_CONTROL: return "SYSTEM_CONTROL";
    case IRP_MJ_PNP: return "PNP";
  }
  return "OTHER";
}

bool attachRefused(PDEVICE_OBJECT target) {
  for (auto &bridge : platform().bridges)
    if (bridge->refuseAttach && platform().topOfStack(bridge->pdo()) == platform().topOfStack(target)) return true;
  return false;
}

bool invokes(UCHAR control, NTSTATUS status, BOOLEAN cancelled) {
  if (cancelled && (control & SL_INVOKE_ON_CANCEL)) return true;
  return (control & (NT_SUCCESS(status) ? SL_INVOKE_ON_SUCCESS : SL_INVOKE_ON_ERROR)) != 0;
}

// The IRP has left its last stack location: what the I/O manager does for
// the one who made it. Under the platform lock, which a built IRP's event is
// set without: the waiter finds its IRP freed already.
void finishCompletion(PIRP irp, sim::IrpInfo &info, sim::PlatformLock &guard) {
  auto &p = platform();
  info.state = IrpState::Completed;
  info.completions++;
  sim::powerIrpFinished(irp, info);
  p.changed.notify_all();
  if (info.origin == IrpOrigin::Built) {
    if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
    PKEVENT event = irp->UserEvent;
    p.freeIrp(irp);
    guard.unlock();
    if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
  } else if (info.origin == IrpOrigin::User) {
    sim::userRequestCompleted(irp);
  } else if (info.origin == IrpOrigin::Allocated) {
    p.verifier.violation(p.irpLabel(irp) + " from IoAllocateIrp was completed past its owner; its completion "
                         "routine must return STATUS_MORE_PROCESSING_REQUIRED and free it");
  }
}

// The innermost dispatch call still holding the IRP (at the given stack
// location, when one is given), or -1. Callers hold the platform lock.
int heldBy(unsigned irpId, CHAR location = 0) {
  auto &calls = platform().dispatchCalls;
  for (int i = static_cast<int>(calls.size()) - 1; i >= 0; --i)
    if (calls[i].irpId == irpId && !calls[i].completed && (location == 0 || calls[i].location == location)) return i;
  return -1;
}

// "device, IRP#n MAJOR": the device named as it was when the call began.
// Made only for a trace line or a finding.
std::string describeCall(const sim::DispatchCall &call) {
  return (call.deviceLabel ? *call.deviceLabel : platform().deviceLabel(call.device)) + ", " +
         sim::Platform::irpIdLabel(call.irpId) + " " + majorName(call.major);
}

// A driver above still holds the location the IRP arrives at only when it
// skipped its own: a completion routine found there that the driver above did
// not receive was set after the skip, over its caller's.
void checkSkippedLocation(const sim::DispatchCall &call, PIRP irp, const char *routine) {
  auto &p = platform();
  int above = heldBy(call.irpId, irp->CurrentLocation);
  if (above >= 0 && p.dispatchCalls[above].routineOnEntry != IoGetCurrentIrpStackLocation(irp)->CompletionRoutine)
    p.verifier.violation(std::string(routine) + "(" + describeCall(call) +
                         "): a completion routine set after IoSkipCurrentIrpStackLocation replaced the caller's");
}

// The status returned must agree with the pending mark. A routine passing on a
// lower driver's STATUS_PENDING leaves the mark to completion, which checks it.
void checkPendingMark(const sim::DispatchCall &done, NTSTATUS returned) {
  auto &p = platform();
  if (returned == STATUS_PENDING && !done.markedPending && !done.passedDownPending)
    p.verifier.violation("dispatch routine (" + describeCall(done) +
                         ") returned STATUS_PENDING but never called IoMarkIrpPending");
  if (returned != STATUS_PENDING && done.markedPending)
    p.verifier.violation("dispatch routine (" + describeCall(done) + ") called IoMarkIrpPending but returned " +
                         sim::statusName(returned));
}

// Completion has left a stack location: the driver that received it no longer holds the IRP.
void releaseLocation(unsigned irpId, CHAR location) {
  for (auto &call : platform().dispatchCalls)
    if (call.irpId == irpId && call.location == location) call.completed = true;
}

sim::DispatchCall *callWithSerial(unsigned serial) {
  for (auto &call : platform().dispatchCalls)
    if (call.serial == serial) return &call;
  return nullptr;
}

// Completion routines run at DISPATCH_LEVEL, as Windows may run them even when
// the lower driver completes in the caller's thread.
NTSTATUS runCompletionRoutine(PIO_COMPLETION_ROUTINE routine, PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto &p = platform();
  sim::leavingPlatform();
  KIRQL saved = p.irql;
  p.irql = std::max<KIRQL>(saved, DISPATCH_LEVEL);
  NTSTATUS result = routine(device, irp, context);
  p.irql = saved;
  return result;
}

// The I/O manager sending a handle's request: a deleted device still gets
// those, as its memory stays while the handle references it.
bool sentThroughHandle(PIRP irp, const sim::IrpInfo &info) {
  return info.origin == IrpOrigin::User && irp->CurrentLocation == irp->StackCount + 1;
}

}  // namespace

extern "C" VOID SimNoteIrpMarkedPending(PIRP irp) {
  auto &p = platform();
  sim::PlatformLock guard;
  auto it = p.irps.find(irp);
  if (it == p.irps.end()) return;
  // A skipped location is shared: the mark is the skipping driver's too.
  for (auto &call : p.dispatchCalls)
    if (call.irpId == it->second.id && call.location == irp->CurrentLocation && !call.completed)
      call.markedPending = true;
}

extern "C" VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
  sim::kernelCall("RtlInitUnicodeString");
  size_t length = 0;
  while (source && source[length]) ++length;
  destination->Buffer = const_cast<PWSTR>(source);
  destination->Length = static_cast<USHORT>(length * sizeof(WCHAR));
  destination->MaximumLength = static_cast<USHORT>(source ? destination->Length + sizeof(WCHAR) : 0);
  platform().trace.add("io", [&] { return "RtlInitUnicodeString(" + sim::narrow(destination) + ")"; });
}

extern "C" NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name,
                                   DEVICE_TYPE type, ULONG characteristics, BOOLEAN, PDEVICE_OBJECT *device) {
  sim::kernelCall("IoCreateDevice");
  auto &p = platform();
  sim::PlatformLock guard;
  NTSTATUS status = STATUS_SUCCESS;
  if (name && p.deviceNames.count(nameOf(name)))
    status = STATUS_OBJECT_NAME_COLLISION;
  else if (p.faults.allocationFails("IoCreateDevice"))
    status = STATUS_INSUFFICIENT_RESOURCES;
  if (NT_SUCCESS(status)) {
    *device = p.newDevice(driver, extensionSize, type);
    (*device)->Characteristics = characteristics;
    if (name) p.deviceNames[nameOf(name)] = *device;
  }
  p.trace.add("io", [&] { return "IoCreateDevice(" + sim::narrow(name) + ") -> " + sim::statusName(status); });
  return status;
}

extern "C" VOID IoDeleteDevice(PDEVICE_OBJECT device) {
  sim::kernelCall("IoDeleteDevice");
  auto &p = platform();
  sim::PlatformLock guard;
  p.trace.add("io", [&] {
    return "IoDeleteDevice(" + p.deviceLabel(device) + ")" +
           (device->ReferenceCount ? ": referenced, kept until the last reference goes" : "");
  });
  if (p.deletedDevices.count(device)) {
    p.verifier.violation("IoDeleteDevice on a device already deleted");
    return;
  }
  if (device->AttachedDevice) p.verifier.violation("IoDeleteDevice while another device is attached on top");
  if (p.attachedTo.count(device)) p.verifier.violation("IoDeleteDevice on a device still attached to a lower one");
  p.deleteDevice(device);
}

extern "C" NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING target) {
  sim::kernelCall("IoCreateSymbolicLink");
  auto &p = platform();
  sim::PlatformLock guard;
  NTSTATUS status = STATUS_SUCCESS;
  if (p.symbolicLinks.count(nameOf(link)))
    status = STATUS_OBJECT_NAME_COLLISION;
  else if (p.faults.allocationFails("IoCreateSymbolicLink"))
    status = STATUS_INSUFFICIENT_RESOURCES;
  else
    p.symbolicLinks[nameOf(link)] = nameOf(target);
  p.trace.add("io", [&] {
    return "IoCreateSymbolicLink(" + sim::narrow(link) + " -> " + sim::narrow(target) + ") -> " +
           sim::statusName(status);
  });
  return status;
}

extern "C" NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link) {
  sim::kernelCall("IoDeleteSymbolicLink");
  auto &p = platform();
  sim::PlatformLock guard;
  NTSTATUS status = p.symbolicLinks.erase(nameOf(link)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
  p.trace.add("io", [&] { return "IoDeleteSymbolicLink(" + sim::narrow(link) + ") -> " + sim::statusName(status); });
  return status;
}

extern "C" PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
  sim::kernelCall("IoAttachDeviceToDeviceStack");
  auto &p = platform();
  sim::PlatformLock guard;
  PDEVICE_OBJECT top = attachRefused(target) ? nullptr : p.topOfStack(target);
  if (top) {
    top->AttachedDevice = source;
    source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    p.attachedTo[source] = top;
  }
  p.trace.add("io", [&] {
    return "IoAttachDeviceToDeviceStack(" + p.deviceLabel(source) + " on " + p.deviceLabel(target) + ") -> " +
           (top ? p.deviceLabel(top) : "NULL");
  });
  return top;
}

extern "C" VOID IoDetachDevice(PDEVICE_OBJECT lower) {
  sim::kernelCall("IoDetachDevice");
  auto &p = platform();
  sim::PlatformLock guard;
  p.trace.add("io", [&] { return "IoDetachDevice(" + p.deviceLabel(lower) + ")"; });
  if (lower == nullptr || lower->AttachedDevice == nullptr) {
    p.verifier.violation("IoDetachDevice on a device with nothing attached");
    return;
  }
  p.attachedTo.erase(lower->AttachedDevice);
  lower->AttachedDevice = nullptr;
}

extern "C" PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN) {
  sim::kernelCall("IoAllocateIrp");
  auto &p = platform();
  sim::PlatformLock guard;
  if (p.faults.allocationFails("IoAllocateIrp")) {
    p.trace.add("io", [&] { return "IoAllocateIrp(" + std::to_string(stackSize) + ") -> NULL"; });
    return nullptr;
  }
  PIRP irp = p.newIrp(stackSize, IrpOrigin::Allocated);
  p.trace.add("io", [&] { return "IoAllocateIrp(" + std::to_string(stackSize) + ") -> " + p.irpLabel(irp); });
  return irp;
}

extern "C" VOID IoFreeIrp(PIRP irp) {
  sim::kernelCall("IoFreeIrp");
  auto &p = platform();
  sim::PlatformLock guard;
  auto it = p.irps.find(irp);
  if (it == p.irps.end()) {
    p.verifier.violation("IoFreeIrp on an IRP that does not exist");
    return;
  }
  if (it->second.state == IrpState::Dispatched) p.verifier.violation("IoFreeIrp on an IRP still in a driver");
  p.trace.add("io", [&] { return "IoFreeIrp(" + p.irpLabel(irp) + ")"; });
  p.freeIrp(irp);
}

extern "C" PIRP IoBuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input, ULONG inputLength,
                                              PVOID output, ULONG outputLength, BOOLEAN internal, PKEVENT event,
                                              PIO_STATUS_BLOCK iosb) {
  sim::kernelCall("IoBuildDeviceIoControlRequest");
  auto &p = platform();
  sim::PlatformLock guard;
  auto text = [code, internal](const std::string &outcome) {
    char call[96];
    snprintf(call, sizeof call, "IoBuildDeviceIoControlRequest(0x%08" PRIX32 ", %s)", code,
             internal ? "internal" : "external");
    return call + (" -> " + outcome);
  };
  if (p.faults.allocationFails("IoBuildDeviceIoControlRequest")) {
    p.trace.add("io", [&] { return text("NULL"); });
    return nullptr;
  }
  PIRP irp = p.newIrp(device->StackSize, IrpOrigin::Built);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = code;
  next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  next->Parameters.DeviceIoControl.Type3InputBuffer = input;
  irp->UserBuffer = output;
  irp->UserIosb = iosb;
  irp->UserEvent = event;
  p.trace.add("io", [&] { return text(p.irpLabel(irp)); });
  return irp;
}

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT device, PIRP irp) {
  sim::kernelCall("IofCallDriver");
  return sim::callDriver(device, irp, "IofCallDriver");
}

NTSTATUS sim::callDriver(PDEVICE_OBJECT device, PIRP irp, const char *routine) {
  auto &p = platform();
  sim::PlatformLock guard;
  auto it = p.irps.find(irp);
  if (it == p.irps.end()) {
    p.verifier.violation(std::string(routine) + " with an IRP that does not exist");
    return STATUS_INVALID_PARAMETER;
  }
  if (irp->CurrentLocation <= 1) {
    p.verifier.violation(std::string(routine) + ": " + p.irpLabel(irp) + " has no stack location left for " +
                         p.deviceLabel(device));
    return STATUS_INVALID_PARAMETER;
  }
  if (p.deletedDevices.count(device) && !sentThroughHandle(irp, it->second))
    p.verifier.violation(std::string(routine) + ": " + p.irpLabel(irp) + " sent to a deleted device object");
  it->second.state = IrpState::Dispatched;
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  stack->DeviceObject = device;
  sim::DispatchCall call{it->second.id, irp->CurrentLocation, stack->CompletionRoutine};
  call.device = device;
  call.major = stack->MajorFunction;
  p.trace.add("io", [&] { return std::string(routine) + "(" + describeCall(call) + ")"; });
  checkSkippedLocation(call, irp, routine);
  if (stack->MajorFunction == IRP_MJ_POWER) sim::powerIrpReceived(irp, it->second, routine);
  int caller = heldBy(call.irpId);
  const unsigned callerSerial = caller >= 0 ? p.dispatchCalls[caller].serial : 0;
  const unsigned serial = ++p.dispatchSerial;
  call.serial = serial;
  p.dispatchCalls.push_back(std::move(call));
  PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[stack->MajorFunction];
  guard.unlock();
  sim::leavingPlatform();
  NTSTATUS returned = dispatch(device, irp);
  guard.lock();
  // The IRP, and even the device, may be gone now: only what was recorded is read.
  sim::DispatchCall *entry = callWithSerial(serial);
  sim::DispatchCall done = std::move(*entry);
  p.dispatchCalls.erase(p.dispatchCalls.begin() + (entry - p.dispatchCalls.data()));
  checkPendingMark(done, returned);
  sim::DispatchCall *callerCall = callerSerial ? callWithSerial(callerSerial) : nullptr;
  if (callerCall && returned == STATUS_PENDING) callerCall->passedDownPending = true;
  return returned;
}

extern "C" VOID IofCompleteRequest(PIRP irp, CCHAR) {
  sim::kernelCall("IofCompleteRequest");
  auto &p = platform();
  sim::PlatformLock guard;
  auto it = p.irps.find(irp);
  if (it == p.irps.end()) {
    p.verifier.violation("IofCompleteRequest on an IRP that does not exist (freed, or completed before)");
    return;
  }
  if (it->second.state == IrpState::Completed) {
    it->second.completions++;
    p.verifier.violation("IofCompleteRequest: " + p.irpLabel(irp) + " completed twice");
    return;
  }
  if (irp->IoStatus.Status == STATUS_PENDING)
    p.verifier.violation("IofCompleteRequest: " + p.irpLabel(irp) + " completed with STATUS_PENDING");
  // By its id: a completion routine may free the IRP before a finding names it.
  const unsigned id = it->second.id;
  p.trace.add("io", [&] {
    return "IofCompleteRequest(" + sim::Platform::irpIdLabel(id) + ", " + sim::statusName(irp->IoStatus.Status) + ")";
  });
  while (irp->CurrentLocation <= irp->StackCount) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    BOOLEAN cancelled = __atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST);
    bool invoke = routine && invokes(stack->Control, irp->IoStatus.Status, cancelled);
    releaseLocation(id, irp->CurrentLocation);
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
    bool above = irp->CurrentLocation <= irp->StackCount;
    if (!invoke) {
      if (irp->PendingReturned && above) IoMarkIrpPending(irp);
      continue;
    }
    it->second.state = IrpState::Owned;
    PDEVICE_OBJECT device = above ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
    guard.unlock();
    NTSTATUS result = runCompletionRoutine(routine, device, irp, context);
    guard.lock();
    it = p.irps.find(irp);
    if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
    if (it == p.irps.end()) {
      p.verifier.violation("a completion routine freed " + sim::Platform::irpIdLabel(id) +
                           " and let its completion go on");
      return;
    }
    if (irp->PendingReturned && above && !(IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED))
      p.verifier.violation("a completion routine let pending " + sim::Platform::irpIdLabel(id) +
                           " go on without IoMarkIrpPending");
  }
  finishCompletion(irp, it->second, guard);
}
