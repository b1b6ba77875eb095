// ANSI code page conversions on Windows (CP_ACP).
#include <windows.h>

#include "platform/text.h"
#include "platform/win/wide.h"

namespace plat {

std::string ansiToUtf8(const std::string& bytes) {
  if (bytes.empty()) return std::string();
  const int n =
      ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), w.data(), n);
  return win::narrow(w);
}

std::string utf8ToAnsi(const std::string& text) {
  if (text.empty()) return std::string();
  const std::wstring w = win::widen(text);
  // A UTF-8 code page takes no replacement character (and needs none).
  const char* replacement = ::GetACP() == CP_UTF8 ? nullptr : "?";
  const int n = ::WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      replacement, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), out.data(), n, replacement,
                        nullptr);
  return out;
}

}  // namespace plat
