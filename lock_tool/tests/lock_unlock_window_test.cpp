// Locking and unlocking through the real window, as a user would: type, click,
// read each message box, press OK; then check the disk.
#include "window_fixture.h"

#include "errors.h"
#include "text.h"

using namespace varrow_test;
using test_support::fingerprint;
using test_support::ScratchFolder;

namespace {

void expect_window(app_driver::AppRun& run) { ASSERT_EQ(run.wait_until_shown(), app_driver::Shown::kWindow); }

// Types the password into both boxes and clicks the lock button.
std::unique_ptr<app_driver::AppRun> lock_with(const std::wstring& path, const std::wstring& password) {
  auto run = start_tool(path);
  EXPECT_EQ(run->wait_until_shown(), app_driver::Shown::kWindow);
  run->type_into(kPassword, password);
  run->type_into(kConfirmation, password);
  run->click(kLockButton);
  return run;
}

// Locks through the window and expects the program to end without a word.
void lock_through_window(const std::wstring& folder, const std::wstring& password) {
  auto run = lock_with(folder, password);
  EXPECT_EQ(run->wait_for_exit(), 0u);
  EXPECT_FALSE(run->wait_for_message_box(0));
}

// Another program holding the folder open, as a window or a prompt showing
// it does: the file system refuses to rename the folder meanwhile.
class FolderInUse {
 public:
  explicit FolderInUse(const std::wstring& folder)
      : handle_(CreateFileW(folder.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)) {}
  ~FolderInUse() { CloseHandle(handle_); }
  bool held() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

void unlock_through_window(const std::wstring& folder, const std::wstring& password) {
  auto run = start_tool(folder);
  expect_window(*run);
  run->type_into(kUnlockPassword, password);
  run->click(kUnlockButton);
  EXPECT_EQ(run->wait_for_exit(), 0u);
}

void expect_box_back_to_window(app_driver::AppRun& run, const std::wstring& text) {
  auto box = run.wait_for_message_box();
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, text);
  EXPECT_EQ(box->title, L"Varrowcrypt");
  run.press_ok(*box);
  EXPECT_TRUE(run.running());
  EXPECT_TRUE(IsWindowVisible(run.window()));
}

}  // namespace

TEST(LockThroughWindow, ChecksComeInOrderAndAMismatchEmptiesBothBoxes) {
  ScratchFolder scratch;
  const std::wstring folder = scratch.make_folder(L"Work");
  scratch.make_file(L"Work\\notes.txt", "some notes");
  const auto before = fingerprint(scratch.path());
  auto run = start_tool(folder);
  expect_window(*run);

  run->click(kLockButton);
  expect_box_back_to_window(*run, L"没有输入密码，请输入！");
  run->type_into(kPassword, L"Secret");
  run->click(kLockButton);
  expect_box_back_to_window(*run, L"没有确认密码，请确认密码！");
  run->type_into(kConfirmation, L"secret");
  run->click(kLockButton);
  expect_box_back_to_window(*run, L"密码和确认密码不相同，请重新输入密码！");
  EXPECT_EQ(fingerprint(scratch.path()), before);

  // Both boxes were emptied: the confirmation alone gets the first message again.
  run->type_into(kConfirmation, L"Secret");
  run->click(kLockButton);
  expect_box_back_to_window(*run, L"没有输入密码，请输入！");
  run->type_into(kPassword, L"Secret");
  run->click(kLockButton);
  EXPECT_EQ(run->wait_for_exit(), 0u);

  const std::wstring locked = scratch.path() + L"\\WORK" + varrow::kLockSuffix;
  EXPECT_EQ(test_support::entry_names(scratch.path()), (std::vector<std::wstring>{L"WORK" + varrow::kLockSuffix}));
  EXPECT_EQ(test_support::read_bytes(locked + L"\\Varrow.bmp"), "\"Secret\"\r\n");
  EXPECT_EQ(test_support::read_bytes(locked + L"\\notes.txt"), "some notes");
}

TEST(LockThroughWindow, AFileFromTheHtmlVerbIsNeverRenamed) {
  ScratchFolder scratch;
  const std::wstring page = scratch.make_file(L"report.htm", "<html></html>");
  const auto before = fingerprint(scratch.path());
  auto run = lock_with(page, L"pw");
  expect_box_then_end(*run, L"这个目录是系统文件夹，不能进行加密！");
  EXPECT_EQ(fingerprint(scratch.path()), before);
}

TEST(LockThroughWindow, TakenLockedNameKeepsTheFolderName) {
  ScratchFolder scratch;
  const std::wstring folder = scratch.make_folder(L"TAKEN");
  scratch.make_folder(L"TAKEN" + varrow::kLockSuffix);
  auto run = lock_with(folder, L"pw");
  expect_box_then_end(*run, L"这个目录是系统文件夹，不能进行加密！");
  EXPECT_TRUE(test_support::exists(folder));
}

