// Vendor and class requests on the bridge's default pipe: the few the bridge
// knows answer as bridge.vendor says, any other stalls, as a device stalls a
// request it does not support.
#include <algorithm>
#include <optional>

#include "urb_text.h"

namespace sim {

namespace {

std::optional<ControlRequest> recognise(const UrbRecord &record) {
  const bool in = record.transferFlags & USBD_TRANSFER_DIRECTION_IN;
  if (record.function == URB_FUNCTION_CLASS_DEVICE)
    return in && record.request == 0xFE && record.value == 0 && record.index == 0
               ? std::optional<ControlRequest>(ControlRequest::GetMaxLun)
               : std::nullopt;
  if (record.request == 4) return ControlRequest::Vendor4;
  if (record.request == 12) return ControlRequest::Vendor12;
  if (!in || record.request != 0xFF || record.value != 7) return std::nullopt;
  if (record.index == 0xFFFC) return ControlRequest::WordAtFFFC;
  if (record.index == 0x00AE) return ControlRequest::WordAt00AE;
  return std::nullopt;
}

std::vector<uint8_t> littleEndian(USHORT word) { return {uint8_t(word), uint8_t(word >> 8)}; }

// The published rule: an MDL has a system address once mapped, or when it describes non-paged pool.
bool mapped(const MDL &mdl) {
  return (mdl.MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) && mdl.MappedSystemVa;
}

}  // namespace

std::vector<uint8_t> UsbBridge::answerTo(ControlRequest kind) const {
  switch (kind) {
    case ControlRequest::WordAtFFFC: return littleEndian(vendor.wordAtFFFC);
    case ControlRequest::WordAt00AE: return littleEndian(vendor.wordAt00AE);
    case ControlRequest::Vendor4: return vendor.vendor4In;
    case ControlRequest::Vendor12: return vendor.vendor12In;
    case ControlRequest::GetMaxLun: return {vendor.maxLun};
  }
  return {};
}

USBD_STATUS UsbBridge::controlRequest(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST &request, UrbRecord &record, bool stall) {
  if (record.length != sizeof request) return USBD_STATUS_INVALID_PARAMETER;
  record.request = request.Request;
  record.value = request.Value;
  record.index = request.Index;
  record.transferFlags = request.TransferFlags;
  record.transferBufferLength = request.TransferBufferLength;
  record.hasBuffer = request.TransferBuffer != nullptr;
  record.hasMdl = request.TransferBufferMDL != nullptr;
  record.hasLink = request.UrbLink != nullptr;
  const ULONG asked = request.TransferBufferLength;
  request.TransferBufferLength = 0;  // what moved, from here on
  auto data = static_cast<uint8_t *>(request.TransferBuffer);
  if (asked && data == nullptr) {
    if (request.TransferBufferMDL == nullptr) return USBD_STATUS_INVALID_PARAMETER;
    // The host controller reaches locked pages itself; pages neither locked
    // nor mapped may be gone by the time it gets there.
    PMDL mdl = request.TransferBufferMDL;
    if (!mapped(*mdl) && !(mdl->MdlFlags & MDL_PAGES_LOCKED)) {
      platform().verifier.violation(describeArrival(record) + ": its MDL is neither locked nor mapped");
      return USBD_STATUS_INVALID_PARAMETER;
    }
    data = static_cast<uint8_t *>(mapped(*mdl) ? mdl->MappedSystemVa : MmMapLockedPages(mdl, KernelMode));
    if (data == nullptr) return USBD_STATUS_INVALID_PARAMETER;
  }
  std::optional<ControlRequest> kind = recognise(record);
  if (stall || !kind) return USBD_STATUS_STALL_PID;
  if (vendor.held.count(*kind)) return USBD_STATUS_PENDING;
  auto failure = vendor.failures.find(*kind);
  if (failure != vendor.failures.end()) return failure->second;
  ULONG moved = asked;
  if (record.transferFlags & USBD_TRANSFER_DIRECTION_IN) {
    std::vector<uint8_t> answer = answerTo(*kind);
    // Short is no error, USBD_SHORT_TRANSFER_OK or not: the data stage ends and the status stage follows.
    moved = std::min<ULONG>(asked, static_cast<ULONG>(answer.size()));
    std::copy_n(answer.begin(), moved, data);
  } else {
    record.dataOut.assign(data, data + asked);
  }
  record.bytesMoved = moved;
  request.TransferBufferLength = moved;
  return USBD_STATUS_SUCCESS;
}

// Held as a real bus holds a NAKed control transfer: cancellable until it ends.
NTSTATUS UsbBridge::holdControl(PIRP irp, PURB urb, size_t record) {
  {
    PlatformLock guard;
    heldControls_.push_back({irp, urb, record});
    platform().trace.add("usb", [&] { return "   the bridge holds " + describeArrival(urbs_[record]); });
  }
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, controlCancelled);
  if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    {
      PlatformLock guard;
      heldControls_.pop_back();
    }
    finishHeldControl(irp, urb, record, USBD_STATUS_CANCELED);
  }
  return STATUS_PENDING;
}

void UsbBridge::finishHeldControl(PIRP irp, PURB urb, size_t index, USBD_STATUS usbd) {
  {
    PlatformLock guard;
    urb->UrbHeader.Status = usbd;
    UrbRecord &record = urbs_[index];
    record.status = toNtStatus(usbd);
    record.usbdStatus = usbd;
    platform().trace.add("usb", [&] { return "<- " + describeCompletion(record, "0 bytes"); });
    irp->IoStatus.Status = record.status;
  }
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

void UsbBridge::failHeldControls(USBD_STATUS usbd) {
  std::vector<HeldControl> ending;
  {
    PlatformLock guard;
    for (const HeldControl &held : heldControls_)
      if (IoSetCancelRoutine(held.irp, nullptr) != nullptr) ending.push_back(held);
    heldControls_.clear();
  }
  for (const HeldControl &held : ending) finishHeldControl(held.irp, held.urb, held.record, usbd);
}

VOID UsbBridge::controlCancelled(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  UsbBridge &bridge = **static_cast<UsbBridge **>(device->DeviceExtension);
  HeldControl found{};
  {
    PlatformLock guard;
    auto held = std::find_if(bridge.heldControls_.begin(), bridge.heldControls_.end(),
                             [irp](const HeldControl &h) { return h.irp == irp; });
    if (held == bridge.heldControls_.end()) return;
    found = *held;
    bridge.heldControls_.erase(held);
  }
  bridge.finishHeldControl(found.irp, found.urb, found.record, USBD_STATUS_CANCELED);
}

}  // namespace sim
