#include "test_support.h"

#include <algorithm>
#include <cstdint>

namespace test_support {

namespace {

int g_scratch_count = 0;

// FNV-1a: enough to tell whether a file's bytes changed.
std::string hash_of(const std::string& bytes) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
  return std::to_string(h);
}

void collect(const std::wstring& root, const std::wstring& relative, std::map<std::wstring, std::string>& out) {
  for (const std::wstring& name : entry_names(root + relative)) {
    const std::wstring child = relative + L"\\" + name;
    const DWORD attributes = GetFileAttributesW((root + child).c_str());
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      out[child] = "folder";
      collect(root, child, out);
    } else {
      const std::string bytes = read_bytes(root + child);
      out[child] = std::to_string(bytes.size()) + ":" + hash_of(bytes);
    }
  }
}

}  // namespace

ScratchFolder::ScratchFolder() {
  CreateDirectoryW(L"C:\\varrow-tests", nullptr);
  path_ = L"C:\\varrow-tests\\run-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
          std::to_wstring(++g_scratch_count);
  remove_tree(path_);
  CreateDirectoryW(path_.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder() { remove_tree(path_); }

std::wstring ScratchFolder::make_folder(const std::wstring& relative) const {
  std::wstring full = path_;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find(L'\\', start);
    if (end == std::wstring::npos) end = relative.size();
    full += L"\\" + relative.substr(start, end - start);
    CreateDirectoryW(full.c_str(), nullptr);
    start = end + 1;
  }
  return full;
}

std::wstring ScratchFolder::make_file(const std::wstring& relative, const std::string& bytes) const {
  const std::wstring full = path_ + L"\\" + relative;
  write_bytes(full, bytes);
  return full;
}

void remove_tree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL | (attributes & FILE_ATTRIBUTE_DIRECTORY));
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    DeleteFileW(path.c_str());
    return;
  }
  for (const std::wstring& name : entry_names(path)) remove_tree(path + L"\\" + name);
  RemoveDirectoryW(path.c_str());
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string read_bytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<unreadable>";
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

void write_bytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
  CloseHandle(file);
}

std::vector<std::wstring> entry_names(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(search, &data));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

std::map<std::wstring, std::string> fingerprint(const std::wstring& folder) {
  std::map<std::wstring, std::string> out;
  collect(folder, L"", out);
  return out;
}

}  // namespace test_support
