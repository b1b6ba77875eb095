#include "dlcontrol/win/win_error.h"

#include <cstdio>

#include "dlcontrol/win/win_text.h"

namespace lumvex {

std::string systemMessage(DWORD code, HMODULE module) {
  constexpr DWORD kFlags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
  wchar_t* buffer = nullptr;
  DWORD n = 0;
  if (module)
    n = FormatMessageW(kFlags | FORMAT_MESSAGE_FROM_HMODULE, module, code, 0,
                       reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (!n)
    n = FormatMessageW(kFlags | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0,
                       reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = n && buffer ? narrow(buffer, n) : std::string();
  if (buffer) LocalFree(buffer);
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  return text;
}

std::string describeError(HRESULT hr) {
  std::string text = systemMessage(static_cast<DWORD>(hr));
  if (text.empty()) text = hr == E_ABORT ? "The transfer was aborted" : "Transfer error";
  char code[32];
  std::snprintf(code, sizeof code, " (0x%08lX)", static_cast<unsigned long>(hr));
  return text + code;
}

}  // namespace lumvex
