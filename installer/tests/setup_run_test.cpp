// The real setup.exe, run under Wine from a medium staged in a scratch
// folder: what the user sees, what lands in the Windows and System
// directories, and what the registry holds afterwards.
#include <gtest/gtest.h>

#include <optional>

#include "app_driver.h"
#include "errors.h"
#include "registry_fixture.h"
#include "test_support.h"

using test_support::exists;
using test_support::read_bytes;
using test_support::write_bytes;

namespace {

constexpr wchar_t kSetupWindowClass[] = L"VarrowSetupWindow";
const std::string kMediumLibrary = "library on the medium";

std::wstring windows_path(const std::string& unix_path) {
  std::wstring path = L"Z:" + std::wstring(unix_path.begin(), unix_path.end());
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

const std::wstring kMedium = windows_path(MEDIUM_FOLDER);

std::wstring in_directory(UINT(WINAPI* query)(LPWSTR, UINT), const wchar_t* file) {
  wchar_t buffer[MAX_PATH];
  return std::wstring(buffer, query(buffer, MAX_PATH)) + file;
}

// A file the test changes, put back as it was afterwards.
class RestoredFile {
 public:
  explicit RestoredFile(std::wstring path) : path_(std::move(path)), existed_(exists(path_)) {
    if (existed_) {
      bytes_ = read_bytes(path_);
      attributes_ = GetFileAttributesW(path_.c_str());
    }
    remove();
  }
  ~RestoredFile() {
    remove();
    if (!existed_) return;
    write_bytes(path_, bytes_);
    SetFileAttributesW(path_.c_str(), attributes_);
  }
  const std::wstring& path() const { return path_; }

 private:
  void remove() const {
    SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path_.c_str());
  }
  std::wstring path_;
  bool existed_;
  std::string bytes_;
  DWORD attributes_ = 0;
};

struct Outcome {
  std::optional<app_driver::MessageBox> box;
  size_t visible_windows = 0;
  bool window_minimized_unseen = false;
  std::optional<app_driver::MessageBox> second_box;
  std::optional<DWORD> exit_code;
};

class SetupRun : public ::testing::Test {
 protected:
  void SetUp() override {
    setup_ = scratch_.make_file(L"setup.exe", read_bytes(kMedium + L"\\setup.exe"));
    tool_bytes_ = read_bytes(kMedium + L"\\Varrowcrypt.EXE");
    scratch_.make_file(L"Varrowcrypt.EXE", tool_bytes_);
    scratch_.make_file(L"msvbvm60.dll", kMediumLibrary);
  }

  Outcome run() {
    app_driver::AppRun app(setup_, L"", kSetupWindowClass);
    Outcome outcome;
    outcome.box = app.wait_for_message_box();
    outcome.visible_windows = app.visible_windows().size();
    HWND window = app.window_of_class();
    outcome.window_minimized_unseen = window && IsIconic(window) && !IsWindowVisible(window);
    if (outcome.box) app.press_ok(*outcome.box);
    outcome.second_box = app.wait_for_message_box(500);
    if (outcome.second_box) app.press_ok(*outcome.second_box);
    outcome.exit_code = app.wait_for_exit();
    return outcome;
  }

  registry_fixture::ShellKeys shell_keys_;
  RestoredFile installed_tool_{in_directory(GetWindowsDirectoryW, L"\\Varrowcrypt.EXE")};
  RestoredFile system_library_{in_directory(GetSystemDirectoryW, L"\\msvbvm60.dll")};
  test_support::ScratchFolder scratch_;
  std::wstring setup_;
  std::string tool_bytes_;
};

void expect_completion(const Outcome& outcome) {
  ASSERT_TRUE(outcome.box);
  EXPECT_EQ(outcome.box->text, L"已经完成安装！");
  EXPECT_EQ(outcome.box->title, L"Varrow加密安装：");
  EXPECT_FALSE(outcome.second_box);
  EXPECT_EQ(outcome.exit_code, 0u);
}

}  // namespace

TEST_F(SetupRun, TheCompletionBoxIsAllTheUserSees) {
  const Outcome outcome = run();
  expect_completion(outcome);
  EXPECT_EQ(outcome.box->buttons, 1);
  EXPECT_FALSE(outcome.box->has_icon);
  EXPECT_EQ(outcome.visible_windows, 1u);
  EXPECT_TRUE(outcome.window_minimized_unseen);
  EXPECT_TRUE(registry_fixture::key_exists(registry_fixture::kFolderCommand));
  EXPECT_TRUE(registry_fixture::key_exists(registry_fixture::kHtmlCommand));
}

TEST_F(SetupRun, TheToolReplacesAnOlderOneInTheWindowsDirectory) {
  write_bytes(installed_tool_.path(), "older tool");
  expect_completion(run());
  EXPECT_EQ(read_bytes(installed_tool_.path()), tool_bytes_);
}

