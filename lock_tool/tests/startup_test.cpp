// Start-up on Wine's real file system: the canonical path built from stored
// long names, the mode, and every refusal.
#include <gtest/gtest.h>

#include "errors.h"
#include "locked_folder.h"
#include "startup.h"
#include "test_support.h"
#include "text.h"

using test_support::RecordedBox;
using test_support::RecordingUi;
using test_support::ScratchFolder;
using varrow::Mode;

namespace {

struct Outcome {
  bool ended = false;
  varrow::StartResult result{};
  std::vector<RecordedBox> boxes;
};

Outcome start(const std::wstring& argument) {
  RecordingUi ui;
  Outcome outcome;
  try {
    outcome.result = varrow::start_up(argument, ui);
  } catch (const rt::ProgramEnd&) {
    outcome.ended = true;
  }
  outcome.boxes = ui.boxes;
  return outcome;
}

void expect_refused(const std::wstring& argument, const std::wstring& message) {
  const Outcome o = start(argument);
  EXPECT_TRUE(o.ended) << std::string(argument.begin(), argument.end());
  EXPECT_EQ(o.boxes, (std::vector<RecordedBox>{{message, L"Varrowcrypt"}}));
}

std::wstring short_path(const std::wstring& path) {
  wchar_t buffer[MAX_PATH];
  return std::wstring(buffer, GetShortPathNameW(path.c_str(), buffer, MAX_PATH));
}

std::wstring upper(std::wstring s) { return rt::upper_case(s); }

}  // namespace

TEST(CanonicalPath, ShortAliasesAndLetterCaseGiveTheUpperCasedLongNames) {
  ScratchFolder scratch;
  const std::wstring folder = scratch.make_folder(L"Long Parent Name\\My Holiday Photos");
  const std::wstring alias = short_path(folder);
  ASSERT_NE(alias.find(L'~'), std::wstring::npos) << "no 8.3 alias: " << std::string(alias.begin(), alias.end());
  const Outcome o = start(alias);
  ASSERT_FALSE(o.ended);
  EXPECT_EQ(o.result.folder, upper(folder));
  EXPECT_EQ(o.result.mode, Mode::kLock);
  EXPECT_TRUE(o.boxes.empty());
  const std::wstring lower_drive = L"c" + folder.substr(1);
  EXPECT_EQ(start(rt::upper_case(lower_drive)).result.folder, upper(folder));
}

TEST(CanonicalPath, ChineseNamesAndFilesPass) {
  ScratchFolder scratch;
  const std::wstring folder = scratch.make_folder(L"我的文件夹");
  const std::wstring file = scratch.make_file(L"page.htm", "<html>");
  EXPECT_EQ(start(folder).result.folder, upper(folder));
  const Outcome on_file = start(file);
  EXPECT_FALSE(on_file.ended);
  EXPECT_EQ(on_file.result.mode, Mode::kLock);
}

TEST(CanonicalPath, HiddenAndSystemComponentsPass) {
  ScratchFolder scratch;
  const std::wstring folder = scratch.make_folder(L"hidden\\system");
  SetFileAttributesW((scratch.path() + L"\\hidden").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY);
  SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(start(folder).result.folder, upper(folder));
}

TEST(CanonicalPath, EmptyCommandLineIsTheBareRootInLockMode) {
  const Outcome o = start(L"");
  EXPECT_FALSE(o.ended);
  EXPECT_EQ(o.result.folder, L"\\");
  EXPECT_EQ(o.result.mode, Mode::kLock);
}

TEST(CanonicalPath, QuotesAndOneTrailingBackslashAreAccepted) {
  ScratchFolder scratch;
  const std::wstring folder = scratch.make_folder(L"with space");
  EXPECT_EQ(start(L"\"" + folder + L"\"").result.folder, upper(folder));
  EXPECT_EQ(start(folder + L"\\").result.folder, upper(folder));
}

