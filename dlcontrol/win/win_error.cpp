#include "dlcontrol/win/win_error.h"

#include <cstdio>

#include "platform/win/system_error.h"

namespace lumvex {

std::string systemMessage(DWORD code, HMODULE module) {
  std::string text = plat::win::formatMessage(code, module);
  while (!text.empty() && text.back() == '.') text.pop_back();
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
