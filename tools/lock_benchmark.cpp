// lock_benchmark: times the lock and unlock commands on an empty folder and on
// a folder of 10,000 small files, and prints the ratio. Both commands touch
// only the folder's name and its marker, so the ratio should stay near 1.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "errors.h"
#include "locked_folder.h"
#include "startup.h"

namespace {

constexpr int kFiles = 10000;
constexpr int kRounds = 15;

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

void fill(const std::wstring& folder, int files) {
  CreateDirectoryW(folder.c_str(), nullptr);
  for (int i = 0; i < files; ++i) {
    const std::wstring name = folder + L"\\file" + std::to_wstring(i) + L".txt";
    HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(h, "small file\r\n", 12, &written, nullptr);
    CloseHandle(h);
  }
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

double median_time(const std::wstring& folder, CountingUi& ui) {
  std::vector<double> times;
  for (int i = 0; i < kRounds; ++i) times.push_back(lock_and_unlock(folder, ui));
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// The platform's own share: creating and deleting one new file in the folder,
// which is what writing and deleting the marker costs.
double create_and_delete_file(const std::wstring& folder) {
  std::vector<double> times;
  for (int i = 0; i < kRounds; ++i) {
    const double start = now_ms();
    const std::wstring name = folder + L"\\probe.tmp";
    CloseHandle(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DeleteFileW(name.c_str());
    times.push_back(now_ms() - start);
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

void remove_folder(const std::wstring& folder, int files) {
  for (int i = 0; i < files; ++i) DeleteFileW((folder + L"\\file" + std::to_wstring(i) + L".txt").c_str());
  RemoveDirectoryW(folder.c_str());
}

}  // namespace

int main() {
  const std::wstring root = L"C:\\varrow-benchmark";
  CreateDirectoryW(root.c_str(), nullptr);
  const std::wstring empty = root + L"\\EMPTY", full = root + L"\\FULL";
  fill(empty, 0);
  fill(full, kFiles);

  CountingUi ui;
  const double empty_ms = median_time(empty, ui);
  const double full_ms = median_time(full, ui);
  const bool intact = GetFileAttributesW(empty.c_str()) != INVALID_FILE_ATTRIBUTES &&
                      GetFileAttributesW(full.c_str()) != INVALID_FILE_ATTRIBUTES && ui.boxes == 0;
  printf("lock + unlock, median of %d rounds\n", kRounds);
  printf("  empty folder:        %8.3f ms\n", empty_ms);
  printf("  %5d small files:    %8.3f ms\n", kFiles, full_ms);
  printf("  ratio full / empty:  %8.2f\n", full_ms / empty_ms);
  const double probe_empty = create_and_delete_file(empty), probe_full = create_and_delete_file(full);
  printf("platform baseline: create + delete one new file, median of %d rounds\n", kRounds);
  printf("  empty folder:        %8.3f ms\n", probe_empty);
  printf("  %5d small files:    %8.3f ms\n", kFiles, probe_full);
  printf("  ratio full / empty:  %8.2f\n", probe_full / probe_empty);
  remove_folder(empty, 0);
  remove_folder(full, kFiles);
  RemoveDirectoryW(root.c_str());
  if (!intact) printf("a command failed (%d message boxes)\n", ui.boxes);
  return intact ? 0 : 1;
}
