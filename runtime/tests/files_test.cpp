// File operations against Wine's real file system: attributes, long and
// short names, sequential text items, and the errors that failures raise.
#include <gtest/gtest.h>

#include <functional>

#include "errors.h"
#include "files.h"
#include "test_support.h"

using test_support::ScratchFolder;

namespace {

int error_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const rt::RuntimeError& e) {
    return e.number;
  }
  return 0;
}

std::wstring short_name_of(const std::wstring& path) {
  wchar_t buffer[MAX_PATH];
  DWORD n = GetShortPathNameW(path.c_str(), buffer, MAX_PATH);
  return std::wstring(buffer, n);
}

}  // namespace

TEST(LookupEntry, AttributeMaskDecidesWhatIsReported) {
  ScratchFolder scratch;
  const std::wstring folder = scratch.make_folder(L"Sub Folder");
  const std::wstring hidden = scratch.make_file(L"hidden.txt", "x");
  const std::wstring system = scratch.make_file(L"system.txt", "x");
  const std::wstring plain = scratch.make_file(L"plain.txt", "x");
  SetFileAttributesW(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN);
  SetFileAttributesW(system.c_str(), FILE_ATTRIBUTE_SYSTEM);

  EXPECT_FALSE(rt::lookup_entry(folder, rt::kOrdinaryFiles));
  EXPECT_FALSE(rt::lookup_entry(hidden, rt::kOrdinaryFiles));
  EXPECT_FALSE(rt::lookup_entry(system, rt::kOrdinaryFiles));
  EXPECT_EQ(rt::lookup_entry(plain, rt::kOrdinaryFiles), L"plain.txt");

  const unsigned all = rt::kDirectory | rt::kSystem | rt::kHidden;
  EXPECT_EQ(rt::lookup_entry(folder, all), L"Sub Folder");
  EXPECT_EQ(rt::lookup_entry(hidden, rt::kHidden), L"hidden.txt");
  EXPECT_EQ(rt::lookup_entry(system, rt::kSystem), L"system.txt");
  EXPECT_FALSE(rt::lookup_entry(scratch.path() + L"\\missing", all));
}

TEST(LookupEntry, ReportsTheStoredLongNameForAShortAliasOrOtherCase) {
  ScratchFolder scratch;
  const std::wstring folder = scratch.make_folder(L"A Long Folder Name");
  const std::wstring alias = short_name_of(folder);
  ASSERT_NE(alias, folder) << "Wine should give a long name an 8.3 alias";
  EXPECT_EQ(rt::lookup_entry(alias, rt::kDirectory), L"A Long Folder Name");
  EXPECT_EQ(rt::lookup_entry(scratch.path() + L"\\a long FOLDER name", rt::kDirectory), L"A Long Folder Name");
}

TEST(LookupEntry, WildcardsNameNothing) {
  ScratchFolder scratch;
  scratch.make_folder(L"target");
  EXPECT_FALSE(rt::lookup_entry(scratch.path() + L"\\targ*", rt::kDirectory));
  EXPECT_FALSE(rt::lookup_entry(scratch.path() + L"\\t?rget", rt::kDirectory));
}

TEST(TextItems, WrittenAsOneQuotedLineInCodePage936) {
  ScratchFolder scratch;
  const std::wstring file = scratch.path() + L"\\item.txt";
  rt::write_text_item(file, "\xD6\xD0 a,b ");
  EXPECT_EQ(test_support::read_bytes(file), "\"\xD6\xD0 a,b \"\r\n");
  EXPECT_EQ(rt::read_text_item(file), "\xD6\xD0 a,b ");
  rt::write_text_item(file, "x");  // replaces, never appends
  EXPECT_EQ(test_support::read_bytes(file), "\"x\"\r\n");
}

