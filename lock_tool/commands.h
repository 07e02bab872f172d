// The two commands behind the window's buttons.
#pragma once
#include <string>

#include "ui.h"

namespace varrow {

inline const std::wstring kNoPasswordMessage = L"没有输入密码，请输入！";
inline const std::wstring kNoConfirmationMessage = L"没有确认密码，请确认密码！";
inline const std::wstring kMismatchMessage = L"密码和确认密码不相同，请重新输入密码！";
inline const std::wstring kLockFailedMessage = L"这个目录是系统文件夹，不能进行加密！";
inline const std::wstring kUnlockNoPasswordMessage = L"未输入密码，请重新输入！";
inline const std::wstring kWrongPasswordMessage = L"警告：密码错误，请重新输入！！！";

// The texts of the lock panel's two boxes; the command may empty them.
struct LockEntries {
  std::wstring password;
  std::wstring confirmation;
};

// Returns only when an entry check sent the user back to the window;
// otherwise ends the program.
void lock_command(const std::wstring& folder, LockEntries& entries, rt::Ui& ui);

// Always ends the program; a failing step raises its run-time error.
[[noreturn]] void unlock_command(const std::wstring& folder, const std::wstring& entered, rt::Ui& ui);

}  // namespace varrow
