// run_setup SETUP_EXE: runs the installer headless, prints each message box
// it shows (UTF-8, as a Linux script reads it), presses OK, and returns the
// installer's exit code.
#include <windows.h>

#include <cstdio>
#include <string>

#include "app_driver.h"

namespace {

void print_utf8(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), nullptr, 0, nullptr, nullptr);
  std::string bytes(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), bytes.data(), size, nullptr, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    print_utf8(L"usage: run_setup SETUP_EXE\n");
    return 2;
  }
  app_driver::AppRun setup(argv[1], L"", L"VarrowSetupWindow");
  while (auto box = setup.wait_for_message_box()) {
    print_utf8(L"[" + box->title + L"] " + box->text + L"\n");
    setup.press_ok(*box);
  }
  const auto exit_code = setup.wait_for_exit();
  if (!exit_code) print_utf8(L"setup did not end\n");
  return exit_code ? static_cast<int>(*exit_code) : 3;
}
