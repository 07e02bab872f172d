// The recorded trace, the verifier's findings, allocation failure injection
// and the names that make both readable.
#include <cstdio>

#include "sim/platform.h"

namespace sim {

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

void Trace::keep(std::string category, std::string text) {
  PlatformLock guard;
  lines_.push_back({std::move(category), std::move(text)});
  if (echo_ == nullptr) return;
  const TraceLine &line = lines_.back();
  bool wanted = echoCategories_.empty();
  for (const auto &category : echoCategories_) wanted = wanted || category == line.category;
  if (wanted) fprintf(echo_, "[%-5s] %s\n", line.category.c_str(), line.text.c_str());
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
  platform().trace.addMade("verifier", what);
}

bool Faults::allocationFails(const char *what) {
  PlatformLock guard;
  ++count_;
  if (count_ != failAt_) return false;
  failAt_ = 0;
  platform().trace.add("fault", [&] { return "allocation #" + std::to_string(count_) + " fails: " + what; });
  return true;
}

}  // namespace sim
