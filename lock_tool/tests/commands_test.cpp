// The lock and unlock commands in-process, with a recording message box:
// message order, what stays in the boxes, and what happens on disk.
#include <gtest/gtest.h>

#include "commands.h"
#include "errors.h"
#include "locked_folder.h"
#include "startup.h"
#include "test_support.h"

using test_support::RecordedBox;
using test_support::RecordingUi;
using test_support::ScratchFolder;

namespace {

enum class End { kReturned, kProgramEnd, kError };

struct LockRun {
  End end;
  varrow::LockEntries entries;
  std::vector<RecordedBox> boxes;
};

LockRun run_lock(const std::wstring& folder, const std::wstring& password, const std::wstring& confirmation) {
  RecordingUi ui;
  LockRun run{End::kReturned, {password, confirmation}, {}};
  try {
    varrow::lock_command(folder, run.entries, ui);
  } catch (const rt::ProgramEnd&) {
    run.end = End::kProgramEnd;
  } catch (const rt::RuntimeError&) {
    run.end = End::kError;
  }
  run.boxes = ui.boxes;
  return run;
}

struct UnlockRun {
  End end;
  int error;
  std::vector<RecordedBox> boxes;
};

UnlockRun run_unlock(const std::wstring& folder, const std::wstring& entered) {
  RecordingUi ui;
  UnlockRun run{End::kReturned, 0, {}};
  try {
    varrow::unlock_command(folder, entered, ui);
  } catch (const rt::ProgramEnd&) {
    run.end = End::kProgramEnd;
  } catch (const rt::RuntimeError& e) {
    run.end = End::kError;
    run.error = e.number;
  }
  run.boxes = ui.boxes;
  return run;
}

std::vector<RecordedBox> box(const std::wstring& text) { return {{text, L"Varrowcrypt"}}; }

std::wstring canonical(const std::wstring& path) { return *varrow::canonical_folder_path(path); }

}  // namespace

TEST(LockChecks, EachCheckShowsItsOwnMessageAndReturnsToTheWindow) {
  ScratchFolder scratch;
  const std::wstring folder = canonical(scratch.make_folder(L"f"));
  const auto before = test_support::fingerprint(scratch.path());

  LockRun both_empty = run_lock(folder, L"", L"");
  EXPECT_EQ(both_empty.end, End::kReturned);
  EXPECT_EQ(both_empty.boxes, box(varrow::kNoPasswordMessage));

  LockRun no_confirmation = run_lock(folder, L"pw", L"");
  EXPECT_EQ(no_confirmation.end, End::kReturned);
  EXPECT_EQ(no_confirmation.boxes, box(varrow::kNoConfirmationMessage));
  EXPECT_EQ(no_confirmation.entries.password, L"pw");

  LockRun only_confirmation = run_lock(folder, L"", L"pw");
  EXPECT_EQ(only_confirmation.boxes, box(varrow::kNoPasswordMessage));
  EXPECT_EQ(only_confirmation.entries.confirmation, L"pw");

  LockRun case_differs = run_lock(folder, L"Secret", L"secret");
  EXPECT_EQ(case_differs.end, End::kReturned);
  EXPECT_EQ(case_differs.boxes, box(varrow::kMismatchMessage));
  EXPECT_EQ(case_differs.entries.password, L"");
  EXPECT_EQ(case_differs.entries.confirmation, L"");

  EXPECT_EQ(run_lock(folder, L"pw ", L"pw").boxes, box(varrow::kMismatchMessage));
  EXPECT_EQ(test_support::fingerprint(scratch.path()), before);
}

TEST(Lock, WritesTheMarkerThenGivesTheFolderItsLockedName) {
  ScratchFolder scratch;
  const std::wstring original = scratch.make_folder(L"Holiday");
  scratch.make_file(L"Holiday\\a.txt", "data");
  test_support::write_bytes(original + L"\\Varrow.bmp", "\"stale password\"\r\n");
  const std::wstring folder = canonical(original);

  LockRun run = run_lock(folder, L"  ", L"  ");  // blanks are a password like any other
  EXPECT_EQ(run.end, End::kProgramEnd);
  EXPECT_TRUE(run.boxes.empty());
  EXPECT_EQ(test_support::entry_names(scratch.path()), (std::vector<std::wstring>{L"HOLIDAY" + varrow::kLockSuffix}));
  const std::wstring locked = scratch.path() + L"\\HOLIDAY" + varrow::kLockSuffix;
  EXPECT_EQ(test_support::read_bytes(locked + L"\\Varrow.bmp"), "\"  \"\r\n");
  EXPECT_EQ(test_support::read_bytes(locked + L"\\a.txt"), "data");
}

