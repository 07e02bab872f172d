// The USB driver interface library routine that builds a select-configuration
// URB from a configuration descriptor set, and the descriptor parser it shares
// with the bus.
#include <algorithm>

#include "descriptors.h"

namespace sim {

std::vector<InterfaceModel> parseConfigSet(const uint8_t *bytes, size_t size) {
  std::vector<InterfaceModel> interfaces;
  size_t offset = 0;
  while (offset + 2 <= size) {
    size_t length = bytes[offset];
    if (length < 2 || offset + length > size) break;
    UCHAR type = bytes[offset + 1];
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      InterfaceModel model{};
      memcpy(&model.descriptor, bytes + offset, sizeof model.descriptor);
      interfaces.push_back(model);
    } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= sizeof(USB_ENDPOINT_DESCRIPTOR) &&
               !interfaces.empty()) {
      USB_ENDPOINT_DESCRIPTOR endpoint;
      memcpy(&endpoint, bytes + offset, sizeof endpoint);
      interfaces.back().endpoints.push_back(
          {endpoint.bEndpointAddress, endpoint.bmAttributes, endpoint.wMaxPacketSize, endpoint.bInterval});
    }
    offset += length;
  }
  return interfaces;
}

}  // namespace sim

// The library's own pool tag, "USBD" as it reads in memory.
static const ULONG kUsbdTag = 'U' | ('S' << 8) | ('B' << 16) | (ULONG('D') << 24);

extern "C" PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR configuration, PUSHORT size) {
  sim::kernelCall("USBD_CreateConfigurationRequest");
  auto &p = sim::platform();
  auto interfaces = sim::parseConfigSet(reinterpret_cast<const uint8_t *>(configuration), configuration->wTotalLength);
  // The library describes the first interface only, in its alternate setting 0.
  auto first = std::find_if(interfaces.begin(), interfaces.end(),
                            [](const sim::InterfaceModel &i) { return i.descriptor.bAlternateSetting == 0; });
  if (first != interfaces.end()) interfaces = {*first};
  else interfaces.clear();
  const size_t interfaceHead = sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION);
  size_t bytes = sizeof(_URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  // The pipe count is what the interface descriptor claims, whatever follows it.
  for (auto &i : interfaces) bytes += interfaceHead + i.descriptor.bNumEndpoints * sizeof(USBD_PIPE_INFORMATION);
  p.trace.add("usbd", [&] {
    return "USBD_CreateConfigurationRequest(" + std::to_string(interfaces.size()) + " interfaces, " +
           std::to_string(bytes) + " bytes)";
  });
  if (interfaces.empty()) return nullptr;
  auto urb = static_cast<PURB>(sim::allocatePool(bytes, kUsbdTag));
  if (urb == nullptr) return nullptr;
  memset(urb, 0, bytes);
  urb->UrbHeader.Length = static_cast<USHORT>(bytes);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = configuration;
  auto record = reinterpret_cast<uint8_t *>(&urb->UrbSelectConfiguration.Interface);
  for (auto &i : interfaces) {
    auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
    const ULONG pipes = i.descriptor.bNumEndpoints;
    info->Length = static_cast<USHORT>(interfaceHead + pipes * sizeof(USBD_PIPE_INFORMATION));
    info->InterfaceNumber = i.descriptor.bInterfaceNumber;
    info->NumberOfPipes = pipes;
    for (ULONG pipe = 0; pipe < pipes; ++pipe)
      info->Pipes[pipe].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    record += info->Length;
  }
  *size = static_cast<USHORT>(bytes);
  return urb;
}
