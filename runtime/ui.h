// The one seam between program logic and the user: message boxes. The real
// programs use Win32Ui; in-process tests record what would have been shown.
#pragma once
#include <string>

namespace rt {

class Ui {
 public:
  virtual ~Ui() = default;
  // A modal box with one OK button, no icon, and the given title.
  virtual void message_box(const std::wstring& text, const std::wstring& title) = 0;
};

class Win32Ui : public Ui {
 public:
  void message_box(const std::wstring& text, const std::wstring& title) override;
};

// Shows the standard report of an unhandled run-time error.
void show_error_report(Ui& ui, int number, const std::wstring& title);

}  // namespace rt
