// The directory query into the installer's 128-byte buffer.
#include <gtest/gtest.h>

#include <cstring>

#include "deployment.h"
#include "errors.h"
#include "text.h"

namespace {

std::string g_directory;  // what the stand-in query reports

UINT WINAPI report_directory(LPSTR buffer, UINT size) {
  if (g_directory.size() >= size) return g_directory.size() + 1;  // the size it would need
  std::memcpy(buffer, g_directory.c_str(), g_directory.size() + 1);
  return g_directory.size();
}

int error_of_query() {
  char buffer[installer::kDirectoryBufferSize];
  try {
    installer::directory_in(buffer, report_directory);
  } catch (const rt::RuntimeError& e) {
    return e.number;
  }
  return 0;
}

}  // namespace

TEST(DirectoryQuery, APathOf127BytesFitsAndComesBackInUnicode) {
  g_directory = rt::to_cp936(L"D:\\视窗") + std::string(120, 'w');
  char buffer[installer::kDirectoryBufferSize];
  EXPECT_EQ(installer::directory_in(buffer, report_directory), L"D:\\视窗" + std::wstring(120, L'w'));
}

TEST(DirectoryQuery, APathThatDoesNotFitIsAnErrorNotACutOffPath) {
  g_directory = "C:\\" + std::string(125, 'w');
  EXPECT_EQ(error_of_query(), rt::kPathFileAccessError);
}
