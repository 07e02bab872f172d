// The real window under Wine: layout at 96 DPI, which panel each mode shows,
// tab order, and the refusals that end the program before any window shows.
#include "window_fixture.h"

using namespace varrow_test;
using test_support::ScratchFolder;

namespace {

// Designed twips at 96 DPI are 15 twips to the pixel.
RECT px(int left, int top, int width, int height) {
  return {left / 15, top / 15, (left + width) / 15, (top + height) / 15};
}

RECT relative_to_client(app_driver::AppRun& run, int id) {
  RECT r = run.screen_rect(id);
  POINT origin{0, 0};
  ClientToScreen(run.window(), &origin);
  OffsetRect(&r, -origin.x, -origin.y);
  return r;
}

void expect_rect(const RECT& got, const RECT& want, const char* what) {
  EXPECT_EQ(got.left, want.left) << what;
  EXPECT_EQ(got.top, want.top) << what;
  EXPECT_EQ(got.right, want.right) << what;
  EXPECT_EQ(got.bottom, want.bottom) << what;
}

}  // namespace

TEST(Window, LockModeShowsTheLockPanelAtTheDesignedPlace) {
  ScratchFolder scratch;
  const std::wstring folder = scratch.make_folder(L"Photos");
  auto run = start_tool(folder);
  ASSERT_EQ(run->wait_until_shown(), app_driver::Shown::kWindow);

  wchar_t caption[64] = {};
  GetWindowTextW(run->window(), caption, 64);
  EXPECT_STREQ(caption, kFormCaption);
  const RECT client = run->client_rect();
  EXPECT_EQ(client.right, 425);
  EXPECT_EQ(client.bottom, 136);
  const RECT frame = run->screen_rect(0);
  EXPECT_EQ(frame.left, 10);
  EXPECT_EQ(frame.top, 10);

  for (int id : {kPicture1, kLockPanel, kLabel1, kLabel2, kPassword, kConfirmation, kLockButton})
    EXPECT_TRUE(run->visible(id)) << id;
  for (int id : {kUnlockPanel, kUnlockPassword, kUnlockButton, kLabel3, kLabel4}) EXPECT_FALSE(run->visible(id)) << id;

  expect_rect(relative_to_client(*run, kLockPanel), px(3000, 360, 3255, 1575), "加密框");
  expect_rect(relative_to_client(*run, kPicture1), px(120, 240, 2655, 1575), "Picture1");
  expect_rect(relative_to_client(*run, kPassword), px(3000 + 1200, 360 + 120, 2055, 375), "输入密码");
  expect_rect(relative_to_client(*run, kConfirmation), px(3000 + 1200, 360 + 600, 2055, 375), "确认密码");
  expect_rect(relative_to_client(*run, kLockButton), px(3000 + 960, 360 + 1080, 1350, 350), "加密按钮");

  EXPECT_EQ(run->text_of(kLabel1), L"输入密码：");
  EXPECT_EQ(run->text_of(kLabel2), L"确认密码：");
  EXPECT_EQ(run->text_of(kLockButton), L"确    定");
  EXPECT_EQ(run->focused(), run->control(kPassword));
  EXPECT_EQ(run->tab_order_from(kPassword, 3), (std::vector<int>{kConfirmation, kLockButton, kPassword}));
  EXPECT_EQ(GetWindowLongW(run->control(kPassword), GWL_STYLE) & ES_PASSWORD, ES_PASSWORD);
  EXPECT_EQ(SendMessageW(run->control(kPassword), EM_GETPASSWORDCHAR, 0, 0), L'*');
  EXPECT_EQ(GetWindowLongW(run->control(kLockButton), GWL_STYLE) & 0x0F, BS_PUSHBUTTON);

  const auto before = test_support::fingerprint(scratch.path());
  PostMessageW(run->window(), WM_CLOSE, 0, 0);
  EXPECT_EQ(run->wait_for_exit(), 0u);
  EXPECT_EQ(test_support::fingerprint(scratch.path()), before);
}

