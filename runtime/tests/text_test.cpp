// Code page 936 conversion and upper-casing as the Chinese Windows does them.
#include <windows.h>
#include <gtest/gtest.h>

#include "text.h"

TEST(CodePage936, AsciiIsOneByteAndChineseTwo) {
  EXPECT_EQ(rt::to_cp936(L"abc"), "abc");
  EXPECT_EQ(rt::to_cp936(L"中文"), "\xD6\xD0\xCE\xC4");
  EXPECT_EQ(rt::from_cp936("\xD6\xD0\xCE\xC4"), L"中文");
}

TEST(CodePage936, CharactersOutsideItBecomeQuestionMarksInsteadOfLookAlikes) {
  // U+00C5 has a best-fit 'A' in some code pages; it must not pose as 'A'.
  EXPECT_EQ(rt::to_cp936(L"\u00C5x"), "?x");
  EXPECT_EQ(rt::through_cp936(L"k\u0E01"), L"k?");
  EXPECT_EQ(rt::through_cp936(L"密码 1,2"), L"密码 1,2");
}

TEST(UpperCase, LettersOnly) {
  EXPECT_EQ(rt::upper_case(L"c:\\my docs\\文件夹.{abc}-é"), L"C:\\MY DOCS\\文件夹.{ABC}-É");
  EXPECT_EQ(rt::upper_case(L""), L"");
}
