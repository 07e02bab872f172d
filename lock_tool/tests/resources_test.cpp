// The program file's version resource and its padlock icon.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "program.h"

namespace {

std::wstring exe() { return rt::program_folder() + L"\\Varrowcrypt.exe"; }

std::wstring version_string(const std::vector<char>& info, const wchar_t* name) {
  wchar_t* value = nullptr;
  UINT length = 0;
  const std::wstring key = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
  if (!VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length)) return L"<none>";
  return value;
}

}  // namespace

TEST(Resources, VersionResourceCarriesTheProductStrings) {
  DWORD ignored = 0;
  std::vector<char> info(GetFileVersionInfoSizeW(exe().c_str(), &ignored));
  ASSERT_FALSE(info.empty());
  ASSERT_TRUE(GetFileVersionInfoW(exe().c_str(), 0, (DWORD)info.size(), info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010001u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00000006u);
  EXPECT_EQ(version_string(info, L"FileVersion"), L"1.01.0006");
  EXPECT_EQ(version_string(info, L"ProductVersion"), L"1.01.0006");
  EXPECT_EQ(version_string(info, L"ProductName"), L"Varrow智能加密工具");
  EXPECT_EQ(version_string(info, L"InternalName"), L"Varrowcrypt");
  EXPECT_EQ(version_string(info, L"OriginalFilename"), L"Varrowcrypt.exe");
}

TEST(Resources, PadlockIconIn32And16PixelsAndTheLogoPicture) {
  HMODULE module = LoadLibraryExW(exe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_TRUE(module);
  for (int size : {32, 16}) {
    HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(1), RT_GROUP_ICON);
    ASSERT_TRUE(group);
    auto* dir = static_cast<BYTE*>(LockResource(LoadResource(module, group)));
    const int id = LookupIconIdFromDirectoryEx(dir, TRUE, size, size, LR_DEFAULTCOLOR);
    HRSRC icon = FindResourceW(module, MAKEINTRESOURCEW(id), RT_ICON);
    ASSERT_TRUE(icon);
    auto* header = static_cast<BITMAPINFOHEADER*>(LockResource(LoadResource(module, icon)));
    EXPECT_EQ(header->biWidth, size);
    EXPECT_EQ(header->biBitCount, 4) << "16 colours";
  }
  HRSRC logo = FindResourceW(module, MAKEINTRESOURCEW(101), RT_BITMAP);
  ASSERT_TRUE(logo);
  auto* header = static_cast<BITMAPINFOHEADER*>(LockResource(LoadResource(module, logo)));
  EXPECT_EQ(header->biWidth, 174);
  EXPECT_EQ(header->biHeight, 102);
  FreeLibrary(module);
}
