#include "form1.h"

#include "commands.h"
#include "form1_layout.h"
#include "form_ids.h"
#include "resource_ids.h"
#include "twips.h"

namespace varrow {

namespace {

using namespace form_ids;

constexpr wchar_t kFormClass[] = L"VarrowcryptForm1";
constexpr wchar_t kPanelClass[] = L"VarrowcryptPanel";
constexpr wchar_t kButtonCaption[] = L"确    定";

const ControlLayout kLayout[] = {
    {kLockPanel, Kind::kPanel, 0, 3000, 360, 3255, 1575, L"", FontKind::kSystem},
    {kLabel2, Kind::kLabel, kLockPanel, 0, 660, 1335, 255, L"确认密码：", FontKind::kBold},
    {kPassword, Kind::kTextBox, kLockPanel, 1200, 120, 2055, 375, L"", FontKind::kRegular},
    {kLabel1, Kind::kLabel, kLockPanel, 0, 180, 1335, 255, L"输入密码：", FontKind::kBold},
    {kConfirmation, Kind::kTextBox, kLockPanel, 1200, 600, 2055, 375, L"", FontKind::kRegular},
    {kLockButton, Kind::kButton, kLockPanel, 960, 1080, 1350, 350, kButtonCaption, FontKind::kBold},
    {kUnlockPanel, Kind::kPanel, 0, 3000, 360, 3255, 1575, L"", FontKind::kSystem},
    {kUnlockButton, Kind::kButton, kUnlockPanel, 960, 960, 1350, 350, kButtonCaption, FontKind::kBold},
    {kUnlockPassword, Kind::kTextBox, kUnlockPanel, 360, 420, 2535, 375, L"", FontKind::kRegular},
    {kLabel3, Kind::kLabel, kUnlockPanel, 360, 0, 2415, 375, L"请输入解密密码：", FontKind::kBold},
    {kLabel4, Kind::kLabel, kUnlockPanel, 0, 480, 1095, 255, L"输入密码：", FontKind::kRegular},
    {kPicture1, Kind::kPicture, 0, 120, 240, 2655, 1575, L"", FontKind::kSystem},
};

using rt::Dpi;
using rt::screen_dpi;

struct WindowClassAndStyle {
  const wchar_t* window_class;
  DWORD style;
  DWORD ex_style;
};

WindowClassAndStyle class_and_style(Kind kind) {
  constexpr DWORD child = WS_CHILD | WS_CLIPSIBLINGS;
  switch (kind) {
    case Kind::kPanel: return {kPanelClass, child, WS_EX_CONTROLPARENT};  // hidden as designed
    case Kind::kPicture: return {L"STATIC", child | WS_VISIBLE | SS_BITMAP, WS_EX_CLIENTEDGE};
    case Kind::kTextBox:
      return {L"EDIT", child | WS_VISIBLE | WS_TABSTOP | ES_PASSWORD | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE};
    case Kind::kButton: return {L"BUTTON", child | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0};
    case Kind::kLabel: return {L"STATIC", child | WS_VISIBLE | SS_LEFT, 0};
  }
  return {};
}

HFONT make_font(int weight, int dpi_y) {
  return CreateFontW(-MulDiv(kFontTenthsOfPoint, dpi_y, 720), 0, 0, 0, weight, FALSE, FALSE, FALSE,
                     GB2312_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, kFontFace);
}

// Panels pass their controls' notifications up to the window, and draw
// Label4 in the button-face colour, the colour of the panel itself.
LRESULT CALLBACK panel_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND: return SendMessageW(GetParent(hwnd), message, wparam, lparam);
    case WM_CTLCOLORSTATIC:
      if (GetDlgCtrlID(reinterpret_cast<HWND>(lparam)) == kLabel4) {
        HDC dc = reinterpret_cast<HDC>(wparam);
        SetTextColor(dc, GetSysColor(COLOR_BTNFACE));
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
      }
      break;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

void register_classes(HINSTANCE instance) {
  WNDCLASSEXW form{};
  form.cbSize = sizeof form;
  form.lpfnWndProc = DefWindowProcW;  // replaced per window in create()
  form.hInstance = instance;
  form.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_PADLOCK));
  form.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_PADLOCK), IMAGE_ICON, 16, 16, 0));
  form.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  form.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  form.lpszClassName = kFormClass;
  RegisterClassExW(&form);

  WNDCLASSEXW panel = form;
  panel.lpfnWndProc = panel_proc;
  panel.hIcon = panel.hIconSm = nullptr;
  panel.lpszClassName = kPanelClass;
  RegisterClassExW(&panel);
}

}  // namespace

Form1::Form1(HINSTANCE instance, rt::Ui& ui) : instance_(instance), ui_(ui) {}

Form1::~Form1() {
  if (hwnd_) DestroyWindow(hwnd_);
  if (bold_font_) DeleteObject(bold_font_);
  if (regular_font_) DeleteObject(regular_font_);
  if (logo_) DeleteObject(logo_);
}

