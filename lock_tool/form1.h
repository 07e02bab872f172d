// Form1, the tool's only window: the logo on the left and, on the right, the
// lock panel or the unlock panel.
#pragma once
#include <windows.h>

#include <exception>
#include <string>

#include "startup.h"
#include "ui.h"

namespace varrow {

class Form1 {
 public:
  Form1(HINSTANCE instance, rt::Ui& ui);
  ~Form1();
  Form1(const Form1&) = delete;
  Form1& operator=(const Form1&) = delete;

  // Creates the window hidden, centred on the screen, both panels hidden.
  void create();
  // Normal state, moved to (150, 150) twips, the mode's panel made visible.
  void prepare(const StartResult& start);
  // Shows the window and runs it until a command or the user ends the program.
  void run();

 private:
  static LRESULT CALLBACK window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT handle(UINT message, WPARAM wparam, LPARAM lparam);
  void on_click(int control_id);
  void on_lock_click();
  void on_unlock_click();
  void create_controls();
  HWND control(int id) const;
  std::wstring text_of(int id) const;
  void set_text(int id, const std::wstring& text);

  HINSTANCE instance_;
  rt::Ui& ui_;
  HWND hwnd_ = nullptr;
  HFONT bold_font_ = nullptr;
  HFONT regular_font_ = nullptr;
  HBITMAP logo_ = nullptr;
  std::wstring folder_;
  // An end of program or run-time error raised in a click, carried out of the
  // window procedure and raised again once the message loop has ended.
  std::exception_ptr pending_;
};

}  // namespace varrow
