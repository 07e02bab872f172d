// The marker file's exact bytes, and reading back what the lock wrote.
#include <gtest/gtest.h>

#include "locked_folder.h"
#include "test_support.h"
#include "text.h"

using test_support::ScratchFolder;

TEST(LockedPaths, DerivedFromTheFolderPath) {
  EXPECT_EQ(varrow::marker_path(L"C:\\A\\B"), L"C:\\A\\B\\Varrow.bmp");
  EXPECT_EQ(varrow::locked_path(L"C:\\A\\B"), L"C:\\A\\B.{25336920-03F9-11CF-8FD0-00AA00686F13}");
  const std::wstring twice = L"C:\\X" + varrow::kLockSuffix + varrow::kLockSuffix;
  EXPECT_TRUE(varrow::own_name_ends_with_suffix(twice));
  EXPECT_EQ(varrow::restored_path(twice), L"C:\\X" + varrow::kLockSuffix);
  EXPECT_TRUE(varrow::carries_suffix(L"C:\\P" + varrow::kLockSuffix + L"\\Q"));
  EXPECT_FALSE(varrow::own_name_ends_with_suffix(L"C:\\P" + varrow::kLockSuffix + L"\\Q"));
  EXPECT_FALSE(varrow::own_name_ends_with_suffix(L"\\"));
}

TEST(Marker, BytesAreTheQuotedPasswordInCodePage936AndCrLf) {
  ScratchFolder scratch;
  const std::wstring folder = scratch.path();
  varrow::write_marker(folder, L"abc");
  EXPECT_EQ(test_support::read_bytes(folder + L"\\Varrow.bmp"), "\"abc\"\r\n");
  varrow::write_marker(folder, L"密码");
  EXPECT_EQ(test_support::read_bytes(folder + L"\\Varrow.bmp"), "\"\xC3\xDC\xC2\xEB\"\r\n");
  EXPECT_EQ(GetFileAttributesW((folder + L"\\Varrow.bmp").c_str()) &
                (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY),
            0u);
}

TEST(Marker, EveryPasswordReadsBackAsWritten) {
  ScratchFolder scratch;
  for (const wchar_t* password :
       {L"Secret", L"密码123", L"a,b,c", L"  blank edged  ", L"007", L"say \"hi\"", L"\"", L" ", L"中,\"文\" x"}) {
    varrow::write_marker(scratch.path(), password);
    EXPECT_EQ(test_support::read_bytes(scratch.path() + L"\\Varrow.bmp").size(),
              rt::to_cp936(password).size() + 4);
    const std::wstring stored = varrow::read_marker(scratch.path());
    EXPECT_EQ(stored, password);
    EXPECT_TRUE(varrow::password_matches(password, stored));
  }
}

TEST(Marker, PasswordsOutsideTheCodePageStillMatchWhatWasStored) {
  ScratchFolder scratch;
  const std::wstring password = L"k\u0E01\u0E02";  // Thai letters: not in code page 936
  varrow::write_marker(scratch.path(), password);
  const std::wstring stored = varrow::read_marker(scratch.path());
  EXPECT_TRUE(varrow::password_matches(password, stored));
  EXPECT_FALSE(varrow::password_matches(L"K\u0E01\u0E02", stored));
  EXPECT_FALSE(varrow::password_matches(L"k\u0E01", stored));
}

TEST(Marker, ComparisonIsExact) {
  EXPECT_FALSE(varrow::password_matches(L"abc", L"ABC"));
  EXPECT_FALSE(varrow::password_matches(L"abc ", L"abc"));
  EXPECT_FALSE(varrow::password_matches(L"", L" "));
  EXPECT_TRUE(varrow::password_matches(L"  ", L"  "));
}
