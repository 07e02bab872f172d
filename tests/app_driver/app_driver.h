// Drives a real window program under test in its own process: starts it,
// waits for its window or its message boxes, reads and types into controls,
// clicks buttons with window messages and collects the exit code.
#pragma once
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace app_driver {

struct MessageBox {
  HWND hwnd = nullptr;
  std::wstring text;
  std::wstring title;
  int buttons = 0;        // visible push buttons
  bool has_icon = false;  // a visible icon beside the text
};

// Reads a message box of any process: its text, title, buttons and icon.
MessageBox read_message_box(HWND box);

// A process's top-level window of a window class, shown or not; nullptr if none.
HWND top_level_window(DWORD pid, const std::wstring& window_class);

enum class Shown { kWindow, kMessageBox, kExited, kNothing };

class AppRun {
 public:
  // Starts "exe" argument (the argument text is passed exactly as given).
  AppRun(const std::wstring& exe, const std::wstring& argument, const std::wstring& window_class);
  ~AppRun();  // kills the program if it is still running
  AppRun(const AppRun&) = delete;
  AppRun& operator=(const AppRun&) = delete;

  // Waits until the program shows its main window or a message box, or ends.
  Shown wait_until_shown(DWORD timeout_ms = 15000);
  // The next message box of the program, or nothing when none came in time.
  std::optional<MessageBox> wait_for_message_box(DWORD timeout_ms = 15000);
  // Presses OK on a message box and waits for it to go.
  void press_ok(const MessageBox& box);
  // Exit code, or nothing when the program did not end in time.
  std::optional<DWORD> wait_for_exit(DWORD timeout_ms = 15000);
  bool running() const;

  HWND window() const { return window_; }
  HWND control(int id) const;
  std::wstring text_of(int id) const;
  void type_into(int id, const std::wstring& text);
  // Posted, so that a message box the click brings up does not block the caller.
  void click(int id);
  bool visible(int id) const;  // the control and all its containers are visible
  RECT screen_rect(int id) const;  // 0: the main window
  RECT client_rect() const;
  HWND focused() const;
  // The controls in tab order, starting after the given one.
  std::vector<int> tab_order_from(int id, int count) const;
  // Visible top-level windows of the program (window and message boxes).
  std::vector<HWND> visible_windows() const;
  // The program's top-level window of the class given at the start, shown or not.
  HWND window_of_class() const { return top_level_window(process_.dwProcessId, window_class_); }

 private:
  HWND find_main_window() const;
  std::optional<MessageBox> find_message_box() const;

  PROCESS_INFORMATION process_{};
  std::wstring window_class_;
  HWND window_ = nullptr;
};


}  // namespace app_driver
