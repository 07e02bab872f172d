// The I/O manager working for a user program: opening a device through a
// symbolic link, direct-I/O reads and writes, buffered device controls, close,
// and the completion APC that copies a device control's output back and frees
// each request's IRP, MDLs and system buffer.
#include <algorithm>

#include "memory_descriptors.h"
#include "sim/user_io.h"

namespace sim {

namespace {

const uintptr_t kPageSize = 4096;
// What a request's status block holds before anyone sets it.
const NTSTATUS kUnsetStatus = static_cast<NTSTATUS>(0xBADC0DE5);
const ULONG_PTR kUnsetInformation = 0xDEADBEEF;

// Set while a handle's request is dispatched on this thread.
thread_local PIRP callerIrp = nullptr;

std::string linkLabel(const std::u16string &link) {
  UNICODE_STRING name{static_cast<USHORT>(link.size() * sizeof(WCHAR)), 0, const_cast<PWSTR>(link.c_str())};
  return narrow(&name);
}

PDEVICE_OBJECT deviceNamedBy(const std::u16string &link) {
  auto &p = platform();
  auto target = p.symbolicLinks.find(link);
  if (target == p.symbolicLinks.end()) return nullptr;
  auto named = p.deviceNames.find(target->second);
  return named == p.deviceNames.end() ? nullptr : named->second;
}

// The MDL the I/O manager builds and locks for direct I/O: the buffer's page
// and offset in it, and the length asked for, whatever the buffer's real size.
std::unique_ptr<MDL> describeBuffer(const void *buffer, ULONG length, bool mapped) {
  auto mdl = std::make_unique<MDL>();
  auto address = reinterpret_cast<uintptr_t>(buffer);
  mdl->Size = sizeof(MDL);
  mdl->MdlFlags = MDL_PAGES_LOCKED;
  mdl->StartVa = reinterpret_cast<PVOID>(address & ~(kPageSize - 1));
  mdl->ByteOffset = static_cast<ULONG>(address & (kPageSize - 1));
  mdl->ByteCount = length;
  if (mapped) {
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    mdl->MappedSystemVa = const_cast<PVOID>(buffer);
  }
  return mdl;
}

PIRP requestIrp(PDEVICE_OBJECT top, UCHAR major) {
  PIRP irp = platform().newIrp(top->StackSize, IrpOrigin::User);
  irp->IoStatus.Status = kUnsetStatus;
  irp->IoStatus.Information = kUnsetInformation;
  irp->RequestorMode = UserMode;
  IoGetNextIrpStackLocation(irp)->MajorFunction = major;
  return irp;
}

std::shared_ptr<UserRequest> newRequest(PIRP irp, bool caller32) {
  auto request = std::make_shared<UserRequest>();
  request->major = IoGetNextIrpStackLocation(irp)->MajorFunction;
  request->irp = irp;
  request->caller32 = caller32;
  return request;
}

// Sends the request to the top of the stack above the handle's device, as
// IoGetRelatedDeviceObject finds it, in the caller's thread context.
std::shared_ptr<UserRequest> send(PDEVICE_OBJECT device, std::shared_ptr<UserRequest> request) {
  auto &p = platform();
  PIRP irp = request->irp;
  irp->MdlAddress = request->mdl.get();
  {
    PlatformLock guard;
    p.userRequests[irp] = request;
  }
  PIRP outer = callerIrp;
  callerIrp = irp;
  request->returned = IofCallDriver(p.topOfStack(device), irp);
  callerIrp = outer;
  return request;
}

bool outstanding(const UserRequest &request) {
  PlatformLock guard;
  auto &requests = platform().userRequests;
  auto it = requests.find(request.irp);
  return it != requests.end() && it->second.get() == &request;
}

// Opens and closes are synchronous: the I/O manager waits until the request
// is completed and freed.
bool waitFor(UserRequest &request, const char *what) {
  if (request.waitForCompletion()) return true;
  platform().verifier.violation(std::string(what) + " sent through a handle was never completed");
  return false;
}

bool isError(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

// METHOD_BUFFERED output, copied into the caller's buffer unless the request failed.
void copyBack(UserRequest &request) {
  if (request.major != IRP_MJ_DEVICE_CONTROL || isError(request.status)) return;
  if (request.information > request.outputLength)
    platform().verifier.violation("device control completed with information " +
                                  std::to_string(request.information) + " for an output buffer of " +
                                  std::to_string(request.outputLength) +
                                  " bytes: the I/O manager would write past the caller's output buffer");
  const size_t length = std::min<ULONG_PTR>(request.information, request.outputLength);
  if (length) memcpy(request.output, request.systemBuffer.get(), length);
}

// The I/O manager's completion APC for a handle's request.
void freeRequest(PIRP irp) {
  auto &p = platform();
  PlatformLock guard;
  auto it = p.userRequests.find(irp);
  if (it->second->cancelPins) {
    p.defer([irp] { freeRequest(irp); });
    return;
  }
  it->second->completionsWhenFreed = p.irps[irp].completions;
  releaseRequestMdls(irp, p.irps[irp].id);
  copyBack(*it->second);
  it->second->mdl.reset();
  it->second->systemBuffer.reset();
  p.userRequests.erase(it);
  p.freeIrp(irp);
  p.changed.notify_all();
}

// A reference taken in the same step as the look-up, against a concurrent IoDeleteDevice.
// The object manager follows the link and hands what is left of the path
// ("\\x" in "\\DosDevices\\Harlen0\\x") to the device as the file name.
PDEVICE_OBJECT referenceDeviceNamedBy(const std::u16string &path, std::u16string &rest) {
  PlatformLock guard;
  size_t end = path.find(u'\\', path.find(u'\\', 1) + 1);
  PDEVICE_OBJECT device = deviceNamedBy(path.substr(0, end));
  rest = end == std::u16string::npos ? u"" : path.substr(end);
  if (device) platform().referenceDevice(device);
  return device;
}

}  // namespace

unsigned UserRequest::completions() const {
  PlatformLock guard;
  return outstanding(*this) ? platform().irps[irp].completions : completionsWhenFreed;
}

bool UserRequest::cancel() {
  {
    PlatformLock guard;
    if (!outstanding(*this)) return false;
    ++cancelPins;
  }
  IoCancelIrp(irp);
  PlatformLock guard;
  --cancelPins;
  return true;
}

bool UserRequest::waitForCompletion() {
  platform().waitUntil([this] { return !outstanding(*this); });
  PlatformLock guard;
  return completed;
}

void userRequestCompleted(PIRP irp) {
  auto &p = platform();
  PlatformLock guard;
  UserRequest &request = *p.userRequests.at(irp);
  request.completed = true;
  request.status = irp->IoStatus.Status;
  request.information = irp->IoStatus.Information;
  p.defer([irp] { freeRequest(irp); });
}

PIRP callerContextIrp() { return callerIrp; }

UserFile UserFile::open(const std::u16string &link, bool caller32) {
  auto &p = platform();
  UserFile file;
  file.caller32_ = caller32;
  std::u16string rest;
  PDEVICE_OBJECT device = referenceDeviceNamedBy(link, rest);
  if (device) {
    file.fileName_ = std::make_shared<std::u16string>(rest);
    file.fileObject_ = std::make_shared<FILE_OBJECT>();
    file.fileObject_->DeviceObject = device;
    file.fileObject_->FileName.Buffer = reinterpret_cast<PWSTR>(file.fileName_->data());
    file.fileObject_->FileName.Length = static_cast<USHORT>(rest.size() * sizeof(char16_t));
    file.fileObject_->FileName.MaximumLength = file.fileObject_->FileName.Length;
    PIRP create = requestIrp(p.topOfStack(device), IRP_MJ_CREATE);
    IoGetNextIrpStackLocation(create)->FileObject = file.fileObject_.get();
    auto request = send(device, newRequest(create, caller32));
    // A create never completed has been reported; the open fails.
    file.status_ = waitFor(*request, "IRP_MJ_CREATE") ? request->status : STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(file.status_)) {
      file.device_ = device;
      file.resets_ = p.resets;
    } else {
      p.dereferenceDevice(device);
    }
  }
  p.trace.add("io", [&] { return "user open " + linkLabel(link) + " -> " + statusName(file.status_); });
  return file;
}

UserFile::UserFile(UserFile &&other) noexcept
    : device_(other.device_), status_(other.status_), resets_(other.resets_), caller32_(other.caller32_),
      fileObject_(std::move(other.fileObject_)), fileName_(std::move(other.fileName_)) {
  other.device_ = nullptr;
}

UserFile &UserFile::operator=(UserFile &&other) noexcept {
  if (this == &other) return *this;
  close();
  device_ = other.device_;
  status_ = other.status_;
  resets_ = other.resets_;
  caller32_ = other.caller32_;
  fileObject_ = std::move(other.fileObject_);
  fileName_ = std::move(other.fileName_);
  other.device_ = nullptr;
  return *this;
}

bool UserFile::isOpen() const { return device_ != nullptr && resets_ == platform().resets; }

std::shared_ptr<UserRequest> UserFile::read(void *buffer, ULONG length, bool mapped) {
  return transfer(IRP_MJ_READ, buffer, length, mapped);
}

std::shared_ptr<UserRequest> UserFile::write(const void *buffer, ULONG length, bool mapped) {
  return transfer(IRP_MJ_WRITE, buffer, length, mapped);
}

std::shared_ptr<UserRequest> UserFile::transfer(UCHAR major, const void *buffer, ULONG length, bool mapped) {
  if (!isOpen()) return nullptr;
  PIRP irp = requestIrp(platform().topOfStack(device_), major);
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  if (major == IRP_MJ_READ)
    stack->Parameters.Read.Length = length;
  else
    stack->Parameters.Write.Length = length;
  auto request = newRequest(irp, caller32_);
  request->mdl = describeBuffer(buffer, length, mapped);
  return send(device_, request);
}

std::shared_ptr<UserRequest> UserFile::deviceControl(ULONG code, const void *input, ULONG inputLength, void *output,
                                                     ULONG outputLength) {
  if (!isOpen() || METHOD_FROM_CTL_CODE(code) != METHOD_BUFFERED) return nullptr;
  PIRP irp = requestIrp(platform().topOfStack(device_), IRP_MJ_DEVICE_CONTROL);
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.DeviceIoControl.IoControlCode = code;
  stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  auto request = newRequest(irp, caller32_);
  const ULONG size = std::max(inputLength, outputLength);
  if (size) {
    request->systemBuffer.reset(new unsigned char[size]);
    memset(request->systemBuffer.get(), 0xCD, size);
    if (inputLength) memcpy(request->systemBuffer.get(), input, inputLength);
  }
  irp->AssociatedIrp.SystemBuffer = request->systemBuffer.get();
  irp->UserBuffer = output;
  request->output = output;
  request->outputLength = outputLength;
  platform().trace.add("io", [&] {
    return "user DEVICE_CONTROL " + hexCode(code) + " (input " + std::to_string(inputLength) + ", output " +
           std::to_string(outputLength) + " bytes)";
  });
  return send(device_, request);
}

NTSTATUS UserFile::close() {
  if (!isOpen()) {
    device_ = nullptr;
    return STATUS_SUCCESS;
  }
  auto &p = platform();
  PDEVICE_OBJECT device = device_;
  device_ = nullptr;
  auto request = send(device, newRequest(requestIrp(p.topOfStack(device), IRP_MJ_CLOSE), caller32_));
  waitFor(*request, "IRP_MJ_CLOSE");
  p.dereferenceDevice(device);
  return request->status;
}

}  // namespace sim

// Windows asks the process that sent the request; here the handle's bitness
// stands for it. A request no handle sent comes from kernel mode.
extern "C" BOOLEAN IoIs32bitProcess(PIRP irp) {
  sim::kernelCall("IoIs32bitProcess");
  auto &p = sim::platform();
  sim::PlatformLock guard;
  if (irp == nullptr) irp = sim::callerContextIrp();
  auto it = p.userRequests.find(irp);
  return it != p.userRequests.end() && it->second->caller32;
}
