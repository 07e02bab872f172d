// Control identifiers of Form1, shared with the tests that drive the window.
#pragma once

namespace varrow::form_ids {

enum : int {
  kLockPanel = 100,     // 加密框
  kUnlockPanel = 101,   // 解密框
  kPicture1 = 102,
  kUnlockPassword = 110,  // 解密密码
  kUnlockButton = 111,    // 解密按钮
  kLabel4 = 112,
  kLabel3 = 113,
  kLockButton = 120,  // 加密按钮
  kConfirmation = 121,  // 确认密码
  kPassword = 122,      // 输入密码
  kLabel1 = 123,
  kLabel2 = 124,
};

constexpr wchar_t kFormCaption[] = L"Varrow移动存储加密工具";

}  // namespace varrow::form_ids
