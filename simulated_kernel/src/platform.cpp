// The platform's object store: IRP and device memory, driver objects, the
// deferred-work queue, and the reset between tests.
#include <algorithm>
#include <cstdlib>

#include "processor.h"
#include "sim/legacy_kernel.h"
#include "sim/usb_bridge.h"

namespace sim {

namespace {

NTSTATUS rejectAsInvalid(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

Platform &Platform::make() {
  static Platform instance;
  instance_.store(&instance, std::memory_order_release);
  return instance;
}

thread_local KIRQL Platform::irql = PASSIVE_LEVEL;

namespace {

// How deep the running thread holds the platform lock's mutex.
thread_local unsigned lockDepth = 0;

}  // namespace

void PlatformLock::lockMutex() {
  platform().mutex_.lock();
  ++lockDepth;
}

void PlatformLock::unlockMutex() {
  --lockDepth;
  platform().mutex_.unlock();
}

void leavingPlatform() {
  if (!platform().threaded || lockDepth == 0) return;
  fprintf(stderr, "simulator: driver code called, or a wait begun, with the platform lock held\n");
  abort();
}

void Platform::reset() {
  PlatformLock guard;
  ++resets;
  userRequests.clear();
  bridges.clear();
  powerStates.clear();
  for (PDEVICE_OBJECT device : std::vector<PDEVICE_OBJECT>(devices)) freeDevice(device);
  for (auto &entry : std::map<PIRP, IrpInfo>(irps)) freeIrp(entry.first);
  dispatchCalls.clear();
  for (auto &entry : pool) free(entry.first);
  pool.clear();
  for (auto &entry : mdls) free(entry.first);
  mdls.clear();
  userMemory.clear();
  deviceNames.clear();
  symbolicLinks.clear();
  attachedTo.clear();
  irpsMade = 0;
  drivers.clear();
  driverExtensions.clear();
  pendingWork.clear();
  abandonedEvents.clear();
  trace.clear();
  // Findings outlive a reset: a table test that starts each row afresh still
  // fails on a row's violation. Whoever owns the run clears them.
  faults = Faults();
  kernel = KernelKind::Nt;
  legacy::reset();
  now = 0;
  irql = PASSIVE_LEVEL;
  driverPoolTag = 0;
  heldSpinLocks().clear();
  kernelCalls = 0;
  preemption_ = nullptr;
  preemptionDue_ = 0;
  preemptionWaitsForLocks_ = false;
  cancelLock = 0;
  dispatchSerial = 0;
  busSequence = 0;
}

void Platform::defer(std::function<void()> work) {
  PlatformLock guard;
  pendingWork.push_back(std::move(work));
  changed.notify_all();
}

bool Platform::runOnePendingWork() {
  std::function<void()> work;
  {
    PlatformLock guard;
    if (threaded || pendingWork.empty()) return false;
    work = std::move(pendingWork.front());
    pendingWork.pop_front();
  }
  KIRQL saved = irql;
  irql = DISPATCH_LEVEL;
  work();
  irql = saved;
  return true;
}

bool Platform::waitUntil(const std::function<bool()> &done) {
  if (threaded) leavingPlatform();
  PlatformLock guard;
  if (threaded) return changed.wait_for(guard, kHangLimit, done);
  while (!done()) {
    guard.unlock();
    bool ran = runOnePendingWork();
    guard.lock();
    if (!ran) return done();
  }
  return true;
}

void Platform::runAllPendingWork() {
  while (runOnePendingWork()) {
  }
}

PIRP Platform::newIrp(CCHAR stackSize, IrpOrigin origin) {
  PlatformLock guard;
  size_t bytes = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
  auto irp = static_cast<PIRP>(calloc(1, bytes));
  auto stacks = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  irp->Size = static_cast<USHORT>(bytes);
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = stacks + stackSize;
  IrpInfo info;
  info.origin = origin;
  info.id = ++irpsMade;
  irps[irp] = info;
  return irp;
}

void Platform::freeIrp(PIRP irp) {
  PlatformLock guard;
  irps.erase(irp);
  free(irp);
}

PDEVICE_OBJECT Platform::newDevice(PDRIVER_OBJECT driver, ULONG extensionSize, DEVICE_TYPE type) {
  PlatformLock guard;
  size_t head = (sizeof(DEVICE_OBJECT) + 7) & ~size_t(7);
  auto device = static_cast<PDEVICE_OBJECT>(calloc(1, head + extensionSize));
  device->Size = static_cast<USHORT>(head + extensionSize);
  device->DriverObject = driver;
  device->DeviceExtension = extensionSize ? reinterpret_cast<char *>(device) + head : nullptr;
  device->DeviceType = type;
  device->StackSize = 1;
  device->Flags = DO_DEVICE_INITIALIZING;
  device->NextDevice = driver->DeviceObject;
  driver->DeviceObject = device;
  devices.push_back(device);
  return device;
}

void Platform::freeDevice(PDEVICE_OBJECT device) {
  PlatformLock guard;
  for (PDEVICE_OBJECT *link = &device->DriverObject->DeviceObject; *link; link = &(*link)->NextDevice)
    if (*link == device) {
      *link = device->NextDevice;
      break;
    }
  forgetName(device);
  deletedDevices.erase(device);
  for (PDEVICE_OBJECT other : devices)
    if (other->AttachedDevice == device) other->AttachedDevice = nullptr;
  attachedTo.erase(device);
  powerStates.erase(device);
  devices.erase(std::remove(devices.begin(), devices.end(), device), devices.end());
  free(device);
}

void Platform::forgetName(PDEVICE_OBJECT device) {
  for (auto &call : dispatchCalls)
    if (call.device == device && !call.deviceLabel) call.deviceLabel = deviceLabel(device);
  for (auto it = deviceNames.begin(); it != deviceNames.end();)
    it = it->second == device ? deviceNames.erase(it) : std::next(it);
}

void Platform::deleteDevice(PDEVICE_OBJECT device) {
  PlatformLock guard;
  if (device->ReferenceCount > 0) {
    forgetName(device);
    deletedDevices.insert(device);
  } else {
    freeDevice(device);
  }
}

void Platform::referenceDevice(PDEVICE_OBJECT device) {
  PlatformLock guard;
  InterlockedIncrement(&device->ReferenceCount);
}

// Under the lock, so that the last reference and IoDeleteDevice agree on who frees.
void Platform::dereferenceDevice(PDEVICE_OBJECT device) {
  PlatformLock guard;
  if (InterlockedDecrement(&device->ReferenceCount) > 0 || !deletedDevices.count(device)) return;
  trace.add("io", "last reference to a deleted device dropped: its memory is freed");
  freeDevice(device);
}

PDRIVER_OBJECT Platform::newDriver() {
  drivers.push_back(std::make_unique<DRIVER_OBJECT>());
  driverExtensions.push_back(std::make_unique<DRIVER_EXTENSION>());
  PDRIVER_OBJECT driver = drivers.back().get();
  driver->DriverExtension = driverExtensions.back().get();
  driver->DriverExtension->DriverObject = driver;
  for (auto &dispatch : driver->MajorFunction) dispatch = rejectAsInvalid;
  return driver;
}

PDEVICE_OBJECT Platform::topOfStack(PDEVICE_OBJECT device) const {
  PlatformLock guard;
  while (device->AttachedDevice) device = device->AttachedDevice;
  return device;
}

std::string Platform::deviceLabel(PDEVICE_OBJECT device) const {
  PlatformLock guard;
  for (auto &entry : deviceNames)
    if (entry.second == device) {
      UNICODE_STRING name{static_cast<USHORT>(entry.first.size() * 2), 0, const_cast<PWSTR>(entry.first.c_str())};
      return narrow(&name);
    }
  return device ? "(unnamed device)" : "(none)";
}

std::string Platform::irpLabel(PIRP irp) const {
  PlatformLock guard;
  auto it = irps.find(irp);
  return it == irps.end() ? "IRP#?" : irpIdLabel(it->second.id);
}

}  // namespace sim
