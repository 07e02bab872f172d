// The verb toggle against Wine's real registry: which keys a run leaves,
// depending on what the previous runs (or a user) left.
#include <gtest/gtest.h>

#include "registry_fixture.h"
#include "setup_window.h"
#include "test_support.h"

using namespace registry_fixture;

namespace {

const char kCommandBytes[] = "Varrowcrypt.exe %1";

class ContextMenu : public ::testing::Test {
 protected:
  void SetUp() override { window_.create(); }
  void run() { window_.增加资源管理器中的目录右键菜单(); }

  ShellKeys shell_keys_;
  test_support::RecordingUi ui_;
  installer::安装窗口 window_{GetModuleHandleW(nullptr), ui_};
};

void expect_command(const std::wstring& key) {
  DWORD type = 0;
  EXPECT_EQ(ansi_value(key, "", &type), kCommandBytes) << "no terminating zero, no other bytes";
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
}

HKEY next_key_handle() {
  HKEY key = nullptr;
  RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &key);
  RegCloseKey(key);
  return key;
}

}  // namespace

TEST_F(ContextMenu, FirstRunWritesBothVerbsEachWithItsCommand) {
  run();
  expect_command(kFolderCommand);
  expect_command(kHtmlCommand);
  EXPECT_TRUE(key_exists(kFolderVerb));
  EXPECT_TRUE(key_exists(kHtmlVerb));
  EXPECT_EQ(value_count(kFolderVerb), 0u);
  EXPECT_EQ(value_count(kHtmlVerb), 0u);
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(ContextMenu, SecondRunRemovesAllFourKeysAndKeepsTheParents) {
  run();
  run();
  for (const wchar_t* key : {kFolderCommand, kFolderVerb, kHtmlCommand, kHtmlVerb}) EXPECT_FALSE(key_exists(key));
  EXPECT_TRUE(key_exists(kFolderShell));
  EXPECT_TRUE(key_exists(kHtmlShell));
}

TEST_F(ContextMenu, OnlyTheHtmlVerbPresentGivesBothVerbs) {
  const std::wstring old = L"old.exe %1";
  set_value(kHtmlCommand, L"", REG_SZ, old.c_str(), (old.size() + 1) * sizeof(wchar_t));
  run();
  expect_command(kFolderCommand);
  expect_command(kHtmlCommand);
}

TEST_F(ContextMenu, FolderVerbWithoutItsCommandIsRemovedWithTheHtmlVerb) {
  create_key(kFolderVerb);
  create_key(kHtmlCommand);
  run();
  EXPECT_FALSE(key_exists(kFolderVerb));
  EXPECT_FALSE(key_exists(kHtmlVerb));
}

// Wine hands out the lowest free handle, so a key left open shows as a
// higher handle for the next key opened.
TEST_F(ContextMenu, AddingAndRemovingLeaveNoKeyOpen) {
  const HKEY before = next_key_handle();
  run();
  EXPECT_EQ(next_key_handle(), before) << "after adding";
  run();
  EXPECT_EQ(next_key_handle(), before) << "after removing";
}
