// The PnP manager: driver load and unload, add-device, and PnP requests sent
// one at a time to the top of a bridge's device stack, checked on the way back.
#include "memory_descriptors.h"
#include "sim/pnp_manager.h"

namespace sim {

const char *pnpMinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE: return "IRP_MN_START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "IRP_MN_QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "IRP_MN_REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "IRP_MN_CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE: return "IRP_MN_STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE: return "IRP_MN_QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE: return "IRP_MN_CANCEL_STOP_DEVICE";
    case IRP_MN_QUERY_CAPABILITIES: return "IRP_MN_QUERY_CAPABILITIES";
    case IRP_MN_SURPRISE_REMOVAL: return "IRP_MN_SURPRISE_REMOVAL";
  }
  return "IRP_MN_(other)";
}

NTSTATUS PnpManager::loadDriver(DRIVER_INITIALIZE *entry, ULONG poolTag) {
  auto &p = platform();
  p.driverPoolTag = poolTag;
  driver_ = p.newDriver();
  static const WCHAR path[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\harlen";
  UNICODE_STRING registryPath;
  RtlInitUnicodeString(&registryPath, path);
  NTSTATUS status = entry(driver_, &registryPath);
  p.trace.add("pnp", [&] { return "DriverEntry -> " + statusName(status); });
  return status;
}

NTSTATUS PnpManager::unloadDriver() {
  auto &p = platform();
  if (driver_->DeviceObject) p.verifier.violation("driver unloaded while it still has device objects");
  if (driver_->DriverUnload) driver_->DriverUnload(driver_);
  p.trace.add("pnp", "driver unloaded");
  checkPoolAfterRemoval();
  return STATUS_SUCCESS;
}

UsbBridge &PnpManager::plug(const BridgeSetup &setup) {
  auto &p = platform();
  p.bridges.push_back(std::make_unique<UsbBridge>(setup, "bridge " + std::to_string(p.bridges.size())));
  p.trace.add("pnp", [&] {
    char ids[48];
    snprintf(ids, sizeof ids, " plugged (VID_%04X PID_%04X)", setup.vendorId, setup.productId);
    return p.bridges.back()->label() + ids;
  });
  return *p.bridges.back();
}

NTSTATUS PnpManager::addDevice(UsbBridge &bridge) {
  auto &p = platform();
  p.trace.add("pnp", [&] { return "-> AddDevice(" + bridge.label() + ")"; });
  NTSTATUS status = driver_->DriverExtension->AddDevice(driver_, bridge.pdo());
  p.trace.add("pnp", [&] { return "<- AddDevice: " + statusName(status); });
  PDEVICE_OBJECT fdo = functionDevice(bridge);
  if (NT_SUCCESS(status) && fdo && (fdo->Flags & DO_DEVICE_INITIALIZING))
    p.verifier.violation("add-device left DO_DEVICE_INITIALIZING set");
  if (!NT_SUCCESS(status) && fdo) p.verifier.violation("add-device failed but left a device attached");
  return status;
}

PDEVICE_OBJECT PnpManager::functionDevice(UsbBridge &bridge) const { return bridge.pdo()->AttachedDevice; }

namespace {

// Windows does not let a driver fail these: the device is going, or its state is being restored.
bool mayNotFail(UCHAR minor) {
  return minor == IRP_MN_STOP_DEVICE || minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL ||
         minor == IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_CANCEL_REMOVE_DEVICE;
}

}  // namespace

PIRP PnpManager::newRequest(UsbBridge &bridge, UCHAR major, UCHAR minor) const {
  auto &p = platform();
  PIRP irp = p.newIrp(p.topOfStack(bridge.pdo())->StackSize, IrpOrigin::Manager);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->MinorFunction = minor;
  return irp;
}

// Waits for the request to complete, checks it, frees it; STATUS_PENDING if it never completes.
NTSTATUS PnpManager::finishRequest(const SentRequest &request, const std::string &name) {
  auto &p = platform();
  PIRP irp = request.irp;
  p.runAllPendingWork();
  auto completed = [&] { return p.irps[irp].state == IrpState::Completed; };
  // Threaded: a bus worker may complete it.
  p.waitUntil(completed);
  PlatformLock guard;
  if (!completed()) {
    p.verifier.violation(name + " was never completed");
    return STATUS_PENDING;
  }
  NTSTATUS status = irp->IoStatus.Status;
  p.freeIrp(irp);
  if (request.returned != STATUS_PENDING && request.returned != status)
    p.verifier.violation(name + ": dispatch returned " + statusName(request.returned) + " but completed with " +
                         statusName(status));
  p.trace.add("pnp", [&] { return "<- " + name + ": " + statusName(status); });
  return status;
}

NTSTATUS PnpManager::send(UsbBridge &bridge, UCHAR minor) {
  auto &p = platform();
  PIRP irp = newRequest(bridge, IRP_MJ_PNP, minor);
  PDEVICE_OBJECT top = p.topOfStack(bridge.pdo());
  p.trace.add("pnp", [&] { return std::string("-> ") + pnpMinorName(minor) + " to " + p.deviceLabel(top); });
  NTSTATUS returned = IofCallDriver(top, irp);
  NTSTATUS status = finishRequest({irp, returned}, pnpMinorName(minor));
  if (status != STATUS_PENDING && !NT_SUCCESS(status) && mayNotFail(minor))
    p.verifier.violation(std::string(pnpMinorName(minor)) + " failed with " + statusName(status) +
                         ": Windows does not let a driver fail it");
  if (NT_SUCCESS(status) && (minor == IRP_MN_STOP_DEVICE || minor == IRP_MN_REMOVE_DEVICE)) devicePower_.erase(&bridge);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    if (functionDevice(bridge)) p.verifier.violation("a device is still attached to the bridge after removal");
    checkPoolAfterRemoval();
  }
  return status;
}