TEST(CanonicalPath, MalformedArgumentsAreRefusedAsWrongPaths) {
  ScratchFolder scratch;
  const std::wstring folder = scratch.make_folder(L"target");
  scratch.make_folder(L"other");
  const std::wstring bad[] = {
      scratch.path() + L"\\targ*",  // a pattern would pick some other folder
      scratch.path() + L"\\t?rget",
      scratch.path() + L"\\*",
      L"C:\\",
      L"C:",
      folder + L"\\\\",
      scratch.path() + L"\\\\target",
      L"\\\\server\\share\\target",
      L"\"" + folder,
      L"target",
      scratch.path() + L"\\missing",
      scratch.path() + L"\\missing\\target",
      folder + L"\\missing",
      // Each of these resolves to an existing folder, but the walk would
      // build the name of another one from it.
      scratch.path() + L"\\other\\..\\target",
      scratch.path() + L"\\.\\target",
      folder + L"\\.",
      folder + L"\\...",
      scratch.path() + L"/target",
      L"C:/" + scratch.path().substr(3) + L"\\target",
      folder + L":stream",
      folder + L"|x",
  };
  for (const std::wstring& argument : bad) expect_refused(argument, varrow::kBadPathMessage);
}

TEST(ModeSelection, SuffixAndVisibleMarkerGiveUnlockModeWhateverTheCase) {
  ScratchFolder scratch;
  const std::wstring locked = scratch.make_folder(L"Docs" + varrow::kLockSuffix);
  test_support::write_bytes(locked + varrow::kMarkerName, "\"pw\"\r\n");
  for (const std::wstring& argument : std::vector<std::wstring>{locked, rt::upper_case(locked), L"c" + locked.substr(1)}) {
    const Outcome o = start(argument);
    ASSERT_FALSE(o.ended);
    EXPECT_EQ(o.result.mode, Mode::kUnlock);
    EXPECT_EQ(o.result.folder, upper(locked));
  }
  // Lower-case hexadecimal letters on disk still count as the suffix.
  const std::wstring lower_suffix = scratch.make_folder(L"lc" + std::wstring(L".{25336920-03f9-11cf-8fd0-00aa00686f13}"));
  test_support::write_bytes(lower_suffix + varrow::kMarkerName, "\"pw\"\r\n");
  EXPECT_EQ(start(lower_suffix).result.mode, Mode::kUnlock);
}

TEST(ModeSelection, AStaleMarkerInAnUnlockedFolderChangesNothing) {
  ScratchFolder scratch;
  const std::wstring folder = scratch.make_folder(L"stale");
  test_support::write_bytes(folder + varrow::kMarkerName, "\"old\"\r\n");
  EXPECT_EQ(start(folder).result.mode, Mode::kLock);
  EXPECT_EQ(test_support::read_bytes(folder + varrow::kMarkerName), "\"old\"\r\n");
}

TEST(ModeSelection, SuffixWithoutAnOrdinaryMarkerIsRefused) {
  ScratchFolder scratch;
  expect_refused(scratch.make_folder(L"none" + varrow::kLockSuffix), varrow::kNotLockedMessage);
  for (DWORD attribute : {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM}) {
    const std::wstring folder = scratch.make_folder(L"attr" + std::to_wstring(attribute) + varrow::kLockSuffix);
    test_support::write_bytes(folder + varrow::kMarkerName, "\"pw\"\r\n");
    SetFileAttributesW((folder + varrow::kMarkerName).c_str(), attribute);
    expect_refused(folder, varrow::kNotLockedMessage);
  }
  // A folder named like the marker is no marker either.
  const std::wstring dir_marker = scratch.make_folder(L"dir" + varrow::kLockSuffix + L"\\Varrow.bmp");
  expect_refused(dir_marker.substr(0, dir_marker.size() - 11), varrow::kNotLockedMessage);
}

TEST(ModeSelection, SuffixAnywhereButAtTheEndOfTheFolderNameIsRefused) {
  ScratchFolder scratch;
  // Unlocking these would move the folder somewhere other than its own name.
  const std::wstring in_parent = scratch.make_folder(L"outer" + varrow::kLockSuffix + L"\\inner");
  test_support::write_bytes(in_parent + varrow::kMarkerName, "\"pw\"\r\n");
  const std::wstring in_middle = scratch.make_folder(L"mid" + varrow::kLockSuffix + L"dle");
  test_support::write_bytes(in_middle + varrow::kMarkerName, "\"pw\"\r\n");
  expect_refused(in_parent, varrow::kNotLockedMessage);
  expect_refused(in_middle, varrow::kNotLockedMessage);
  EXPECT_EQ(test_support::entry_names(in_parent), (std::vector<std::wstring>{L"Varrow.bmp"}));
}
