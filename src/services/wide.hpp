#pragma once
// UTF-8 <-> UTF-16 at the Windows API boundary (Windows build only). Invalid input becomes
// U+FFFD rather than being dropped.
#include <windows.h>

#include <string>
#include <string_view>

namespace corvane::wide {

inline std::wstring from_utf8(std::string_view text) {
  if (text.empty()) return {};
  int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

inline std::string to_utf8(std::wstring_view text) {
  if (text.empty()) return {};
  int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace corvane::wide
