// The recorded trace, the verifier's findings, allocation failure injection
// and the names that make both readable.
#include <cinttypes>
#include <cstdio>

#include "sim/platform.h"

namespace sim {

std::string statusName(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS: return "STATUS_SUCCESS";
    case STATUS_TIMEOUT: return "STATUS_TIMEOUT";
    case STATUS_PENDING: return "STATUS_PENDING";
    case STATUS_DEVICE_BUSY: return "STATUS_DEVICE_BUSY";
    case STATUS_NO_MORE_ENTRIES: return "STATUS_NO_MORE_ENTRIES";
    case STATUS_UNSUCCESSFUL: return "STATUS_UNSUCCESSFUL";
    case STATUS_NOT_IMPLEMENTED: return "STATUS_NOT_IMPLEMENTED";
    case STATUS_ACCESS_VIOLATION: return "STATUS_ACCESS_VIOLATION";
    case STATUS_BUFFER_TOO_SMALL: return "STATUS_BUFFER_TOO_SMALL";
    case STATUS_INVALID_USER_BUFFER: return "STATUS_INVALID_USER_BUFFER";
    case STATUS_INVALID_PARAMETER: return "STATUS_INVALID_PARAMETER";
    case STATUS_NO_SUCH_DEVICE: return "STATUS_NO_SUCH_DEVICE";
    case STATUS_INVALID_DEVICE_REQUEST: return "STATUS_INVALID_DEVICE_REQUEST";
    case STATUS_MORE_PROCESSING_REQUIRED: return "STATUS_MORE_PROCESSING_REQUIRED";
    case STATUS_NO_MEMORY: return "STATUS_NO_MEMORY";
    case STATUS_OBJECT_NAME_NOT_FOUND: return "STATUS_OBJECT_NAME_NOT_FOUND";
    case STATUS_OBJECT_NAME_COLLISION: return "STATUS_OBJECT_NAME_COLLISION";
    case STATUS_DELETE_PENDING: return "STATUS_DELETE_PENDING";
    case STATUS_INSUFFICIENT_RESOURCES: return "STATUS_INSUFFICIENT_RESOURCES";
    case STATUS_DEVICE_DATA_ERROR: return "STATUS_DEVICE_DATA_ERROR";
    case STATUS_NOT_SUPPORTED: return "STATUS_NOT_SUPPORTED";
    case STATUS_CANCELLED: return "STATUS_CANCELLED";
    case STATUS_DEVICE_NOT_CONNECTED: return "STATUS_DEVICE_NOT_CONNECTED";
    case STATUS_DEVICE_CONFIGURATION_ERROR: return "STATUS_DEVICE_CONFIGURATION_ERROR";
  }
  return hexCode(static_cast<ULONG>(status));
}

std::string hexCode(ULONG code) {
  char text[16];
  snprintf(text, sizeof text, "0x%08" PRIX32, code);
  return text;
}

std::string narrow(const UNICODE_STRING *name) {
  std::string text;
  if (name == nullptr || name->Buffer == nullptr) return "(null)";
  for (USHORT i = 0; i < name->Length / sizeof(WCHAR); ++i)
    text += name->Buffer[i] < 0x80 ? static_cast<char>(name->Buffer[i]) : '?';
  return text;
}

std::string tagName(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) text += static_cast<char>((tag >> (8 * i)) & 0xFF);
  return "'" + text + "'";
}

void Trace::add(const std::string &category, const std::string &text) {
  if (!enabled) return;
  PlatformLock guard;
  lines_.push_back({category, text});
  if (echo_ == nullptr) return;
  for (const auto &wanted : echoCategories_)
    if (wanted == category) {
      fprintf(echo_, "[%-5s] %s\n", category.c_str(), text.c_str());
      return;
    }
}

void Trace::echoTo(FILE *stream, std::vector<std::string> categories) {
  echo_ = stream;
  echoCategories_ = std::move(categories);
}

std::string Trace::render(const std::vector<std::string> &categories) const {
  PlatformLock guard;
  std::string out;
  for (const auto &line : lines_) {
    bool wanted = categories.empty();
    for (const auto &category : categories) wanted = wanted || category == line.category;
    if (wanted) out += "[" + line.category + "] " + line.text + "\n";
  }
  return out;
}

bool Trace::contains(const std::string &category, const std::string &fragment) const {
  PlatformLock guard;
  for (const auto &line : lines_)
    if (line.category == category && line.text.find(fragment) != std::string::npos) return true;
  return false;
}

void Verifier::violation(const std::string &what) {
  PlatformLock guard;
  violations_.push_back(what);
  platform().trace.add("verifier", what);
}

bool Faults::allocationFails(const char *what) {
  PlatformLock guard;
  ++count_;
  if (count_ != failAt_) return false;
  failAt_ = 0;
  platform().trace.add("fault", std::string("allocation #") + std::to_string(count_) + " fails: " + what);
  return true;
}

}  // namespace sim
