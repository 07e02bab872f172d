// Form1 built in this process, for what another process cannot read: fonts
// and the colour Label4 is drawn in.
#include <gtest/gtest.h>

#include "app_driver.h"
#include "form1.h"
#include "form_ids.h"
#include "test_support.h"

using namespace varrow::form_ids;

namespace {

struct Search {
  int id;
  HWND found;
};

BOOL CALLBACK match_id(HWND h, LPARAM param) {
  auto* search = reinterpret_cast<Search*>(param);
  if (GetDlgCtrlID(h) == search->id) search->found = h;
  return search->found ? FALSE : TRUE;
}

HWND find_control(HWND top, int id) {
  Search search{id, nullptr};
  EnumChildWindows(top, match_id, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// This process's form only: a window test may show the real program's form,
// with the same class and caption, at the same time.
HWND form_window() { return app_driver::top_level_window(GetCurrentProcessId(), L"VarrowcryptForm1"); }

}  // namespace

TEST(Form1Fonts, LabelsTextBoxesAndButtonsUseSongTiTenAndAHalfPoint) {
  test_support::RecordingUi ui;
  varrow::Form1 form(GetModuleHandleW(nullptr), ui);
  form.create();
  HWND top = form_window();
  ASSERT_TRUE(top);
  HDC screen = GetDC(nullptr);
  const int height = -MulDiv(105, GetDeviceCaps(screen, LOGPIXELSY), 720);
  ReleaseDC(nullptr, screen);

  const std::pair<int, LONG> expected[] = {
      {kLabel1, FW_BOLD},         {kLabel2, FW_BOLD},         {kLabel3, FW_BOLD},
      {kLockButton, FW_BOLD},     {kUnlockButton, FW_BOLD},   {kPassword, FW_NORMAL},
      {kConfirmation, FW_NORMAL}, {kUnlockPassword, FW_NORMAL}, {kLabel4, FW_NORMAL},
  };
  for (const auto& [id, weight] : expected) {
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(find_control(top, id), WM_GETFONT, 0, 0));
    LOGFONTW lf{};
    ASSERT_TRUE(GetObjectW(font, sizeof lf, &lf)) << id;
    EXPECT_STREQ(lf.lfFaceName, L"宋体") << id;
    EXPECT_EQ(lf.lfHeight, height) << id;
    EXPECT_EQ(lf.lfWeight, weight) << id;
    EXPECT_EQ(lf.lfCharSet, 134) << id;
  }
  EXPECT_FALSE(IsWindowVisible(top));
  EXPECT_FALSE(IsWindowVisible(find_control(top, kLockPanel)) || IsWindowVisible(find_control(top, kUnlockPanel)));
}

TEST(Form1Colours, Label4IsDrawnInTheButtonFaceColour) {
  test_support::RecordingUi ui;
  varrow::Form1 form(GetModuleHandleW(nullptr), ui);
  form.create();
  HWND panel = find_control(form_window(), kUnlockPanel);
  HDC dc = CreateCompatibleDC(nullptr);
  SendMessageW(panel, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
               reinterpret_cast<LPARAM>(find_control(panel, kLabel4)));
  EXPECT_EQ(GetTextColor(dc), GetSysColor(COLOR_BTNFACE));
  SetTextColor(dc, RGB(1, 2, 3));
  SendMessageW(panel, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
               reinterpret_cast<LPARAM>(find_control(panel, kLabel3)));
  EXPECT_EQ(GetTextColor(dc), GetSysColor(COLOR_WINDOWTEXT)) << "other labels keep the default colours";
  DeleteDC(dc);
}
