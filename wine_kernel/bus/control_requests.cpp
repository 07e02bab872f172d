// Vendor and class requests on the bridge's default pipe: the few the bridge
// knows answer as the test set them (HARLEN_BUS_VENDOR), any other stalls, as
// a device stalls a request it does not support.
#include "bus.h"

namespace {

// The request's kind (HarlenBusRequest), or -1 for one the bridge does not know.
int Recognise(const HarlenWireRecord &record) {
  const bool in = record.transferFlags & USBD_TRANSFER_DIRECTION_IN;
  if (record.function == URB_FUNCTION_CLASS_DEVICE)
    return in && record.request == 0xFE && record.value == 0 && record.index == 0 ? HarlenGetMaxLun : -1;
  if (record.request == 4) return HarlenVendor4;
  if (record.request == 12) return HarlenVendor12;
  if (!in || record.request != 0xFF || record.value != 7) return -1;
  if (record.index == 0xFFFC) return HarlenWordAtFFFC;
  if (record.index == 0x00AE) return HarlenWordAt00AE;
  return -1;
}

// With the bus lock held: what an IN request of this kind returns.
ULONG AnswerTo(const HarlenBusVendor &vendor, int kind, UCHAR (&answer)[HARLEN_BUS_MAX_ANSWER]) {
  auto copy = [&answer](const UCHAR *bytes, ULONG size) {
    if (size > HARLEN_BUS_MAX_ANSWER) size = HARLEN_BUS_MAX_ANSWER;
    RtlCopyMemory(answer, bytes, size);
    return size;
  };
  switch (kind) {
    case HarlenWordAtFFFC: return copy(reinterpret_cast<const UCHAR *>(&vendor.wordAtFFFC), 2);
    case HarlenWordAt00AE: return copy(reinterpret_cast<const UCHAR *>(&vendor.wordAt00AE), 2);
    case HarlenVendor4: return copy(vendor.vendor4In, vendor.vendor4Length);
    case HarlenVendor12: return copy(vendor.vendor12In, vendor.vendor12Length);
    case HarlenGetMaxLun: return copy(&vendor.maxLun, 1);
  }
  return 0;
}

}  // namespace

USBD_STATUS ControlRequest(Bridge &bridge, _URB_CONTROL_VENDOR_OR_CLASS_REQUEST &request, HarlenWireRecord &record,
                           USBD_STATUS injected) {
  if (record.length != sizeof request) return USBD_STATUS_INVALID_PARAMETER;
  record.request = request.Request;
  record.value = request.Value;
  record.index = request.Index;
  record.transferFlags = request.TransferFlags;
  record.transferBufferLength = request.TransferBufferLength;
  record.flags |= (request.TransferBuffer ? HARLEN_WIRE_HAS_BUFFER : 0) | (request.TransferBufferMDL ? HARLEN_WIRE_HAS_MDL : 0) |
                  (request.UrbLink ? HARLEN_WIRE_HAS_LINK : 0);
  const ULONG asked = request.TransferBufferLength;
  request.TransferBufferLength = 0;  // what moved, from here on
  PUCHAR data = SystemAddressOf(request.TransferBuffer, request.TransferBufferMDL);
  if (asked && data == nullptr) return USBD_STATUS_INVALID_PARAMETER;
  int kind = Recognise(record);
  if (injected) return injected;
  if (kind < 0) return USBD_STATUS_STALL_PID;
  ULONG moved = asked;
  {
    BusLock guard;
    if (bridge.vendor.failures[kind]) return bridge.vendor.failures[kind];
    if (record.transferFlags & USBD_TRANSFER_DIRECTION_IN) {
      UCHAR answer[HARLEN_BUS_MAX_ANSWER];
      ULONG size = AnswerTo(bridge.vendor, kind, answer);
      // Short is no error: the data stage ends and the status stage follows.
      if (moved > size) moved = size;
      RtlCopyMemory(data, answer, moved);
    } else {
      record.dataOutLength = asked;
      RtlCopyMemory(record.dataOut, data, asked < sizeof record.dataOut ? asked : sizeof record.dataOut);
    }
  }
  record.bytesMoved = moved;
  request.TransferBufferLength = moved;
  return USBD_STATUS_SUCCESS;
}
