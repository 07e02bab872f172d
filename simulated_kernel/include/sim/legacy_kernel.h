// The legacy (Windows 98) kernel's configuration manager and VMM services, as
// far as the driver uses them: a device tree under one root, with registry
// values per node. The driver declares the six services itself; tests call
// them through the declarations here and read and set up the model through
// sim::legacy. On the NT kernel (platform().kernel, the default) every call
// is a finding and changes nothing.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/platform.h"

extern "C" {
// deviceId null: the root node. Returns a CONFIGRET.
ULONG CCODE__CONFIGMG_Locate_DevNode(DEVNODE *node, char *deviceId, ULONG flags);
// VMM's _Sprintf: %c %s %d %u %x %X with '-', '0' and a width; returns the length written.
ULONG CCODE__Sprintf(char *buffer, const char *format, ...);
ULONG CCODE__CONFIGMG_Create_DevNode(DEVNODE *newNode, char *deviceId, DEVNODE parent, ULONG flags);
ULONG CCODE__CONFIGMG_Write_Registry_Value(DEVNODE node, char *subKey, char *valueName, ULONG type, char *data,
                                           ULONG length, ULONG flags);
ULONG CCODE__CONFIGMG_Query_Remove_SubTree(DEVNODE node, ULONG flags);
// Removes the node and every node under it.
ULONG CCODE__CONFIGMG_Remove_SubTree(DEVNODE node, ULONG flags);
}

namespace sim {

// CONFIGRET values the model returns.
constexpr ULONG kCrSuccess = 0x00;
constexpr ULONG kCrOutOfMemory = 0x02;
constexpr ULONG kCrInvalidPointer = 0x03;
constexpr ULONG kCrInvalidDevnode = 0x05;
constexpr ULONG kCrNoSuchDevnode = 0x0D;
constexpr ULONG kCrAlreadySuchDevnode = 0x10;
constexpr ULONG kCrFailure = 0x13;
constexpr ULONG kCrRemoveVetoed = 0x17;

constexpr ULONG kCmRegistryHardware = 0;
constexpr ULONG kCmRegistrySoftware = 1;
constexpr ULONG kRegSz = 1;

constexpr USHORT kLegacyCodeSelector = 0x28;
constexpr USHORT kNtCodeSelector = 0x08;

struct RegistryValue {
  ULONG branch;  // kCmRegistryHardware or kCmRegistrySoftware
  std::string subKey;
  std::string name;
  ULONG type;
  std::vector<uint8_t> data;
};

struct DevNode {
  DEVNODE handle;
  DEVNODE parent;  // 0 for the root
  std::string deviceId;
  ULONG flags;
  std::vector<RegistryValue> values;
};

// One call of a legacy service, in the order they came, on either kernel.
struct LegacyCall {
  std::string service;  // "CONFIGMG_Create_DevNode", "_Sprintf", ...
  std::string arguments;
  ULONG result;
};

namespace legacy {

// From now on, Create_DevNode fails with `result`; writesHandle: it first
// writes a handle that names no node. kCrSuccess ends the failures.
void failCreate(ULONG result, bool writesHandle = false);
// Query_Remove_SubTree vetoes `times` times (CR_REMOVE_VETOED), then answers `then`.
void vetoRemoval(unsigned times, ULONG then = kCrSuccess);

DEVNODE root();
std::optional<DevNode> node(DEVNODE handle);
std::optional<DevNode> nodeWithId(const std::string &deviceId);
std::optional<RegistryValue> registryValue(DEVNODE handle, const std::string &subKey, const std::string &name);
std::vector<LegacyCall> calls();
// The tree, one node a line, indented under its parent, each with its values.
std::string tree();
std::string crName(ULONG result);
// A machine with the root node only, no call made, nothing set up (Platform::reset).
void reset();

}  // namespace legacy

}  // namespace sim
