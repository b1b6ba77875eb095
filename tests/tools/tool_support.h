#pragma once
// What more than one helper program needs: its own path, the start-log line
// that tests read with readRecorderLog, a window's text and a list's lines.
// <windows.h> must come first.
// clang-format off
#include <windows.h>
// clang-format on

#include <cstdio>
#include <string>
#include <vector>

#include "platform/win/wide.h"

namespace tooltest {

inline std::wstring exePath() {
  std::wstring buf(32768, L'\0');
  buf.resize(GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size())));
  return buf;
}

// pid=<n>\tshow=<n>\tflags=0x<hex>\tcwd=<folder>\tcmdline=<commandLine>\n
inline std::string startLogLine(const std::wstring& commandLine) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  GetStartupInfoW(&si);
  const int show = (si.dwFlags & STARTF_USESHOWWINDOW) ? si.wShowWindow : -1;
  std::wstring cwd(32768, L'\0');
  cwd.resize(GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data()));
  char head[96];
  std::snprintf(head, sizeof head, "pid=%lu\tshow=%d\tflags=0x%lx\tcwd=", GetCurrentProcessId(),
                show, static_cast<unsigned long>(si.dwFlags));
  return head + plat::win::narrow(cwd) + "\tcmdline=" + plat::win::narrow(commandLine) + "\n";
}

// One write in append mode, so that starts running at the same time do not
// interleave; retried for a while when another start has the file open.
inline void appendLogLine(const std::wstring& log, const std::string& line) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    HANDLE f = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
      CloseHandle(f);
      return;
    }
    Sleep(20);
  }
}

inline std::wstring windowText(HWND h) {
  int n = GetWindowTextLengthW(h);
  std::wstring s(static_cast<size_t>(n) + 1, L'\0');
  n = GetWindowTextW(h, s.data(), n + 1);
  s.resize(static_cast<size_t>(n < 0 ? 0 : n));
  return s;
}

// The lines of a list box, top to bottom.
inline std::vector<std::wstring> listLines(HWND list) {
  std::vector<std::wstring> lines;
  const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    std::wstring line(
        static_cast<size_t>(SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0)) + 1,
        L'\0');
    const LRESULT n = SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i),
                                   reinterpret_cast<LPARAM>(line.data()));
    line.resize(n < 0 ? 0 : static_cast<size_t>(n));
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace tooltest
