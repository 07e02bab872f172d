#include "files.h"

#include <windows.h>

#include "errors.h"

namespace rt {

namespace {

constexpr DWORD kMaskable = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY;

bool reported_under(DWORD attributes, unsigned mask) { return (attributes & kMaskable & ~mask) == 0; }

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_;
};

std::string read_whole_file(const std::wstring& path) {
  Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) raise_last_win32_error();
  std::string content;
  char buffer[4096];
  DWORD got = 0;
  do {
    if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) raise_last_win32_error();
    content.append(buffer, got);
  } while (got > 0);
  return content;
}

std::string first_item_of_line(const std::string& line) {
  size_t start = line.find_first_not_of(" \t");
  if (start == std::string::npos) return {};
  if (line[start] == '"') {
    // Between the first and the last quote, so a text holding quotes reads back whole.
    size_t last = line.rfind('"');
    if (last == start) return line.substr(start + 1);
    return line.substr(start + 1, last - start - 1);
  }
  std::string item = line.substr(start, line.find(',', start) - start);
  return item.substr(0, item.find_last_not_of(" \t") + 1);
}

// Opens path for output as CREATE_ALWAYS does. A missing file is created
// outright: emptying a new file is not free everywhere (on ext4, which holds
// Wine's drives, a file emptied and then written is flushed when it is closed,
// and deleting it waits for the disk). Whenever that first try fails, the
// CREATE_ALWAYS call alone decides, with its own result and error.
HANDLE create_or_empty(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) return file;
  return CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::optional<std::wstring> lookup_entry(const std::wstring& path, unsigned mask) {
  if (path.find_first_of(L"*?") != std::wstring::npos) return std::nullopt;
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(path.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return std::nullopt;
  std::optional<std::wstring> name;
  do {
    if (reported_under(data.dwFileAttributes, mask)) name = data.cFileName;
  } while (!name && FindNextFileW(search, &data));
  FindClose(search);
  return name;
}

void write_text_item(const std::wstring& path, const std::string& ansi_text) {
  Handle file(create_or_empty(path));
  if (!file.valid()) raise_last_win32_error();
  const std::string line = "\"" + ansi_text + "\"\r\n";
  DWORD written = 0;
  if (!WriteFile(file.get(), line.data(), (DWORD)line.size(), &written, nullptr)) raise_last_win32_error();
  if (written != line.size()) raise_error(kDiskFull);
}

std::string read_text_item(const std::wstring& path) {
  const std::string content = read_whole_file(path);
  if (content.empty()) raise_error(kInputPastEndOfFile);
  return first_item_of_line(content.substr(0, content.find_first_of("\r\n")));
}

bool is_folder(const std::wstring& path) {
  if (path.size() < 3 || path[1] != L':') return false;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void rename_entry(const std::wstring& from, const std::wstring& to) {
  if (!MoveFileW(from.c_str(), to.c_str())) raise_last_win32_error();
}

void delete_file(const std::wstring& path) {
  if (!DeleteFileW(path.c_str())) raise_last_win32_error();
}

void copy_file(const std::wstring& from, const std::wstring& to) {
  if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) raise_last_win32_error();
}

}  // namespace rt
