// The legacy (Windows 98) kernel's configuration manager and VMM's _Sprintf:
// a device tree under the root node, registry values per node, removal vetoes
// and creation failures on request. Each service counts as a kernel call,
// works under the platform lock, leaves a "cm" trace line and a call record;
// on the NT kernel it is a finding and does nothing, since the real call would
// jump into nothing there.
#include "sim/legacy_kernel.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstring>
#include <map>

namespace sim {

namespace {

constexpr DEVNODE kRoot = 1;
constexpr const char *kRootId = "HTREE\\ROOT\\0";

struct LegacyState {
  std::map<DEVNODE, DevNode> nodes;
  DEVNODE nextHandle = kRoot + 1;
  std::vector<LegacyCall> calls;
  ULONG createFailure = kCrSuccess;
  bool createWritesHandle = false;
  unsigned vetoesLeft = 0;
  ULONG queryRemoveAnswer = kCrSuccess;

  LegacyState() { nodes[kRoot] = DevNode{kRoot, 0, kRootId, 0, {}}; }
};

LegacyState &state() {
  static LegacyState instance;
  return instance;
}

// Device ids and registry names compare as the configuration manager compares them: case aside.
bool sameName(const std::string &a, const std::string &b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return toupper(x) == toupper(y); });
}

DevNode *find(DEVNODE handle) {
  auto it = state().nodes.find(handle);
  return it == state().nodes.end() ? nullptr : &it->second;
}

DevNode *findId(const std::string &deviceId) {
  for (auto &entry : state().nodes)
    if (sameName(entry.second.deviceId, deviceId)) return &entry.second;
  return nullptr;
}

std::string quoted(const char *text) { return text ? "\"" + std::string(text) + "\"" : "null"; }

// The NT kernel has none of these services: the call is reported, recorded and goes no further.
bool refusedOnNt(const char *service, const std::string &arguments, ULONG result) {
  if (platform().kernel != KernelKind::Nt) return false;
  platform().verifier.violation(std::string("legacy service called on an NT kernel: the machine would crash (") +
                                service + ")");
  state().calls.push_back({service, arguments, result});
  return true;
}

ULONG finish(const char *service, const std::string &arguments, ULONG result, const std::string &outcome) {
  state().calls.push_back({service, arguments, result});
  platform().trace.add("cm", [&] { return std::string(service) + "(" + arguments + ") -> " + outcome; });
  return result;
}

ULONG finishCm(const char *service, const std::string &arguments, ULONG result, const std::string &detail = "") {
  return finish(service, arguments, result, legacy::crName(result) + detail);
}

ULONG locate(DEVNODE *node, const char *deviceId) {
  if (node == nullptr) return kCrInvalidPointer;
  const DevNode *found = deviceId ? findId(deviceId) : find(kRoot);
  if (found == nullptr) return kCrNoSuchDevnode;
  *node = found->handle;
  return kCrSuccess;
}

ULONG create(DEVNODE *newNode, const char *deviceId, DEVNODE parent, ULONG flags) {
  LegacyState &s = state();
  if (newNode == nullptr || deviceId == nullptr) return kCrInvalidPointer;
  if (s.createFailure != kCrSuccess) {
    if (s.createWritesHandle) *newNode = s.nextHandle++;
    return s.createFailure;
  }
  if (find(parent) == nullptr) return kCrInvalidDevnode;
  if (findId(deviceId)) return kCrAlreadySuchDevnode;
  DEVNODE handle = s.nextHandle++;
  s.nodes[handle] = DevNode{handle, parent, deviceId, flags, {}};
  *newNode = handle;
  return kCrSuccess;
}

ULONG writeValue(DEVNODE node, const RegistryValue &value, bool dataMissing) {
  DevNode *target = find(node);
  if (target == nullptr) return kCrInvalidDevnode;
  if (dataMissing) return kCrInvalidPointer;
  auto &values = target->values;
  auto same = std::find_if(values.begin(), values.end(), [&](const RegistryValue &v) {
    return v.branch == value.branch && sameName(v.subKey, value.subKey) && sameName(v.name, value.name);
  });
  if (same == values.end())
    values.push_back(value);
  else
    *same = value;
  return kCrSuccess;
}

ULONG queryRemove(DEVNODE node) {
  LegacyState &s = state();
  if (node == kRoot || find(node) == nullptr) return kCrInvalidDevnode;
  if (s.vetoesLeft == 0) return s.queryRemoveAnswer;
  --s.vetoesLeft;
  return kCrRemoveVetoed;
}

ULONG removeSubTree(DEVNODE node) {
  auto &nodes = state().nodes;
  if (node == kRoot || find(node) == nullptr) return kCrInvalidDevnode;
  std::vector<DEVNODE> doomed{node};
  for (size_t i = 0; i < doomed.size(); ++i)
    for (auto &entry : nodes)
      if (entry.second.parent == doomed[i]) doomed.push_back(entry.first);
  for (DEVNODE handle : doomed) nodes.erase(handle);
  return kCrSuccess;
}

