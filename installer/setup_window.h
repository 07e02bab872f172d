// 安装窗口, the installer's only window. It is created hidden and never
// shown: its load handler does the whole installation and ends the program.
#pragma once
#include <windows.h>

#include <string>

#include "ui.h"

namespace installer {

constexpr wchar_t kSetupWindowClass[] = L"VarrowSetupWindow";
constexpr wchar_t kCompletionText[] = L"已经完成安装！";
constexpr wchar_t kCompletionTitle[] = L"Varrow加密安装：";
constexpr int k列表框Id = 1;
constexpr int kLabel1Id = 2;

class 安装窗口 {
 public:
  安装窗口(HINSTANCE instance, rt::Ui& ui);
  ~安装窗口();
  安装窗口(const 安装窗口&) = delete;
  安装窗口& operator=(const 安装窗口&) = delete;

  // Creates the window and its controls, hidden.
  void create();
  // The load handler: registers the verb, deploys the files, reports
  // completion and ends the program.
  void load();

  void 增加资源管理器中的目录右键菜单();
  void 枚举本机的串行口();
  void 枚举本机的并行口();
  void 判断Office2000安装();

  HWND hwnd() const { return hwnd_; }
  HWND 列表框() const { return GetDlgItem(hwnd_, k列表框Id); }

 private:
  void create_controls();
  void minimize_unseen();
  void start_list();
  void list_values_of(const std::wstring& key);
  void add_entry(const std::wstring& text);
  int entry_count() const;
  void show_entry_0_or(const std::wstring& text);

  HINSTANCE instance_;
  rt::Ui& ui_;
  HWND hwnd_ = nullptr;
  HFONT label_font_ = nullptr;
};

}  // namespace installer