TEST_F(SetupRun, TheLibraryIsCopiedWhenTheSystemDirectoryLacksIt) {
  expect_completion(run());
  EXPECT_EQ(read_bytes(system_library_.path()), kMediumLibrary);
}

TEST_F(SetupRun, AnOrdinaryLibraryInTheSystemDirectoryIsKept) {
  write_bytes(system_library_.path(), "system library");
  expect_completion(run());
  EXPECT_EQ(read_bytes(system_library_.path()), "system library");
}

// Wine's copy replaces a hidden or system file (Windows would refuse with
// access denied, which the error report would then show).
TEST_F(SetupRun, AHiddenOrSystemLibraryIsNotSeenSoTheInstallerCopiesOverIt) {
  for (DWORD attribute : {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM}) {
    write_bytes(system_library_.path(), "system library");
    SetFileAttributesW(system_library_.path().c_str(), attribute);
    expect_completion(run());
    EXPECT_EQ(read_bytes(system_library_.path()), kMediumLibrary) << attribute;
    SetFileAttributesW(system_library_.path().c_str(), FILE_ATTRIBUTE_NORMAL);
  }
}

// The program folder of a drive root keeps its separator, so the source path
// holds two in a row; the library is already there, so only the tool is needed.
TEST_F(SetupRun, FromTheRootOfADriveTheToolIsStillCopied) {
  RestoredFile root_setup(L"C:\\varrow-root-setup.exe");
  RestoredFile root_tool(L"C:\\Varrowcrypt.EXE");
  write_bytes(root_setup.path(), read_bytes(setup_));
  write_bytes(root_tool.path(), tool_bytes_);
  write_bytes(system_library_.path(), "system library");
  setup_ = root_setup.path();
  expect_completion(run());
  EXPECT_EQ(read_bytes(installed_tool_.path()), tool_bytes_);
}

TEST_F(SetupRun, ASecondRunRemovesTheVerbAndCopiesAgain) {
  expect_completion(run());
  DeleteFileW(installed_tool_.path().c_str());
  expect_completion(run());
  EXPECT_FALSE(registry_fixture::key_exists(registry_fixture::kFolderVerb));
  EXPECT_FALSE(registry_fixture::key_exists(registry_fixture::kHtmlVerb));
  EXPECT_EQ(read_bytes(installed_tool_.path()), tool_bytes_);
}

TEST_F(SetupRun, AMissingToolEndsWithTheErrorReportAfterTheVerbIsRegistered) {
  DeleteFileW((scratch_.path() + L"\\Varrowcrypt.EXE").c_str());
  const Outcome outcome = run();
  ASSERT_TRUE(outcome.box);
  EXPECT_EQ(outcome.box->text, rt::error_report_text(rt::kFileNotFound));
  EXPECT_EQ(outcome.box->title, L"setup");
  EXPECT_FALSE(outcome.second_box) << "no completion message after the error";
  EXPECT_EQ(outcome.exit_code, 1u);
  EXPECT_TRUE(registry_fixture::key_exists(registry_fixture::kFolderCommand));
  EXPECT_FALSE(exists(installed_tool_.path()));
  EXPECT_FALSE(exists(system_library_.path()));
}

// The driver's files too: its INF, the i686 image beside it and the x86_64
// one in amd64\ (the x86_64 build's twin medium has no i686 image).
TEST(Medium, HoldsTheInstallerAndTheToolTheDriverAndNoLibrary) {
#ifdef _WIN64
  const std::vector<std::wstring> expected = {L"Varrowcrypt.EXE", L"amd64", L"harlen.inf", L"setup.exe"};
#else
  const std::vector<std::wstring> expected = {L"Varrowcrypt.EXE", L"amd64", L"harlen.inf", L"harlen.sys", L"setup.exe"};
#endif
  EXPECT_EQ(test_support::entry_names(kMedium), expected);
  EXPECT_EQ(test_support::entry_names(kMedium + L"\\amd64"), std::vector<std::wstring>{L"harlen.sys"});
}

TEST(Medium, SetupCarriesItsVersionResource) {
  const std::wstring setup = kMedium + L"\\setup.exe";
  std::vector<BYTE> info(GetFileVersionInfoSizeW(setup.c_str(), nullptr));
  ASSERT_FALSE(info.empty());
  ASSERT_TRUE(GetFileVersionInfoW(setup.c_str(), 0, info.size(), info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT size = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &size));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
  const std::pair<const wchar_t*, const wchar_t*> strings[] = {
      {L"FileVersion", L"1.00"},  {L"ProductVersion", L"1.00"},      {L"ProductName", L"工程1"},
      {L"InternalName", L"setup"}, {L"OriginalFilename", L"setup.exe"}};
  for (const auto& [name, expected] : strings) {
    wchar_t* value = nullptr;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
    ASSERT_TRUE(VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &size)) << name;
    EXPECT_STREQ(value, expected) << name;
  }
}
