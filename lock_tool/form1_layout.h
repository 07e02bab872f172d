// The designed layout of Form1, in twips relative to each control's container,
// listed in tab order (creation order is tab order).
#pragma once
#include <windows.h>

namespace varrow {

enum class FontKind { kSystem, kBold, kRegular };
enum class Kind { kPanel, kPicture, kTextBox, kButton, kLabel };

struct ControlLayout {
  int id;
  Kind kind;
  int container;  // 0: the window itself
  int left, top, width, height;
  const wchar_t* text;
  FontKind font;
};

constexpr int kClientWidthTwips = 6375;
constexpr int kClientHeightTwips = 2040;
constexpr int kStartLeftTwips = 150;
constexpr int kStartTopTwips = 150;
constexpr int kFontTenthsOfPoint = 105;
constexpr wchar_t kFontFace[] = L"宋体";

}  // namespace varrow
