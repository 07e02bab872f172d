#include "registry_fixture.h"

#include <shlwapi.h>

#include <vector>

namespace registry_fixture {

namespace {

int g_scratch_keys = 0;

void remove_our_verbs() {
  delete_tree(kFolderVerb);
  delete_tree(kHtmlVerb);
}

}  // namespace

bool key_exists(const std::wstring& path) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

std::wstring first_missing(const std::wstring& path) {
  for (size_t end = path.find(L'\\'); ; end = path.find(L'\\', end + 1)) {
    const std::wstring prefix = path.substr(0, end);
    if (!key_exists(prefix)) return prefix;
    if (end == std::wstring::npos) return {};
  }
}

void create_key(const std::wstring& path) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
      ERROR_SUCCESS)
    RegCloseKey(key);
}

void delete_tree(const std::wstring& path) { SHDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str()); }

DWORD value_count(const std::wstring& path) {
  HKEY key;
  DWORD count = 0;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
  RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                   nullptr);
  RegCloseKey(key);
  return count;
}

std::string ansi_value(const std::wstring& path, const std::string& name, DWORD* type) {
  HKEY key;
  *type = REG_NONE;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "<no key>";
  std::vector<char> data(1024);
  DWORD size = data.size();
  const LONG status =
      RegQueryValueExA(key, name.c_str(), nullptr, type, reinterpret_cast<BYTE*>(data.data()), &size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? std::string(data.data(), size) : "<no value>";
}

void set_value(const std::wstring& path, const std::wstring& name, DWORD type, const void* data, DWORD size) {
  HKEY key;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(key);
}

ScratchKey::ScratchKey()
    : path_(L"SOFTWARE\\VarrowTests\\run-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(++g_scratch_keys)) {
  delete_tree(path_);
}

ScratchKey::~ScratchKey() {
  delete_tree(path_);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VarrowTests");  // only once no other run uses it
}

ShellKeys::ShellKeys() : created_(first_missing(kFolderShell)) {
  create_key(kFolderShell);
  create_key(kHtmlShell);
  remove_our_verbs();
}

ShellKeys::~ShellKeys() {
  remove_our_verbs();
  if (!created_.empty()) delete_tree(created_);
}

}  // namespace registry_fixture
