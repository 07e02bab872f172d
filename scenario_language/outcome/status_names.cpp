#include "status_names.h"

#include <cstdio>

namespace outcome {

namespace {

struct Named {
  uint32_t code;
  const char *name;
};

// Values as ntstatus.h defines them.
const Named kStatuses[] = {
    {0x00000000, "STATUS_SUCCESS"},
    {0x00000102, "STATUS_TIMEOUT"},
    {0x00000103, "STATUS_PENDING"},
    {0x80000011, "STATUS_DEVICE_BUSY"},
    {0x8000001A, "STATUS_NO_MORE_ENTRIES"},
    {0xC0000001, "STATUS_UNSUCCESSFUL"},
    {0xC0000002, "STATUS_NOT_IMPLEMENTED"},
    {0xC0000005, "STATUS_ACCESS_VIOLATION"},
    {0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
    {0xC00000E8, "STATUS_INVALID_USER_BUFFER"},
    {0xC000000D, "STATUS_INVALID_PARAMETER"},
    {0xC000000E, "STATUS_NO_SUCH_DEVICE"},
    {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
    {0xC0000016, "STATUS_MORE_PROCESSING_REQUIRED"},
    {0xC0000017, "STATUS_NO_MEMORY"},
    {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {0xC0000035, "STATUS_OBJECT_NAME_COLLISION"},
    {0xC0000056, "STATUS_DELETE_PENDING"},
    {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
    {0xC000009C, "STATUS_DEVICE_DATA_ERROR"},
    {0xC00000BB, "STATUS_NOT_SUPPORTED"},
    {0xC0000120, "STATUS_CANCELLED"},
    {0xC000009D, "STATUS_DEVICE_NOT_CONNECTED"},
    {0xC0000182, "STATUS_DEVICE_CONFIGURATION_ERROR"},
};

// Values as usb.h defines them.
const Named kUsbdStatuses[] = {
    {0x00000000, "USBD_STATUS_SUCCESS"},
    {0x40000000, "USBD_STATUS_PENDING"},
    {0xC0000004, "USBD_STATUS_STALL_PID"},
    {0xC0000005, "USBD_STATUS_DEV_NOT_RESPONDING"},
    {0x80000200, "USBD_STATUS_INVALID_URB_FUNCTION"},
    {0x80000300, "USBD_STATUS_INVALID_PARAMETER"},
    {0x80000600, "USBD_STATUS_INVALID_PIPE_HANDLE"},
    {0xC0000F00, "USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR"},
    {0xC0010000, "USBD_STATUS_CANCELED"},
    {0xC0007000, "USBD_STATUS_DEVICE_GONE"},
};

// The URB functions the driver sends, and the general control transfer that
// stands for any other setup packet seen on a USB wire; values as usb.h defines them.
const Named kUrbFunctions[] = {
    {0x0000, "SELECT_CONFIGURATION"},
    {0x0002, "ABORT_PIPE"},
    {0x0008, "CONTROL_TRANSFER"},
    {0x0009, "BULK_OR_INTERRUPT_TRANSFER"},
    {0x000B, "GET_DESCRIPTOR_FROM_DEVICE"},
    {0x0012, "CLEAR_FEATURE_TO_ENDPOINT"},
    {0x0017, "VENDOR_DEVICE"},
    {0x001A, "CLASS_DEVICE"},
    {0x001E, "SYNC_RESET_PIPE_AND_CLEAR_STALL"},
};

template <size_t N>
const char *nameIn(const Named (&table)[N], uint32_t code) {
  for (const Named &entry : table)
    if (entry.code == code) return entry.name;
  return nullptr;
}

}  // namespace

std::string hexCode(uint32_t code) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

std::string statusName(int32_t status) {
  const char *name = nameIn(kStatuses, static_cast<uint32_t>(status));
  return name ? name : hexCode(static_cast<uint32_t>(status));
}

std::string usbdName(uint32_t usbd) {
  const char *name = nameIn(kUsbdStatuses, usbd);
  return name ? name : hexCode(usbd);
}

std::string urbFunctionName(uint16_t function) {
  const char *name = nameIn(kUrbFunctions, function);
  return name ? name : "function " + std::to_string(function);
}

}  // namespace outcome
