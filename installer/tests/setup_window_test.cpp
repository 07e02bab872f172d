// 安装窗口 built in this process: its frame, its two controls in creation
// order, and their texts, places and font, at the screen's own DPI.
#include <gtest/gtest.h>

#include "setup_window.h"
#include "test_support.h"

namespace {

int pixels(int twips, int dpi) { return MulDiv(twips, dpi, 1440); }

std::wstring text_of(HWND window) {
  wchar_t text[256] = {};
  GetWindowTextW(window, text, 256);
  return text;
}

std::wstring class_of(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

RECT rect_in_parent(HWND child) {
  RECT r;
  GetWindowRect(child, &r);
  MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

class SetupWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    window_.create();
    HDC screen = GetDC(nullptr);
    dpi_x_ = GetDeviceCaps(screen, LOGPIXELSX);
    dpi_y_ = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
  }

  test_support::RecordingUi ui_;
  installer::安装窗口 window_{GetModuleHandleW(nullptr), ui_};
  int dpi_x_ = 0, dpi_y_ = 0;
};

}  // namespace

TEST_F(SetupWindow, FrameHasItsCaptionAndClientAreaAndStaysUnseen) {
  HWND top = window_.hwnd();
  ASSERT_TRUE(top);
  EXPECT_EQ(text_of(top), L"Setup");
  RECT client;
  GetClientRect(top, &client);
  EXPECT_EQ(client.right, pixels(4680, dpi_x_));
  EXPECT_EQ(client.bottom, pixels(630, dpi_y_));
  EXPECT_FALSE(IsWindowVisible(top));
}

TEST_F(SetupWindow, ComboBoxComesFirstThenTheLabelInItsFont) {
  HWND combo = GetWindow(window_.hwnd(), GW_CHILD);
  ASSERT_EQ(combo, window_.列表框());
  EXPECT_EQ(class_of(combo), L"ComboBox");
  EXPECT_EQ(GetWindowLongW(combo, GWL_STYLE) & 3, CBS_DROPDOWN) << "a list with an edit field";
  EXPECT_EQ(text_of(combo), L"Combo1");
  const RECT combo_rect = rect_in_parent(combo);
  EXPECT_EQ(combo_rect.left, 0);
  EXPECT_EQ(combo_rect.top, 0);
  EXPECT_EQ(combo_rect.right, pixels(2325, dpi_x_));

  HWND label = GetWindow(combo, GW_HWNDNEXT);
  ASSERT_TRUE(label);
  EXPECT_EQ(text_of(label), L"正在安装'Varrow加密软件'！请等待");
  const RECT label_rect = rect_in_parent(label);
  const int left = pixels(30, dpi_x_), top = pixels(120, dpi_y_);
  EXPECT_EQ(label_rect.left, left);
  EXPECT_EQ(label_rect.top, top);
  EXPECT_EQ(label_rect.right, left + pixels(4605, dpi_x_));
  EXPECT_EQ(label_rect.bottom, top + pixels(315, dpi_y_));
  LOGFONTW lf{};
  ASSERT_TRUE(GetObjectW(reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)), sizeof lf, &lf));
  EXPECT_STREQ(lf.lfFaceName, L"宋体");
  EXPECT_EQ(lf.lfHeight, -MulDiv(12, dpi_y_, 72));
  EXPECT_EQ(lf.lfWeight, FW_BOLD);
  EXPECT_EQ(lf.lfCharSet, GB2312_CHARSET);
  EXPECT_EQ(GetWindow(label, GW_HWNDNEXT), nullptr) << "no other control";
}
