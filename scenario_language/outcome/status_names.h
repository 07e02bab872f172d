// Names of the NT and USBD statuses and URB functions our scripts and the bus
// report, shared by the simulator, the scenario runner and the Win32 runner:
// plain C++17 with numeric codes only, so no kernel or Windows header is needed.
#pragma once

#include <cstdint>
#include <string>

namespace outcome {

// "STATUS_SUCCESS"; a status without a name as its code, "0xC0000010".
std::string statusName(int32_t status);
// "USBD_STATUS_STALL_PID"; likewise the code when it has no name.
std::string usbdName(uint32_t usbd);
// "GET_DESCRIPTOR_FROM_DEVICE"; "function 42" for the ones the driver never sends.
std::string urbFunctionName(uint16_t function);
// A 32-bit code as eight hexadecimal digits.
std::string hexCode(uint32_t code);

}  // namespace outcome
