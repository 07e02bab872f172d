// The run-time error numbers and report, and where the program lives.
#include <windows.h>
#include <gtest/gtest.h>

#include "errors.h"
#include "program.h"

TEST(ErrorReport, ShowsNumberAndText) {
  EXPECT_EQ(rt::error_from_win32(ERROR_FILE_NOT_FOUND), 53);
  EXPECT_EQ(rt::error_from_win32(ERROR_ALREADY_EXISTS), 58);
  EXPECT_EQ(rt::error_from_win32(ERROR_SHARING_VIOLATION), 70);
  EXPECT_EQ(rt::error_from_win32(ERROR_ACCESS_DENIED), 75);
  EXPECT_EQ(rt::error_report_text(62), L"实时错误 '62':\n\n输入超出文件尾");
}

TEST(ProgramFolder, KeepsTheSeparatorOnlyForADriveRoot) {
  EXPECT_EQ(rt::folder_of(L"C:\\media\\setup.exe"), L"C:\\media");
  EXPECT_EQ(rt::folder_of(L"E:\\setup.exe"), L"E:\\");
  EXPECT_EQ(rt::folder_of(L"\\\\server\\share\\setup.exe"), L"\\\\server\\share");
}
