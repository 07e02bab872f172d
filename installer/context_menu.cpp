// The folder verb toggle: added when the folder verb key does not open,
// removed (both verbs) when it does.
#include "registry_class.h"
#include "setup_window.h"

namespace installer {

namespace {

const HKEY kMachine = HKEY_LOCAL_MACHINE;
constexpr wchar_t kFolderShell[] = L"SOFTWARE\\Classes\\Directory\\Shell";
constexpr wchar_t kFolderVerb[] = L"SOFTWARE\\Classes\\Directory\\Shell\\Varrow加密工具";
constexpr wchar_t kHtmlShell[] = L"SOFTWARE\\Classes\\htmlfile\\shell";
constexpr wchar_t kHtmlVerb[] = L"SOFTWARE\\Classes\\htmlfile\\shell\\Varrow加密工具";
constexpr wchar_t kVerbName[] = L"Varrow加密工具";
constexpr wchar_t kCommandTemplate[] = L"Varrowcrypt.exe %1";

// The verb key under its opened parent, then its command key under the
// opened verb key; setvalue releases each parent once the child is created.
void add_verb(const std::wstring& shell, const std::wstring& verb) {
  注册表类 r;
  long written = 0;
  r.openkey(kMachine, shell);
  r.setvalue(r.h_key(), kVerbName, L"", std::wstring(), written);
  r.closekey(0);
  r.openkey(kMachine, verb);
  r.setvalue(r.h_key(), L"command", L"", std::wstring(kCommandTemplate), written);
  r.closekey(0);
}

void remove_verbs() {
  注册表类 r;
  r.deletekey(kMachine, kFolderVerb, std::wstring(L"Command"));
  r.deletekey(kMachine, kFolderShell, std::wstring(kVerbName));
  r.deletekey(kMachine, kHtmlVerb, std::wstring(L"Command"));
  r.deletekey(kMachine, kHtmlShell, std::wstring(kVerbName));
  r.closekey(0);
}

bool folder_verb_opens() {
  注册表类 r;
  return r.openkey(kMachine, kFolderVerb) == ERROR_SUCCESS;
}

}  // namespace

void 安装窗口::增加资源管理器中的目录右键菜单() {
  if (folder_verb_opens()) {
    remove_verbs();
  } else {
    add_verb(kFolderShell, kFolderVerb);
    add_verb(kHtmlShell, kHtmlVerb);
  }
}

}  // namespace installer
