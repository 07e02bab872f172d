// The driver's reading of message boxes, checked on boxes this process shows
// itself, so that "one OK button and no icon" is a check that can fail.
#include <gtest/gtest.h>

#include <thread>

#include "app_driver.h"

namespace {

// Shows a box from another thread, reads it, and closes it. A box that never
// turns up fails the test instead of leaving it waiting on the box forever.
app_driver::MessageBox show_and_read(UINT style) {
  std::thread shower([style] { MessageBoxW(nullptr, L"正文 text", L"标题", style); });
  HWND found = nullptr;
  // A fresh prefix's first start, beside another test, can take seconds.
  for (int i = 0; i < 3000 && !(found && IsWindowVisible(found)); ++i) {
    Sleep(10);
    found = app_driver::top_level_window(GetCurrentProcessId(), L"#32770");
  }
  app_driver::MessageBox box;
  if (!found) {
    ADD_FAILURE() << "no message box appeared within 30 s";
    shower.detach();  // the box goes with the process
    return box;
  }
  Sleep(50);
  box = app_driver::read_message_box(found);
  PostMessageW(found, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  PostMessageW(found, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  shower.join();
  return box;
}

}  // namespace

TEST(ReadMessageBox, TellsTextTitleButtonsAndIcon) {
  const app_driver::MessageBox plain = show_and_read(MB_OK);
  EXPECT_EQ(plain.text, L"正文 text");
  EXPECT_EQ(plain.title, L"标题");
  EXPECT_EQ(plain.buttons, 1);
  EXPECT_FALSE(plain.has_icon);

  const app_driver::MessageBox warning = show_and_read(MB_OKCANCEL | MB_ICONWARNING);
  EXPECT_EQ(warning.buttons, 2);
  EXPECT_TRUE(warning.has_icon);
}