TEST(Window, UnlockModeShowsTheUnlockPanelWithTheButtonBeforeTheBox) {
  ScratchFolder scratch;
  const std::wstring folder = make_locked_folder(scratch, L"DOCS", "\"pw\"\r\n");
  auto run = start_tool(folder);
  ASSERT_EQ(run->wait_until_shown(), app_driver::Shown::kWindow);

  for (int id : {kPicture1, kUnlockPanel, kLabel3, kUnlockPassword, kUnlockButton}) EXPECT_TRUE(run->visible(id)) << id;
  for (int id : {kLockPanel, kPassword, kConfirmation, kLockButton, kLabel1, kLabel2}) EXPECT_FALSE(run->visible(id)) << id;
  expect_rect(relative_to_client(*run, kUnlockPanel), px(3000, 360, 3255, 1575), "解密框");
  expect_rect(relative_to_client(*run, kUnlockPassword), px(3000 + 360, 360 + 420, 2535, 375), "解密密码");
  expect_rect(relative_to_client(*run, kUnlockButton), px(3000 + 960, 360 + 960, 1350, 350), "解密按钮");
  // Label4 lies under the password box but for its left end.
  const RECT label4 = relative_to_client(*run, kLabel4);
  const RECT box = relative_to_client(*run, kUnlockPassword);
  EXPECT_LT(label4.left, box.left);
  EXPECT_GT(label4.right, box.left);
  EXPECT_EQ(run->text_of(kLabel3), L"请输入解密密码：");
  EXPECT_EQ(run->tab_order_from(kUnlockButton, 2), (std::vector<int>{kUnlockPassword, kUnlockButton}));
  EXPECT_EQ(run->focused(), run->control(kUnlockButton));
  PostMessageW(run->window(), WM_CLOSE, 0, 0);
  EXPECT_EQ(run->wait_for_exit(), 0u);
  EXPECT_TRUE(test_support::exists(folder + varrow::kMarkerName));
}

TEST(Window, EnterAndEscPressNoButton) {
  ScratchFolder scratch;
  const std::wstring folder = scratch.make_folder(L"keys");
  auto run = start_tool(folder);
  ASSERT_EQ(run->wait_until_shown(), app_driver::Shown::kWindow);
  // What the dialog manager sends for Enter and Esc when no button is default.
  SendMessageW(run->window(), WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  SendMessageW(run->window(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  EXPECT_EQ(SendMessageW(run->window(), DM_GETDEFID, 0, 0) >> 16, 0);
  EXPECT_FALSE(run->wait_for_message_box(300));
  EXPECT_TRUE(run->running());
}

TEST(Refusal, MissingComponentAtAnyDepthShowsNoWindow) {
  ScratchFolder scratch;
  scratch.make_folder(L"a\\b");
  for (const wchar_t* rel : {L"\\nope", L"\\a\\nope", L"\\a\\b\\nope", L"\\nope\\b"}) {
    auto run = start_tool(scratch.path() + rel);
    ASSERT_EQ(run->wait_until_shown(), app_driver::Shown::kMessageBox) << rel;
    EXPECT_EQ(run->visible_windows().size(), 1u) << "only the box";
    expect_box_then_end(*run, L"加解密的文件夹路径错误！");
  }
}

TEST(Refusal, SuffixWithoutVisibleMarkerIsNotALockedFolder) {
  ScratchFolder scratch;
  const std::wstring bare = scratch.make_folder(std::wstring(L"bare") + varrow::kLockSuffix);
  const std::wstring hidden = make_locked_folder(scratch, L"hid", "\"x\"\r\n");
  SetFileAttributesW((hidden + varrow::kMarkerName).c_str(), FILE_ATTRIBUTE_HIDDEN);
  for (const std::wstring& folder : {bare, hidden}) {
    auto run = start_tool(folder);
    ASSERT_EQ(run->wait_until_shown(), app_driver::Shown::kMessageBox);
    EXPECT_EQ(run->visible_windows().size(), 1u);
    expect_box_then_end(*run, L"这个文件不是已经加密的文件！");
  }
  EXPECT_TRUE(test_support::exists(bare));
  EXPECT_TRUE(test_support::exists(hidden + varrow::kMarkerName));
}
