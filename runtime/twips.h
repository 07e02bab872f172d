// Window layouts are designed in twips (1/1440 inch); the screen's DPI turns
// them into pixels.
#pragma once
#include <windows.h>

namespace rt {

struct Dpi {
  int x, y;
};

inline Dpi screen_dpi() {
  HDC screen = GetDC(nullptr);
  const Dpi dpi{GetDeviceCaps(screen, LOGPIXELSX), GetDeviceCaps(screen, LOGPIXELSY)};
  ReleaseDC(nullptr, screen);
  return dpi;
}

inline int twips_to_pixels(int twips, int dpi) { return MulDiv(twips, dpi, 1440); }

}  // namespace rt
