#include "startup.h"

#include "files.h"
#include "locked_folder.h"
#include "program.h"
#include "text.h"

namespace varrow {

namespace {

constexpr unsigned kComponentMask = rt::kDirectory | rt::kSystem | rt::kHidden;

bool is_drive_letter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// A component the file system would resolve to another entry (".", "..",
// "...") makes the walk report some other folder's name.
bool has_dot_only_component(const std::wstring& path) {
  for (size_t start = 3; start < path.size();) {
    size_t end = path.find(L'\\', start);
    if (end == std::wstring::npos) end = path.size();
    if (path.find_first_not_of(L". ", start) >= end) return true;
    start = end + 1;
  }
  return false;
}

// Accepts what the shell may hand over: a path wrapped in quotes, or with one
// trailing backslash. Returns nothing for what cannot name a folder safely:
// wildcards and other characters no name holds, forward slashes, network
// paths, drive roots, empty or dot-only components.
std::optional<std::wstring> normalised_argument(std::wstring arg) {
  if (arg.size() >= 2 && arg.front() == L'"' && arg.back() == L'"') arg = arg.substr(1, arg.size() - 2);
  if (arg.size() > 3 && arg.back() == L'\\') arg.pop_back();
  if (arg.size() <= 3 || !is_drive_letter(arg[0]) || arg[1] != L':' || arg[2] != L'\\') return std::nullopt;
  if (arg.find_first_of(L"*?\"/<>|:", 2) != std::wstring::npos) return std::nullopt;
  if (arg.find(L"\\\\") != std::wstring::npos || arg.back() == L'\\') return std::nullopt;
  if (has_dot_only_component(arg)) return std::nullopt;
  return arg;
}

std::optional<std::wstring> walk_components(const std::wstring& argument) {
  const std::wstring work = argument + L"\\";
  std::wstring built;
  for (size_t p = work.find(L'\\', 3); p != std::wstring::npos; p = work.find(L'\\', p + 1)) {
    auto name = rt::lookup_entry(work.substr(0, p), kComponentMask);
    if (!name) return std::nullopt;
    built += L"\\" + *name;
  }
  return rt::upper_case(work.substr(0, 2) + built);
}

[[noreturn]] void refuse(rt::Ui& ui, const std::wstring& message) {
  ui.message_box(message, kAppTitle);
  rt::end_program();
}

}  // namespace

std::optional<std::wstring> canonical_folder_path(const std::wstring& argument) {
  // No argument at all names no folder; the lock then fails with its message.
  if (argument.empty()) return std::wstring(L"\\");
  auto normalised = normalised_argument(argument);
  if (!normalised) return std::nullopt;
  return walk_components(*normalised);
}

StartResult start_up(const std::wstring& argument, rt::Ui& ui) {
  auto folder = canonical_folder_path(argument);
  if (!folder) refuse(ui, kBadPathMessage);
  if (!carries_suffix(*folder)) return {*folder, Mode::kLock};
  // A suffix in a parent folder, or not at the end of the folder's own name,
  // could never be unlocked back to the folder's own name.
  if (own_name_ends_with_suffix(*folder) && rt::lookup_entry(marker_path(*folder), rt::kOrdinaryFiles))
    return {*folder, Mode::kUnlock};
  refuse(ui, kNotLockedMessage);
}

}  // namespace varrow
