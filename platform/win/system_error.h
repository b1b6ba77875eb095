#pragma once
// The system's own description of an error code, from FormatMessageW.
// Windows-only; any thread.
#include <windows.h>

#include <string>

#include "platform/win/wide.h"

namespace plat::win {

// The text for `code` from `module`'s message table when one is given and
// has it (wininet.dll, urlmon.dll), else from the system's; trailing line
// breaks and blanks are dropped. Empty when neither knows the code.
inline std::string formatMessage(DWORD code, HMODULE module = nullptr) {
  constexpr DWORD kFlags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
  wchar_t* buffer = nullptr;
  DWORD n = 0;
  if (module)
    n = ::FormatMessageW(kFlags | FORMAT_MESSAGE_FROM_HMODULE, module, code, 0,
                         reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (!n)
    n = ::FormatMessageW(kFlags | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0,
                         reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = n && buffer ? narrow(buffer, n) : std::string();
  if (buffer) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  return text;
}

}  // namespace plat::win
