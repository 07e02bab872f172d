#include "setup_window.h"

#include "resource_ids.h"
#include "twips.h"

namespace installer {

namespace {

struct Twips {
  int left, top, width, height;
};

constexpr int kClientWidthTwips = 4680;
constexpr int kClientHeightTwips = 630;
constexpr Twips k列表框Rect{0, 0, 2325, 300};
constexpr Twips kLabel1Rect{30, 120, 4605, 315};
constexpr int kDropDownListPixels = 120;  // room for the list below the edit field
constexpr int kLabelFontPoints = 12;
constexpr wchar_t kCaption[] = L"Setup";
constexpr wchar_t k列表框Text[] = L"Combo1";
constexpr wchar_t kLabel1Text[] = L"正在安装'Varrow加密软件'！请等待";
constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;

using rt::Dpi;
using rt::screen_dpi;

RECT to_pixels(const Twips& t, Dpi dpi) {
  const int left = rt::twips_to_pixels(t.left, dpi.x), top = rt::twips_to_pixels(t.top, dpi.y);
  return {left, top, left + rt::twips_to_pixels(t.width, dpi.x), top + rt::twips_to_pixels(t.height, dpi.y)};
}

void register_class(HINSTANCE instance) {
  WNDCLASSEXW form{};
  form.cbSize = sizeof form;
  form.lpfnWndProc = DefWindowProcW;  // the window handles no events of its own
  form.hInstance = instance;
  form.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_SETUP));
  form.hIconSm =
      static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_SETUP), IMAGE_ICON, 16, 16, 0));
  form.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  form.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  form.lpszClassName = kSetupWindowClass;
  RegisterClassExW(&form);
}

HWND create_child(HWND parent, HINSTANCE instance, const wchar_t* window_class, DWORD style, RECT r, int id,
                  const wchar_t* text) {
  return CreateWindowExW(0, window_class, text, WS_CHILD | WS_CLIPSIBLINGS | style, r.left, r.top,
                         r.right - r.left, r.bottom - r.top, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
}

}  // namespace

安装窗口::安装窗口(HINSTANCE instance, rt::Ui& ui) : instance_(instance), ui_(ui) {}

安装窗口::~安装窗口() {
  if (hwnd_) DestroyWindow(hwnd_);
  if (label_font_) DeleteObject(label_font_);
}

void 安装窗口::create() {
  register_class(instance_);
  const Dpi dpi = screen_dpi();
  RECT frame = to_pixels({0, 0, kClientWidthTwips, kClientHeightTwips}, dpi);
  AdjustWindowRectEx(&frame, kStyle, FALSE, 0);
  hwnd_ = CreateWindowExW(0, kSetupWindowClass, kCaption, kStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                          frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance_, nullptr);
  label_font_ = CreateFontW(-MulDiv(kLabelFontPoints, dpi.y, 72), 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE,
                            GB2312_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                            DEFAULT_PITCH | FF_DONTCARE, L"宋体");
  create_controls();
}

void 安装窗口::create_controls() {
  const Dpi dpi = screen_dpi();
  // Hidden until a list method fills it.
  RECT combo = to_pixels(k列表框Rect, dpi);
  combo.bottom += kDropDownListPixels;
  HWND list = create_child(hwnd_, instance_, L"COMBOBOX", CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP,
                           combo, k列表框Id, nullptr);
  // A combo box ignores the creation text; its edit field takes it this way.
  SetWindowTextW(list, k列表框Text);
  HWND label =
      create_child(hwnd_, instance_, L"STATIC", SS_LEFT | WS_VISIBLE, to_pixels(kLabel1Rect, dpi), kLabel1Id,
                   kLabel1Text);
  SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(label_font_), FALSE);
}

// The minimized state without showing the window: ShowWindow would show it.
void 安装窗口::minimize_unseen() {
  SetWindowLongW(hwnd_, GWL_STYLE, GetWindowLongW(hwnd_, GWL_STYLE) | WS_MINIMIZE);
}

void 安装窗口::start_list() {
  HWND combo = 列表框();
  ShowWindow(combo, SW_SHOWNA);
  SendMessageW(combo, CB_RESETCONTENT, 0, 0);
  SetWindowTextW(combo, L"");
}

void 安装窗口::add_entry(const std::wstring& text) {
  SendMessageW(列表框(), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

int 安装窗口::entry_count() const { return static_cast<int>(SendMessageW(列表框(), CB_GETCOUNT, 0, 0)); }

void 安装窗口::show_entry_0_or(const std::wstring& text) {
  HWND combo = 列表框();
  if (entry_count() < 1) {
    SetWindowTextW(combo, text.c_str());
    return;
  }
  std::wstring entry(SendMessageW(combo, CB_GETLBTEXTLEN, 0, 0) + 1, L'\0');
  entry.resize(SendMessageW(combo, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(entry.data())));
  SetWindowTextW(combo, entry.c_str());
}

}  // namespace installer