NTSTATUS PnpManager::start(UsbBridge &bridge) {
  NTSTATUS status = send(bridge, IRP_MN_START_DEVICE);
  if (!NT_SUCCESS(status)) {
    send(bridge, order == PnpOrder::Windows98 ? IRP_MN_STOP_DEVICE : IRP_MN_REMOVE_DEVICE);
    return status;
  }
  devicePower_[&bridge] = PowerDeviceD0;
  if (powerRequests) setDevicePower(bridge, PowerDeviceD0);
  return status;
}

NTSTATUS PnpManager::stop(UsbBridge &bridge) {
  NTSTATUS status = send(bridge, IRP_MN_QUERY_STOP_DEVICE);
  if (!NT_SUCCESS(status)) {
    send(bridge, IRP_MN_CANCEL_STOP_DEVICE);
    return status;
  }
  powerDownBeforeStopOrRemoval(bridge);
  return send(bridge, IRP_MN_STOP_DEVICE);
}

NTSTATUS PnpManager::remove(UsbBridge &bridge) {
  NTSTATUS status = send(bridge, IRP_MN_QUERY_REMOVE_DEVICE);
  if (!NT_SUCCESS(status)) {
    send(bridge, IRP_MN_CANCEL_REMOVE_DEVICE);
    return status;
  }
  powerDownBeforeStopOrRemoval(bridge);
  return send(bridge, IRP_MN_REMOVE_DEVICE);
}

NTSTATUS PnpManager::surpriseRemove(UsbBridge &bridge) {
  if (order == PnpOrder::Windows98) return send(bridge, IRP_MN_REMOVE_DEVICE);
  NTSTATUS status = send(bridge, IRP_MN_SURPRISE_REMOVAL);
  send(bridge, IRP_MN_REMOVE_DEVICE);
  return status;
}

// Once the driver has no device left, nothing it allocated may remain: no
// pool block of any tag, no IRP, no MDL, no symbolic link. In the threaded mode, user
// threads may still have requests in flight through their handles.
void PnpManager::checkPoolAfterRemoval() {
  auto &p = platform();
  PlatformLock guard;
  if (driver_ == nullptr || driver_->DeviceObject) return;
  for (auto &entry : p.pool)
    p.verifier.violation("pool block of " + std::to_string(entry.second.size) + " bytes tagged " +
                         tagName(entry.second.tag) + " left allocated after removal");
  for (auto &entry : p.irps)
    if (entry.second.origin != IrpOrigin::Manager && !(p.threaded && entry.second.origin == IrpOrigin::User))
      p.verifier.violation(p.irpLabel(entry.first) + " left allocated after removal");
  for (auto &link : p.symbolicLinks)
    if (!p.deviceNames.count(link.second)) p.verifier.violation("symbolic link left behind after removal");
  reportMdlsLeft();
}

}  // namespace sim