TEST(TextItems, ReadingTakesTheFirstLineBetweenItsFirstAndLastQuote) {
  ScratchFolder scratch;
  const std::wstring file = scratch.path() + L"\\item.txt";
  const std::pair<std::string, std::string> cases[] = {
      {"\"say \"hi\"\"\r\n", "say \"hi\""},
      {"\"\"\r\n", ""},
      {"\"abc\"\r\n\"second\"\r\n", "abc"},
      {"  \"abc\"\r\n", "abc"},
      {"\"no end\r\n", "no end"},
      {"plain, rest\r\n", "plain"},
      {"12345", "12345"},
  };
  for (const auto& [content, item] : cases) {
    test_support::write_bytes(file, content);
    EXPECT_EQ(rt::read_text_item(file), item) << content;
  }
}

TEST(TextItems, EmptyOrMissingFileRaisesTheKnownErrors) {
  ScratchFolder scratch;
  const std::wstring file = scratch.make_file(L"empty.txt", "");
  EXPECT_EQ(error_of([&] { rt::read_text_item(file); }), rt::kInputPastEndOfFile);
  EXPECT_EQ(error_of([&] { rt::read_text_item(scratch.path() + L"\\none.txt"); }), rt::kFileNotFound);
  EXPECT_EQ(error_of([&] { rt::write_text_item(scratch.path() + L"\\no\\dir.txt", "x"); }), rt::kPathNotFound);
}

// Whatever already stands at the path fares as under a plain replacement: a
// plain file is emptied and rewritten, anything else raises replacing's own
// error (never "file already exists") and stays as it was.
TEST(TextItems, WhatStandsAtThePathIsReplacedOrRefusedAsReplacingWould) {
  ScratchFolder scratch;
  const std::wstring file = scratch.path() + L"\\item.txt";
  HANDLE held = INVALID_HANDLE_VALUE;
  const struct {
    const char* what;
    std::function<void()> make;
    int error;
    const char* bytes_after;  // nullptr: a folder stays there
  } cases[] = {
      {"plain file", [&] { test_support::write_bytes(file, "\"longer old text\"\r\n"); }, 0, "\"new\"\r\n"},
      {"file open without sharing",
       [&] {
         test_support::write_bytes(file, "old");
         held = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
       },
       rt::kPermissionDenied, "old"},
      {"folder", [&] { CreateDirectoryW(file.c_str(), nullptr); }, rt::kPathFileAccessError, nullptr},
  };
  for (const auto& c : cases) {
    c.make();
    EXPECT_EQ(error_of([&] { rt::write_text_item(file, "new"); }), c.error) << c.what;
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    held = INVALID_HANDLE_VALUE;
    if (c.bytes_after) {
      EXPECT_EQ(test_support::read_bytes(file), c.bytes_after) << c.what;
    } else {
      EXPECT_TRUE(rt::is_folder(file)) << c.what;
    }
    if (!DeleteFileW(file.c_str())) RemoveDirectoryW(file.c_str());
  }
}

TEST(RenameAndDelete, FailuresRaiseTheMatchingError) {
  ScratchFolder scratch;
  const std::wstring a = scratch.make_folder(L"a");
  const std::wstring b = scratch.make_folder(L"b");
  EXPECT_EQ(error_of([&] { rt::rename_entry(a, b); }), rt::kFileAlreadyExists);
  EXPECT_EQ(error_of([&] { rt::rename_entry(scratch.path() + L"\\gone", a + L"x"); }), rt::kFileNotFound);
  rt::rename_entry(a, scratch.path() + L"\\c");
  EXPECT_TRUE(test_support::exists(scratch.path() + L"\\c"));

  const std::wstring locked = scratch.make_file(L"ro.txt", "x");
  SetFileAttributesW(locked.c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(error_of([&] { rt::delete_file(locked); }), rt::kPathFileAccessError);
  EXPECT_EQ(error_of([&] { rt::delete_file(scratch.path() + L"\\gone.txt"); }), rt::kFileNotFound);
}
