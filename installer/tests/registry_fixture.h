// Registry helpers for the installer tests, on Wine's real registry under
// HKEY_LOCAL_MACHINE. They use the wide functions, independent of the code
// under test.
#pragma once
#include <windows.h>

#include <string>

namespace registry_fixture {

constexpr wchar_t kFolderShell[] = L"SOFTWARE\\Classes\\Directory\\Shell";
constexpr wchar_t kFolderVerb[] = L"SOFTWARE\\Classes\\Directory\\Shell\\Varrow加密工具";
constexpr wchar_t kFolderCommand[] = L"SOFTWARE\\Classes\\Directory\\Shell\\Varrow加密工具\\command";
constexpr wchar_t kHtmlShell[] = L"SOFTWARE\\Classes\\htmlfile\\shell";
constexpr wchar_t kHtmlVerb[] = L"SOFTWARE\\Classes\\htmlfile\\shell\\Varrow加密工具";
constexpr wchar_t kHtmlCommand[] = L"SOFTWARE\\Classes\\htmlfile\\shell\\Varrow加密工具\\command";

bool key_exists(const std::wstring& path);
// The highest key on the way to path that does not exist yet, or "" when
// path exists: what creating path adds, and what a test removes again.
std::wstring first_missing(const std::wstring& path);
void create_key(const std::wstring& path);
void delete_tree(const std::wstring& path);
DWORD value_count(const std::wstring& path);
// The value's raw bytes as the ANSI functions return them, and its type.
std::string ansi_value(const std::wstring& path, const std::string& name, DWORD* type);
void set_value(const std::wstring& path, const std::wstring& name, DWORD type, const void* data, DWORD size);

// A key of its own below HKLM\SOFTWARE for one test, deleted with all it holds.
class ScratchKey {
 public:
  ScratchKey();
  ~ScratchKey();
  ScratchKey(const ScratchKey&) = delete;
  ScratchKey& operator=(const ScratchKey&) = delete;
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

// The shell keys as Windows has them (a fresh Wine prefix lacks the folder
// one), no verb of ours before the test and none after it.
class ShellKeys {
 public:
  ShellKeys();
  ~ShellKeys();
  ShellKeys(const ShellKeys&) = delete;
  ShellKeys& operator=(const ShellKeys&) = delete;

 private:
  std::wstring created_;
};

}  // namespace registry_fixture
