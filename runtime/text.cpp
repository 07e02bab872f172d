#include "text.h"

#include <windows.h>

namespace rt {

std::string to_cp936(const std::wstring& text) {
  if (text.empty()) return {};
  // No best-fit mapping: a character the code page lacks must not pose as another one.
  int n = WideCharToMultiByte(kAnsiCodePage, WC_NO_BEST_FIT_CHARS, text.data(), (int)text.size(),
                              nullptr, 0, nullptr, nullptr);
  std::string bytes(n, '\0');
  WideCharToMultiByte(kAnsiCodePage, WC_NO_BEST_FIT_CHARS, text.data(), (int)text.size(),
                      bytes.data(), n, nullptr, nullptr);
  return bytes;
}

std::wstring from_cp936(const std::string& bytes) {
  if (bytes.empty()) return {};
  int n = MultiByteToWideChar(kAnsiCodePage, 0, bytes.data(), (int)bytes.size(), nullptr, 0);
  std::wstring text(n, L'\0');
  MultiByteToWideChar(kAnsiCodePage, 0, bytes.data(), (int)bytes.size(), text.data(), n);
  return text;
}

std::wstring through_cp936(const std::wstring& text) { return from_cp936(to_cp936(text)); }

std::wstring upper_case(const std::wstring& text) {
  std::wstring result = text;
  if (!result.empty()) CharUpperBuffW(result.data(), (DWORD)result.size());
  return result;
}

}  // namespace rt