template <class Value>
std::string formatOne(const std::string &conversion, Value value) {
  int size = snprintf(nullptr, 0, conversion.c_str(), value);
  std::string text(static_cast<size_t>(size), '\0');
  snprintf(&text[0], text.size() + 1, conversion.c_str(), value);
  return text;
}

// VMM's conversions; its 'l' and 'h' sizes change nothing for 32-bit arguments.
// An unknown conversion is reported and the rest of the format copied as it is.
std::string vmmFormat(const char *format, va_list args) {
  std::string out;
  for (const char *at = format; *at; ++at) {
    if (*at != '%') {
      out += *at;
      continue;
    }
    const char *start = at++;
    std::string conversion = "%";
    for (; *at == '-' || *at == '0'; ++at) conversion += *at;
    for (; isdigit(static_cast<unsigned char>(*at)); ++at) conversion += *at;
    while (*at == 'l' || *at == 'h') ++at;
    switch (*at) {
      case '%': out += '%'; break;
      case 'c': out += formatOne(conversion + 'c', va_arg(args, int)); break;
      case 'd':
      case 'i': out += formatOne(conversion + 'd', va_arg(args, int)); break;
      case 'u':
      case 'x':
      case 'X': out += formatOne(conversion + *at, va_arg(args, unsigned)); break;
      case 's': {
        const char *text = va_arg(args, const char *);
        out += formatOne(conversion + 's', text ? text : "(null)");
        break;
      }
      default:
        platform().verifier.violation(std::string("_Sprintf: the conversion in \"") + start + "\" is not modelled");
        return out + start;
    }
  }
  return out;
}

}  // namespace

namespace legacy {

void failCreate(ULONG result, bool writesHandle) {
  PlatformLock guard;
  state().createFailure = result;
  state().createWritesHandle = writesHandle;
}

void vetoRemoval(unsigned times, ULONG then) {
  PlatformLock guard;
  state().vetoesLeft = times;
  state().queryRemoveAnswer = then;
}

DEVNODE root() { return kRoot; }

std::optional<DevNode> node(DEVNODE handle) {
  PlatformLock guard;
  const DevNode *found = find(handle);
  return found ? std::optional<DevNode>(*found) : std::nullopt;
}

std::optional<DevNode> nodeWithId(const std::string &deviceId) {
  PlatformLock guard;
  const DevNode *found = findId(deviceId);
  return found ? std::optional<DevNode>(*found) : std::nullopt;
}

std::optional<RegistryValue> registryValue(DEVNODE handle, const std::string &subKey, const std::string &name) {
  PlatformLock guard;
  const DevNode *found = find(handle);
  if (found == nullptr) return std::nullopt;
  for (const RegistryValue &value : found->values)
    if (sameName(value.subKey, subKey) && sameName(value.name, name)) return value;
  return std::nullopt;
}

std::vector<LegacyCall> calls() {
  PlatformLock guard;
  return state().calls;
}

namespace {

std::string describeValue(const RegistryValue &value) {
  std::string text = (value.branch == kCmRegistrySoftware ? "software " : "hardware ") +
                     (value.subKey.empty() ? "" : value.subKey + "\\") + value.name + " = ";
  if (value.type == kRegSz) {
    std::string chars(value.data.begin(), value.data.end());
    return text + "\"" + chars.substr(0, chars.find('\0')) + "\"";
  }
  text += "type " + std::to_string(value.type) + ":";
  for (uint8_t byte : value.data) text += formatOne(" %02X", unsigned(byte));
  return text;
}

void render(const DevNode &node, size_t depth, std::string &out) {
  const std::string indent(2 * depth, ' ');
  out += indent + hexCode(node.handle) + " " + node.deviceId + "\n";
  for (const RegistryValue &value : node.values) out += indent + "    " + describeValue(value) + "\n";
  for (auto &entry : state().nodes)
    if (entry.second.parent == node.handle) render(entry.second, depth + 1, out);
}

}  // namespace

std::string tree() {
  PlatformLock guard;
  std::string out;
  render(state().nodes.at(kRoot), 0, out);
  return out;
}

std::string crName(ULONG result) {
  switch (result) {
    case kCrSuccess: return "CR_SUCCESS";
    case kCrOutOfMemory: return "CR_OUT_OF_MEMORY";
    case kCrInvalidPointer: return "CR_INVALID_POINTER";
    case kCrInvalidDevnode: return "CR_INVALID_DEVNODE";
    case kCrNoSuchDevnode: return "CR_NO_SUCH_DEVNODE";
    case kCrAlreadySuchDevnode: return "CR_ALREADY_SUCH_DEVNODE";
    case kCrFailure: return "CR_FAILURE";
    case kCrRemoveVetoed: return "CR_REMOVE_VETOED";
  }
  return hexCode(result);
}

void reset() {
  PlatformLock guard;
  state() = LegacyState();
}

}  // namespace legacy

}  // namespace sim

