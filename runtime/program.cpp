#include "program.h"

#include <windows.h>

#include "errors.h"

namespace rt {

void end_program() { throw ProgramEnd{}; }

int run_program(Ui& ui, const std::wstring& title, const std::function<void()>& body) {
  try {
    body();
  } catch (const ProgramEnd&) {
    return kEndedNormally;
  } catch (const RuntimeError& error) {
    show_error_report(ui, error.number, title);
    return kEndedByError;
  }
  return kEndedNormally;
}

std::wstring argument_text() {
  const wchar_t* p = GetCommandLineW();
  // The program's own name: quoted, or up to the first blank.
  if (*p == L'"') {
    ++p;
    while (*p && *p != L'"') ++p;
    if (*p == L'"') ++p;
  } else {
    while (*p && *p != L' ' && *p != L'\t') ++p;
  }
  while (*p == L' ' || *p == L'\t') ++p;
  return p;
}

std::wstring program_folder() {
  wchar_t buffer[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  return folder_of(std::wstring(buffer, n));
}

std::wstring folder_of(const std::wstring& file_path) {
  const size_t separator = file_path.find_last_of(L'\\');
  if (separator == std::wstring::npos) return {};
  const std::wstring folder = file_path.substr(0, separator);
  return folder.size() == 2 && folder[1] == L':' ? folder + L"\\" : folder;
}

}  // namespace rt
