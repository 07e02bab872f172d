// The load handler of 安装窗口: the whole installation, in a fixed order.
#include "deployment.h"

#include "errors.h"
#include "files.h"
#include "program.h"
#include "setup_window.h"
#include "text.h"

namespace installer {

namespace {

constexpr wchar_t kToolFile[] = L"\\Varrowcrypt.EXE";
constexpr wchar_t kLibraryFile[] = L"\\msvbvm60.dll";

}  // namespace

std::wstring directory_in(char (&buffer)[kDirectoryBufferSize], DirectoryQuery query) {
  const UINT length = query(buffer, kDirectoryBufferSize);
  if (length == 0) rt::raise_last_win32_error();
  // Too small a buffer: the query returns the size it would need instead.
  if (length >= kDirectoryBufferSize) rt::raise_error(rt::kPathFileAccessError);
  return rt::from_cp936(std::string(buffer, length));
}

void 安装窗口::load() {
  minimize_unseen();
  增加资源管理器中的目录右键菜单();
  char buffer[kDirectoryBufferSize];
  const std::wstring windows_directory = directory_in(buffer, GetWindowsDirectoryA);
  const std::wstring program_folder = rt::program_folder();
  rt::copy_file(program_folder + kToolFile, windows_directory + kToolFile);
  const std::wstring system_directory = directory_in(buffer, GetSystemDirectoryA);
  // An existing library is never replaced, whatever its version.
  if (!rt::lookup_entry(system_directory + kLibraryFile, rt::kOrdinaryFiles))
    rt::copy_file(program_folder + kLibraryFile, system_directory + kLibraryFile);
  ui_.message_box(kCompletionText, kCompletionTitle);
  rt::end_program();
}

}  // namespace installer
