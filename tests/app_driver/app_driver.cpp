#include "app_driver.h"

namespace app_driver {

namespace {

constexpr DWORD kPollMs = 20;
constexpr int kMessageBoxTextId = 0xFFFF;  // the static that holds a message box's text
constexpr int kMessageBoxIconId = 0x0440;

std::wstring class_of(HWND h) {
  wchar_t name[128] = {};
  GetClassNameW(h, name, 128);
  return name;
}

std::wstring window_text(HWND h) {
  // WM_GETTEXT, not GetWindowText: the latter does not ask another process's controls.
  const int length = (int)SendMessageW(h, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(length + 1, L'\0');
  text.resize(SendMessageW(h, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data())));
  return text;
}

struct ProcessWindows {
  DWORD pid;
  std::vector<HWND> found;
};

BOOL CALLBACK collect_window(HWND h, LPARAM param) {
  auto* windows = reinterpret_cast<ProcessWindows*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  if (pid == windows->pid) windows->found.push_back(h);
  return TRUE;
}

std::vector<HWND> top_level_windows(DWORD pid) {
  ProcessWindows windows{pid, {}};
  EnumWindows(collect_window, reinterpret_cast<LPARAM>(&windows));
  return windows.found;
}

BOOL CALLBACK collect_child(HWND h, LPARAM param) {
  reinterpret_cast<std::vector<HWND>*>(param)->push_back(h);
  return TRUE;
}

std::vector<HWND> descendants(HWND parent) {
  std::vector<HWND> children;
  EnumChildWindows(parent, collect_child, reinterpret_cast<LPARAM>(&children));
  return children;
}

}  // namespace

MessageBox read_message_box(HWND box) {
  MessageBox info;
  info.hwnd = box;
  info.title = window_text(box);
  for (HWND child : descendants(box)) {
    const int id = GetDlgCtrlID(child);
    const bool shown = IsWindowVisible(child);
    if (id == kMessageBoxTextId) info.text = window_text(child);
    if (id == kMessageBoxIconId && shown && SendMessageW(child, STM_GETICON, 0, 0) != 0) info.has_icon = true;
    if (shown && class_of(child) == L"Button") ++info.buttons;
  }
  return info;
}

HWND top_level_window(DWORD pid, const std::wstring& window_class) {
  for (HWND h : top_level_windows(pid))
    if (class_of(h) == window_class) return h;
  return nullptr;
}

AppRun::AppRun(const std::wstring& exe, const std::wstring& argument, const std::wstring& window_class)
    : window_class_(window_class) {
  std::wstring command = L"\"" + exe + L"\"";
  if (!argument.empty()) command += L" " + argument;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process_))
    process_ = {};
}

AppRun::~AppRun() {
  if (!process_.hProcess) return;
  if (running()) {
    TerminateProcess(process_.hProcess, 99);
    WaitForSingleObject(process_.hProcess, 5000);
  }
  CloseHandle(process_.hThread);
  CloseHandle(process_.hProcess);
}

bool AppRun::running() const {
  return process_.hProcess && WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT;
}

HWND AppRun::find_main_window() const {
  for (HWND h : top_level_windows(process_.dwProcessId))
    if (class_of(h) == window_class_ && IsWindowVisible(h)) return h;
  return nullptr;
}

std::optional<MessageBox> AppRun::find_message_box() const {
  for (HWND h : top_level_windows(process_.dwProcessId))
    if (class_of(h) == L"#32770" && IsWindowVisible(h)) return read_message_box(h);
  return std::nullopt;
}

Shown AppRun::wait_until_shown(DWORD timeout_ms) {
  if (!process_.hProcess) return Shown::kNothing;
  for (DWORD waited = 0; waited < timeout_ms; waited += kPollMs) {
    if (find_message_box()) return Shown::kMessageBox;
    if ((window_ = find_main_window())) return Shown::kWindow;
    if (!running()) return Shown::kExited;
    Sleep(kPollMs);
  }
  return Shown::kNothing;
}

std::optional<MessageBox> AppRun::wait_for_message_box(DWORD timeout_ms) {
  for (DWORD waited = 0; process_.hProcess && waited < timeout_ms; waited += kPollMs) {
    if (auto box = find_message_box()) {
      // The text static is filled while the box is being laid out; read it once settled.
      Sleep(kPollMs);
      return read_message_box(box->hwnd);
    }
    if (!running()) return std::nullopt;
    Sleep(kPollMs);
  }
  return std::nullopt;
}

void AppRun::press_ok(const MessageBox& box) {
  PostMessageW(box.hwnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  for (DWORD waited = 0; waited < 5000 && IsWindow(box.hwnd) && IsWindowVisible(box.hwnd); waited += kPollMs)
    Sleep(kPollMs);
}

std::optional<DWORD> AppRun::wait_for_exit(DWORD timeout_ms) {
  if (!process_.hProcess || WaitForSingleObject(process_.hProcess, timeout_ms) != WAIT_OBJECT_0)
    return std::nullopt;
  DWORD code = 0;
  GetExitCodeProcess(process_.hProcess, &code);
  return code;
}

HWND AppRun::control(int id) const {
  for (HWND h : descendants(window_))
    if (GetDlgCtrlID(h) == id) return h;
  return nullptr;
}

std::wstring AppRun::text_of(int id) const { return window_text(control(id)); }

void AppRun::type_into(int id, const std::wstring& text) {
  SendMessageW(control(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void AppRun::click(int id) { PostMessageW(control(id), BM_CLICK, 0, 0); }

bool AppRun::visible(int id) const {
  HWND h = control(id);
  return h && IsWindowVisible(h);
}

RECT AppRun::screen_rect(int id) const {
  RECT r{};
  GetWindowRect(id ? control(id) : window_, &r);
  return r;
}

RECT AppRun::client_rect() const {
  RECT r{};
  GetClientRect(window_, &r);
  return r;
}

// The window sets its focus after it shows; on a loaded machine that can
// come a little later, so a window with no focus yet is asked again.
HWND AppRun::focused() const {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  for (DWORD waited = 0; waited < 2000; waited += kPollMs) {
    if (GetGUIThreadInfo(process_.dwThreadId, &info) && info.hwndFocus) break;
    Sleep(kPollMs);
  }
  return info.hwndFocus;
}

std::vector<int> AppRun::tab_order_from(int id, int count) const {
  std::vector<int> order;
  HWND h = control(id);
  for (int i = 0; i < count && h; ++i) {
    h = GetNextDlgTabItem(window_, h, FALSE);
    order.push_back(h ? GetDlgCtrlID(h) : 0);
  }
  return order;
}

std::vector<HWND> AppRun::visible_windows() const {
  std::vector<HWND> shown;
  for (HWND h : top_level_windows(process_.dwProcessId))
    if (IsWindowVisible(h)) shown.push_back(h);
  return shown;
}

}  // namespace app_driver