using sim::hexCode;

extern "C" USHORT KxCodeSelector(void) {
  return sim::platform().kernel == sim::KernelKind::Legacy ? sim::kLegacyCodeSelector : sim::kNtCodeSelector;
}

extern "C" ULONG CCODE__CONFIGMG_Locate_DevNode(DEVNODE *node, char *deviceId, ULONG flags) {
  sim::kernelCall("CCODE__CONFIGMG_Locate_DevNode");
  sim::PlatformLock guard;
  const char *service = "CONFIGMG_Locate_DevNode";
  const std::string arguments = sim::quoted(deviceId) + ", flags " + hexCode(flags);
  if (sim::refusedOnNt(service, arguments, sim::kCrFailure)) return sim::kCrFailure;
  ULONG result = sim::locate(node, deviceId);
  return sim::finishCm(service, arguments, result, result == sim::kCrSuccess ? ", devnode " + hexCode(*node) : "");
}

extern "C" ULONG CCODE__Sprintf(char *buffer, const char *format, ...) {
  sim::kernelCall("CCODE__Sprintf");
  sim::PlatformLock guard;
  const std::string arguments = sim::quoted(format);
  if (sim::refusedOnNt("_Sprintf", arguments, 0)) return 0;
  va_list args;
  va_start(args, format);
  const std::string text = sim::vmmFormat(format, args);
  va_end(args);
  memcpy(buffer, text.c_str(), text.size() + 1);
  const auto length = static_cast<ULONG>(text.size());
  return sim::finish("_Sprintf", arguments, length, std::to_string(length) + ": \"" + text + "\"");
}

extern "C" ULONG CCODE__CONFIGMG_Create_DevNode(DEVNODE *newNode, char *deviceId, DEVNODE parent, ULONG flags) {
  sim::kernelCall("CCODE__CONFIGMG_Create_DevNode");
  sim::PlatformLock guard;
  const char *service = "CONFIGMG_Create_DevNode";
  const std::string arguments = sim::quoted(deviceId) + ", parent " + hexCode(parent) + ", flags " + hexCode(flags);
  if (sim::refusedOnNt(service, arguments, sim::kCrFailure)) return sim::kCrFailure;
  ULONG result = sim::create(newNode, deviceId, parent, flags);
  return sim::finishCm(service, arguments, result, result == sim::kCrSuccess ? ", devnode " + hexCode(*newNode) : "");
}

extern "C" ULONG CCODE__CONFIGMG_Write_Registry_Value(DEVNODE node, char *subKey, char *valueName, ULONG type,
                                                      char *data, ULONG length, ULONG flags) {
  sim::kernelCall("CCODE__CONFIGMG_Write_Registry_Value");
  sim::PlatformLock guard;
  const char *service = "CONFIGMG_Write_Registry_Value";
  const std::string arguments = hexCode(node) + ", " + sim::quoted(subKey) + ", " + sim::quoted(valueName) +
                                ", type " + std::to_string(type) + ", " + std::to_string(length) + " bytes, flags " +
                                hexCode(flags);
  if (sim::refusedOnNt(service, arguments, sim::kCrFailure)) return sim::kCrFailure;
  const bool dataMissing = data == nullptr && length != 0;
  const sim::RegistryValue value{flags, subKey ? subKey : "", valueName ? valueName : "", type,
                                 dataMissing ? std::vector<uint8_t>() : std::vector<uint8_t>(data, data + length)};
  return sim::finishCm(service, arguments, sim::writeValue(node, value, dataMissing));
}

extern "C" ULONG CCODE__CONFIGMG_Query_Remove_SubTree(DEVNODE node, ULONG flags) {
  sim::kernelCall("CCODE__CONFIGMG_Query_Remove_SubTree");
  sim::PlatformLock guard;
  const char *service = "CONFIGMG_Query_Remove_SubTree";
  const std::string arguments = hexCode(node) + ", flags " + hexCode(flags);
  if (sim::refusedOnNt(service, arguments, sim::kCrFailure)) return sim::kCrFailure;
  return sim::finishCm(service, arguments, sim::queryRemove(node));
}

extern "C" ULONG CCODE__CONFIGMG_Remove_SubTree(DEVNODE node, ULONG flags) {
  sim::kernelCall("CCODE__CONFIGMG_Remove_SubTree");
  sim::PlatformLock guard;
  const char *service = "CONFIGMG_Remove_SubTree";
  const std::string arguments = hexCode(node) + ", flags " + hexCode(flags);
  if (sim::refusedOnNt(service, arguments, sim::kCrFailure)) return sim::kCrFailure;
  return sim::finishCm(service, arguments, sim::removeSubTree(node));
}
