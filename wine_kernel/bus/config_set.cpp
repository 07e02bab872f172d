// The bridge's configuration descriptor set, read the way the bus reads it:
// descriptor by descriptor, by their own lengths, never past the end.
#include "bus.h"

// The last interface with this number and alternate setting (or the first
// interface of all), with the endpoints that follow it.
bool FindInterface(const Bridge &bridge, bool anyInterface, UCHAR number, UCHAR alternate, InterfaceModel &model) {
  const UCHAR *bytes = bridge.config;
  bool found = false, collecting = false;
  for (ULONG offset = 0; offset + 2 <= bridge.configLength;) {
    ULONG length = bytes[offset];
    if (length < 2 || offset + length > bridge.configLength) break;
    UCHAR type = bytes[offset + 1];
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      USB_INTERFACE_DESCRIPTOR descriptor;
      RtlCopyMemory(&descriptor, bytes + offset, sizeof descriptor);
      collecting = anyInterface ? !found
                                : descriptor.bInterfaceNumber == number && descriptor.bAlternateSetting == alternate;
      if (collecting) {
        found = true;
        model.descriptor = descriptor;
        model.endpointCount = 0;
      }
    } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= sizeof(USB_ENDPOINT_DESCRIPTOR) && collecting) {
      if (model.endpointCount < kMaxPipes)
        RtlCopyMemory(&model.endpoints[model.endpointCount], bytes + offset, sizeof(USB_ENDPOINT_DESCRIPTOR));
      ++model.endpointCount;
    }
    offset += length;
  }
  return found;
}

// One configuration, one vendor-specific interface, bulk IN 0x81 and bulk OUT 0x02 of 64-byte packets.
void SetStandardConfig(Bridge &bridge) {
  static const UCHAR standard[] = {
      9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 32, 0, 1, 1, 0, 0x80, 50,
      9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 2, 0xFF, 0, 0, 0,
      7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, USB_ENDPOINT_TYPE_BULK, 64, 0, 0,
      7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x02, USB_ENDPOINT_TYPE_BULK, 64, 0, 0,
  };
  RtlCopyMemory(bridge.config, standard, sizeof standard);
  bridge.configLength = sizeof standard;
}
