// vdrive: drives the real Varrowcrypt window for the demo, as a user would.
//   vdrive EXE lock FOLDER PASSWORD HOLD_MS
//   vdrive EXE unlock FOLDER PASSWORD HOLD_MS
// Types the password, keeps the filled window on screen for HOLD_MS (time for
// a screenshot), clicks the button, answers any message box and prints what
// happened.
#include <windows.h>

#include <cstdio>
#include <string>

#include "app_driver.h"
#include "form_ids.h"
#include "text.h"

using namespace varrow::form_ids;

namespace {

void print_utf8(const std::wstring& text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), nullptr, 0, nullptr, nullptr);
  std::string bytes(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), bytes.data(), n, nullptr, nullptr);
  fwrite(bytes.data(), 1, bytes.size(), stdout);
  fflush(stdout);
}

int usage() {
  print_utf8(L"usage: vdrive EXE lock|unlock FOLDER PASSWORD HOLD_MS\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 6) return usage();
  const std::wstring exe = argv[1], command = argv[2], folder = argv[3], password = argv[4];
  const DWORD hold_ms = wcstoul(argv[5], nullptr, 10);
  if (command != L"lock" && command != L"unlock") return usage();

  app_driver::AppRun run(exe, folder, L"VarrowcryptForm1");
  if (run.wait_until_shown() != app_driver::Shown::kWindow) {
    if (auto box = run.wait_for_message_box(1000)) {
      print_utf8(L"message box: " + box->text + L"\n");
      run.press_ok(*box);
    }
    print_utf8(L"the window did not open\n");
    return 1;
  }
  const bool lock = command == L"lock";
  print_utf8(lock ? L"window open in lock mode, typing the password twice\n"
                  : L"window open in unlock mode, typing the password\n");
  run.type_into(lock ? kPassword : kUnlockPassword, password);
  if (lock) run.type_into(kConfirmation, password);
  Sleep(hold_ms);
  run.click(lock ? kLockButton : kUnlockButton);
  if (auto box = run.wait_for_message_box(1500)) {
    print_utf8(L"message box [" + box->title + L"]: " + box->text + L"\n");
    run.press_ok(*box);
  }
  const auto code = run.wait_for_exit();
  print_utf8(L"Varrowcrypt ended with exit code " + (code ? std::to_wstring(*code) : std::wstring(L"(still running)")) +
             L"\n");
  return code && *code == 0 ? 0 : 1;
}
