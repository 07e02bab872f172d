// The bus's trace texts for URBs and the NT status of each USBD status.
#include "urb_text.h"

#include <cstdio>

namespace sim {

namespace {

// Endpoint addresses and indexes with two digits, as descriptors show them.
std::string hex(unsigned value, int digits = 2) {
  char text[16];
  snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

bool namesAPipe(USHORT function) {
  return function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || function == URB_FUNCTION_ABORT_PIPE ||
         function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
}

// The function, and the pipe for the requests that name one (0 for a pipe the bus does not know),
// or the direction and request code of a vendor or class request.
std::string subject(const UrbRecord &record) {
  std::string text = outcome::urbFunctionName(record.function);
  if (namesAPipe(record.function))
    text += " pipe " + (record.endpointAddress ? hex(record.endpointAddress) : std::string("?"));
  if (isControlRequest(record.function))
    text += std::string(record.transferFlags & USBD_TRANSFER_DIRECTION_IN ? " IN" : " OUT") + " request " +
            hex(record.request);
  return text;
}

}  // namespace

bool isControlRequest(USHORT function) {
  return function == URB_FUNCTION_VENDOR_DEVICE || function == URB_FUNCTION_CLASS_DEVICE;
}

NTSTATUS toNtStatus(USBD_STATUS usbd) {
  switch (usbd) {
    case USBD_STATUS_SUCCESS: return STATUS_SUCCESS;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE: return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
  }
  return STATUS_UNSUCCESSFUL;
}

std::string describeArrival(const UrbRecord &record) {
  switch (record.function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return subject(record) + ": " + std::to_string(record.transferBufferLength) + " bytes, flags " +
             hex(record.transferFlags, 1);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: return subject(record);
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
      return subject(record) + ": feature " + std::to_string(record.featureSelector) + ", index " +
             hex(record.featureIndex);
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_CLASS_DEVICE:
      return subject(record) + ": value " + hex(record.value, 4) + ", index " + hex(record.index, 4) + ", " +
             std::to_string(record.transferBufferLength) + " bytes, flags " + hex(record.transferFlags, 1);
  }
  std::string text =
      "URB " + outcome::urbFunctionName(record.function) + " (length " + std::to_string(record.length) + ")";
  if (record.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)
    text += ": descriptor type " + std::to_string(record.descriptorType) + ", index " +
            std::to_string(record.descriptorIndex) + ", " + std::to_string(record.transferBufferLength) + " bytes";
  if (record.function == URB_FUNCTION_SELECT_CONFIGURATION) {
    if (record.nullConfiguration) return text + ": no configuration (deconfigure)";
    text += ":";
    for (size_t i = 0; i < record.pipesAsSent.size(); ++i)
      text += " pipe " + std::to_string(i) + " max transfer " + std::to_string(record.pipesAsSent[i].MaximumTransferSize) +
              (i + 1 < record.pipesAsSent.size() ? "," : "");
  }
  return text;
}

std::string describeCompletion(const UrbRecord &record, const std::string &bytes) {
  return subject(record) + ": " + usbdName(record.usbdStatus) + (bytes.empty() ? "" : ", " + bytes) + ", " +
         statusName(record.status);
}

}  // namespace sim
