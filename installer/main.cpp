// setup: registers the folder lock tool's Explorer verb (or removes it on a
// second run), deploys the tool and reports completion. No visible window.
#include <windows.h>

#include "program.h"
#include "setup_window.h"

namespace {
constexpr wchar_t kErrorReportTitle[] = L"setup";
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  rt::Win32Ui ui;
  return rt::run_program(ui, kErrorReportTitle, [&] {
    installer::安装窗口 window(instance, ui);
    window.create();
    window.load();
  });
}
