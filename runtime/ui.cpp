#include "ui.h"

#include <windows.h>

#include "errors.h"

namespace rt {

void Win32Ui::message_box(const std::wstring& text, const std::wstring& title) {
  // Owned by the active window of this thread, if any, so it stays modal to it.
  MessageBoxW(GetActiveWindow(), text.c_str(), title.c_str(), MB_OK);
}

void show_error_report(Ui& ui, int number, const std::wstring& title) {
  ui.message_box(error_report_text(number), title);
}

}  // namespace rt
