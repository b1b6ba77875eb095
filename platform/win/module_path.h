#pragma once
// The full path of the running program's file, however long. Windows-only;
// any thread.
#include <windows.h>

#include <string>

namespace plat::win {

// Empty when the system cannot say.
inline std::wstring modulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return std::wstring();
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace plat::win