TEST(Lock, TakenLockedNameShowsTheMessageAndKeepsTheName) {
  ScratchFolder scratch;
  const std::wstring folder = canonical(scratch.make_folder(L"busy"));
  scratch.make_folder(L"busy" + varrow::kLockSuffix);
  LockRun run = run_lock(folder, L"pw", L"pw");
  EXPECT_EQ(run.end, End::kProgramEnd);
  EXPECT_EQ(run.boxes, box(varrow::kLockFailedMessage));
  EXPECT_TRUE(test_support::exists(folder));
  // The marker written before the rename stays, which is harmless.
  EXPECT_EQ(test_support::read_bytes(folder + L"\\Varrow.bmp"), "\"pw\"\r\n");
}

TEST(Lock, AFailedMarkerWriteNeverRenames) {
  ScratchFolder scratch;
  const std::wstring page = canonical(scratch.make_file(L"index.htm", "<html></html>"));
  // A folder standing where the marker goes makes the marker write fail.
  const std::wstring folder = canonical(scratch.make_folder(L"blocked"));
  scratch.make_folder(L"blocked\\Varrow.bmp");
  const auto before = test_support::fingerprint(scratch.path());

  for (const std::wstring& target : {page, folder, std::wstring(L"\\")}) {
    LockRun run = run_lock(target, L"pw", L"pw");
    EXPECT_EQ(run.end, End::kProgramEnd);
    EXPECT_EQ(run.boxes, box(varrow::kLockFailedMessage));
  }
  EXPECT_EQ(test_support::fingerprint(scratch.path()), before);
  EXPECT_FALSE(test_support::exists(L"C:\\Varrow.bmp"));
}

TEST(Unlock, RightPasswordRestoresTheNameAndDeletesTheMarker) {
  ScratchFolder scratch;
  const std::wstring folder = canonical(scratch.make_folder(L"Photos"));
  scratch.make_file(L"Photos\\p.jpg", "jpeg");
  run_lock(folder, L"中文 pw", L"中文 pw");
  const std::wstring locked = canonical(scratch.path() + L"\\PHOTOS" + varrow::kLockSuffix);
  UnlockRun run = run_unlock(locked, L"中文 pw");
  EXPECT_EQ(run.end, End::kProgramEnd);
  EXPECT_TRUE(run.boxes.empty());
  EXPECT_EQ(test_support::entry_names(scratch.path()), (std::vector<std::wstring>{L"PHOTOS"}));
  EXPECT_EQ(test_support::entry_names(scratch.path() + L"\\PHOTOS"), (std::vector<std::wstring>{L"p.jpg"}));
}

TEST(Unlock, EmptyOrWrongEntryEndsWithItsMessageAndChangesNothing) {
  ScratchFolder scratch;
  const std::wstring folder = canonical(scratch.make_folder(L"X"));
  run_lock(folder, L"Secret", L"Secret");
  const std::wstring locked = folder + varrow::kLockSuffix;
  const auto before = test_support::fingerprint(scratch.path());
  EXPECT_EQ(run_unlock(locked, L"").boxes, box(varrow::kUnlockNoPasswordMessage));
  for (const wchar_t* wrong : {L"secret", L"Secret ", L" ", L"Secre"}) {
    UnlockRun run = run_unlock(locked, wrong);
    EXPECT_EQ(run.end, End::kProgramEnd);
    EXPECT_EQ(run.boxes, box(varrow::kWrongPasswordMessage));
  }
  EXPECT_EQ(test_support::fingerprint(scratch.path()), before);
}

TEST(Unlock, FailingStepsRaiseTheirErrorAndStopThere) {
  ScratchFolder scratch;
  const std::wstring folder = canonical(scratch.make_folder(L"Y"));
  run_lock(folder, L"pw", L"pw");
  const std::wstring locked = folder + varrow::kLockSuffix;
  const std::wstring marker = locked + L"\\Varrow.bmp";

  scratch.make_folder(L"Y");  // restored name taken in the meantime
  auto before = test_support::fingerprint(scratch.path());
  EXPECT_EQ(run_unlock(locked, L"pw").error, rt::kFileAlreadyExists);
  EXPECT_EQ(test_support::fingerprint(scratch.path()), before);
  RemoveDirectoryW(folder.c_str());

  test_support::write_bytes(marker, "");
  EXPECT_EQ(run_unlock(locked, L"pw").error, rt::kInputPastEndOfFile);
  DeleteFileW(marker.c_str());
  EXPECT_EQ(run_unlock(locked, L"pw").error, rt::kFileNotFound);
  EXPECT_TRUE(test_support::exists(locked));

  test_support::write_bytes(marker, "\"pw\"\r\n");
  SetFileAttributesW(marker.c_str(), FILE_ATTRIBUTE_READONLY);
  UnlockRun run = run_unlock(locked, L"pw");
  EXPECT_EQ(run.end, End::kError);
  EXPECT_EQ(run.error, rt::kPathFileAccessError);
  EXPECT_TRUE(test_support::exists(folder + L"\\Varrow.bmp"));  // unlocked, marker kept
  EXPECT_FALSE(test_support::exists(locked));
}
