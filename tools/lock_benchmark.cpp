// lock_benchmark FOLDER...: times the lock and unlock commands on each folder,
// beside the platform's own cost of creating and deleting one new file in it.
// Both commands touch only the folder's name and its marker, so their time
// should stay close to the platform's however many files the folder holds.
// scripts/bench fills the folders: through Wine, creating a file searches the
// whole folder for the name first, so filling a folder from here would take
// time quadratic in its size.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "errors.h"
#include "locked_folder.h"

namespace {

constexpr int kRounds = 31;

class CountingUi : public rt::Ui {
 public:
  void message_box(const std::wstring&, const std::wstring&) override { ++boxes; }
  int boxes = 0;
};

double now_ms() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * count.QuadPart / frequency.QuadPart;
}

// One lock and one unlock of the folder; returns the milliseconds taken.
double lock_and_unlock(const std::wstring& folder, CountingUi& ui) {
  const double start = now_ms();
  varrow::LockEntries entries{L"密码", L"密码"};
  try {
    varrow::lock_command(folder, entries, ui);
  } catch (const rt::ProgramEnd&) {
  }
  try {
    varrow::unlock_command(varrow::locked_path(folder), L"密码", ui);
  } catch (const rt::ProgramEnd&) {
  }
  return now_ms() - start;
}

// The platform's own share: creating and deleting one new file in the folder,
// which is what writing and deleting the marker costs.
double create_and_delete_file(const std::wstring& folder) {
  const double start = now_ms();
  const std::wstring name = folder + L"\\probe.tmp";
  CloseHandle(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DeleteFileW(name.c_str());
  return now_ms() - start;
}

double median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

struct Timing {
  double command_ms, platform_ms;
};

// The two alternate round by round, so that a change in the machine's load
// reaches both alike.
Timing time_folder(const std::wstring& folder, CountingUi& ui) {
  std::vector<double> command, platform;
  for (int i = 0; i < kRounds; ++i) {
    command.push_back(lock_and_unlock(folder, ui));
    platform.push_back(create_and_delete_file(folder));
  }
  return {median(command), median(platform)};
}

// Files directly in the folder, or -1 when it cannot be listed.
int count_files(const std::wstring& folder) {
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return -1;
  int files = 0;
  do {
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++files;
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  return files;
}

std::string folder_label(int files) {
  if (files == 0) return "empty";
  std::string digits = std::to_string(files);
  for (int at = int(digits.size()) - 3; at > 0; at -= 3) digits.insert(size_t(at), ",");
  return digits + " files";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    printf("usage: lock_benchmark FOLDER... (scripts/bench makes and fills them)\n");
    return 2;
  }
  CountingUi ui;
  bool intact = true;
  printf("lock + unlock against the platform's create + delete of one new file, median of %d rounds\n", kRounds);
  printf("  %-14s %14s %16s %7s\n", "folder", "lock + unlock", "create + delete", "ratio");
  for (int i = 1; i < argc; ++i) {
    const std::wstring folder = argv[i];
    const int files = count_files(folder);
    if (files < 0) {
      printf("  %ls: no such folder\n", argv[i]);
      return 1;
    }
    const Timing timing = time_folder(folder, ui);
    printf("  %-14s %11.3f ms %13.3f ms %7.2f\n", folder_label(files).c_str(), timing.command_ms,
           timing.platform_ms, timing.command_ms / timing.platform_ms);
    intact = intact && count_files(folder) == files;
  }
  if (!intact || ui.boxes != 0) printf("a command failed (%d message boxes)\n", ui.boxes);
  return intact && ui.boxes == 0 ? 0 : 1;
}