TEST(LockThroughWindow, AFolderInUseKeepsItsName) {
  ScratchFolder scratch;
  const std::wstring folder = scratch.make_folder(L"OPEN");
  FolderInUse in_use(folder);
  ASSERT_TRUE(in_use.held());
  auto run = lock_with(folder, L"pw");
  expect_box_then_end(*run, L"这个目录是系统文件夹，不能进行加密！");
  EXPECT_EQ(test_support::entry_names(scratch.path()), (std::vector<std::wstring>{L"OPEN"}));
}

TEST(UnlockThroughWindow, AFolderInUseGivesTheErrorReportAndStaysLocked) {
  ScratchFolder scratch;
  const std::wstring locked = make_locked_folder(scratch, L"OPEN", "\"pw\"\r\n");
  const auto before = fingerprint(scratch.path());
  FolderInUse in_use(locked);
  ASSERT_TRUE(in_use.held());
  auto run = start_tool(locked);
  expect_window(*run);
  run->type_into(kUnlockPassword, L"pw");
  run->click(kUnlockButton);
  expect_box_then_end(*run, rt::error_report_text(rt::kPermissionDenied), rt::kEndedByError);
  EXPECT_EQ(fingerprint(scratch.path()), before);
}

TEST(UnlockThroughWindow, EmptyAndWrongEntriesEndTheProgramAndChangeNothing) {
  ScratchFolder scratch;
  const std::wstring locked = make_locked_folder(scratch, L"SAFE", "\"Secret\"\r\n");
  const auto before = fingerprint(scratch.path());
  for (const wchar_t* entry : {L"", L"secret", L"Secret "}) {
    auto run = start_tool(locked);
    expect_window(*run);
    run->type_into(kUnlockPassword, entry);
    run->click(kUnlockButton);
    expect_box_then_end(*run, *entry ? L"警告：密码错误，请重新输入！！！" : L"未输入密码，请重新输入！");
  }
  EXPECT_EQ(fingerprint(scratch.path()), before);
}

TEST(UnlockThroughWindow, TakenRestoredNameGivesTheErrorReportAndKeepsTheLock) {
  ScratchFolder scratch;
  const std::wstring locked = make_locked_folder(scratch, L"SAFE", "\"pw\"\r\n");
  scratch.make_folder(L"SAFE");
  const auto before = fingerprint(scratch.path());
  auto run = start_tool(locked);
  expect_window(*run);
  run->type_into(kUnlockPassword, L"pw");
  run->click(kUnlockButton);
  expect_box_then_end(*run, rt::error_report_text(58), rt::kEndedByError);
  EXPECT_EQ(fingerprint(scratch.path()), before);
}

TEST(UnlockThroughWindow, EmptyOrVanishedMarkerGivesTheErrorReport) {
  ScratchFolder scratch;
  const std::wstring locked = make_locked_folder(scratch, L"GONE", "");
  auto run = start_tool(locked);
  expect_window(*run);
  DeleteFileW((locked + varrow::kMarkerName).c_str());  // removed after start-up found it
  run->type_into(kUnlockPassword, L"pw");
  run->click(kUnlockButton);
  expect_box_then_end(*run, rt::error_report_text(53), rt::kEndedByError);
  EXPECT_TRUE(test_support::exists(locked));

  test_support::write_bytes(locked + varrow::kMarkerName, "");
  auto empty = start_tool(locked);
  expect_window(*empty);
  empty->type_into(kUnlockPassword, L"pw");
  empty->click(kUnlockButton);
  expect_box_then_end(*empty, rt::error_report_text(62), rt::kEndedByError);
  EXPECT_TRUE(test_support::exists(locked + varrow::kMarkerName));
}

TEST(RoundTrip, EveryKindOfPasswordUnlocksWhatItLockedAndNothingElseChanges) {
  const wchar_t* passwords[] = {L"abc", L"中文密码", L"a,b", L"  edged  ", L"12345", L"say \"hi\"", L"th\u0E01i"};
  for (const wchar_t* password : passwords) {
    ScratchFolder scratch;
    const std::wstring folder = scratch.make_folder(L"Mixed Case 文件");
    scratch.make_file(L"Mixed Case 文件\\data.bin", std::string("\0\1\2binary", 9));
    scratch.make_folder(L"Mixed Case 文件\\sub");
    scratch.make_file(L"Mixed Case 文件\\sub\\x.txt", "x");
    const auto before = fingerprint(folder);

    lock_through_window(folder, password);
    const std::wstring locked = scratch.path() + L"\\MIXED CASE 文件" + varrow::kLockSuffix;
    ASSERT_TRUE(test_support::exists(locked)) << testing::PrintToString(std::wstring(password));
    EXPECT_EQ(test_support::read_bytes(locked + L"\\Varrow.bmp"), "\"" + rt::to_cp936(password) + "\"\r\n");

    // Started as the shell would after locking: the path in another letter case.
    unlock_through_window(rt::upper_case(locked), password);
    const std::wstring restored = scratch.path() + L"\\MIXED CASE 文件";
    EXPECT_EQ(test_support::entry_names(scratch.path()), (std::vector<std::wstring>{L"MIXED CASE 文件"}));
    EXPECT_EQ(fingerprint(restored), before);
  }
}