void Form1::create() {
  register_classes(instance_);
  const Dpi dpi = screen_dpi();
  constexpr DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  RECT frame{0, 0, rt::twips_to_pixels(kClientWidthTwips, dpi.x), rt::twips_to_pixels(kClientHeightTwips, dpi.y)};
  AdjustWindowRectEx(&frame, style, FALSE, 0);
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  const int left = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  const int top = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  hwnd_ = CreateWindowExW(0, kFormClass, kFormCaption, style, left, top, width, height, nullptr, nullptr,
                          instance_, nullptr);
  SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Form1::window_proc));
  bold_font_ = make_font(FW_BOLD, dpi.y);
  regular_font_ = make_font(FW_NORMAL, dpi.y);
  create_controls();
}

void Form1::create_controls() {
  const Dpi dpi = screen_dpi();
  for (const ControlLayout& c : kLayout) {
    const WindowClassAndStyle cs = class_and_style(c.kind);
    HWND parent = c.container ? control(c.container) : hwnd_;
    HWND h = CreateWindowExW(cs.ex_style, cs.window_class, c.text, cs.style, rt::twips_to_pixels(c.left, dpi.x),
                             rt::twips_to_pixels(c.top, dpi.y), rt::twips_to_pixels(c.width, dpi.x), rt::twips_to_pixels(c.height, dpi.y),
                             parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), instance_, nullptr);
    if (c.font != FontKind::kSystem)
      SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(c.font == FontKind::kBold ? bold_font_ : regular_font_),
                   FALSE);
    if (c.kind == Kind::kTextBox) SendMessageW(h, EM_SETPASSWORDCHAR, L'*', 0);
    if (c.kind == Kind::kPicture) {
      logo_ = static_cast<HBITMAP>(LoadImageW(instance_, MAKEINTRESOURCEW(IDB_LOGO), IMAGE_BITMAP, 0, 0, 0));
      SendMessageW(h, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(logo_));
      // Setting the image sizes the control to the picture; keep the designed size.
      SetWindowPos(h, nullptr, 0, 0, rt::twips_to_pixels(c.width, dpi.x), rt::twips_to_pixels(c.height, dpi.y),
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
  }
}

void Form1::prepare(const StartResult& start) {
  folder_ = start.folder;
  if (IsIconic(hwnd_) || IsZoomed(hwnd_)) ShowWindow(hwnd_, SW_RESTORE);
  const Dpi dpi = screen_dpi();
  SetWindowPos(hwnd_, nullptr, rt::twips_to_pixels(kStartLeftTwips, dpi.x), rt::twips_to_pixels(kStartTopTwips, dpi.y), 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  ShowWindow(control(start.mode == Mode::kLock ? kLockPanel : kUnlockPanel), SW_SHOW);
}

void Form1::run() {
  ShowWindow(hwnd_, SW_SHOWNORMAL);
  UpdateWindow(hwnd_);
  SetFocus(GetNextDlgTabItem(hwnd_, nullptr, FALSE));
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (IsDialogMessageW(hwnd_, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  hwnd_ = nullptr;
  if (pending_) std::rethrow_exception(pending_);
}

LRESULT CALLBACK Form1::window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* form = reinterpret_cast<Form1*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  return form ? form->handle(message, wparam, lparam) : DefWindowProcW(hwnd, message, wparam, lparam);
}

LRESULT Form1::handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(wparam) == BN_CLICKED && lparam != 0) on_click(LOWORD(wparam));
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(hwnd_, message, wparam, lparam);
}

void Form1::on_click(int control_id) {
  try {
    if (control_id == kLockButton) on_lock_click();
    if (control_id == kUnlockButton) on_unlock_click();
  } catch (...) {
    pending_ = std::current_exception();
    DestroyWindow(hwnd_);
  }
}

void Form1::on_lock_click() {
  LockEntries entries{text_of(kPassword), text_of(kConfirmation)};
  lock_command(folder_, entries, ui_);
  if (entries.confirmation != text_of(kConfirmation)) set_text(kConfirmation, entries.confirmation);
  if (entries.password != text_of(kPassword)) set_text(kPassword, entries.password);
}

void Form1::on_unlock_click() { unlock_command(folder_, text_of(kUnlockPassword), ui_); }

HWND Form1::control(int id) const {
  HWND h = GetDlgItem(hwnd_, id);
  if (!h) h = GetDlgItem(GetDlgItem(hwnd_, kLockPanel), id);
  if (!h) h = GetDlgItem(GetDlgItem(hwnd_, kUnlockPanel), id);
  return h;
}

std::wstring Form1::text_of(int id) const {
  HWND h = control(id);
  std::wstring text(GetWindowTextLengthW(h) + 1, L'\0');
  text.resize(GetWindowTextW(h, text.data(), (int)text.size()));
  return text;
}

void Form1::set_text(int id, const std::wstring& text) { SetWindowTextW(control(id), text.c_str()); }

}  // namespace varrow
