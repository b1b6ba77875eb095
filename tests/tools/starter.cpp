// starter <show> [--wait] <command line...>
// Starts a program the way a program under test would: CreateProcessW with
// STARTF_USESHOWWINDOW and the given window style. The command line is the
// rest of starter's own command line, passed on byte for byte (quoting and
// all), unless it is a single quoted argument, which is unquoted first. Prints the new process id;
// with --wait, waits and returns its exit code. Exit 120 when the program cannot be started.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

// Skips one token of a raw command line (quoted or not) and the blanks after it.
const wchar_t* skipToken(const wchar_t* p, std::wstring* token) {
  bool quoted = false;
  std::wstring t;
  while (*p && (quoted || (*p != L' ' && *p != L'\t'))) {
    if (*p == L'"')
      quoted = !quoted;
    else
      t += *p;
    ++p;
  }
  while (*p == L' ' || *p == L'\t') ++p;
  if (token) *token = t;
  return p;
}

}  // namespace

int wmain() {
  const wchar_t* p = skipToken(GetCommandLineW(), nullptr);
  std::wstring show, next;
  p = skipToken(p, &show);
  bool wait = false;
  const wchar_t* rest = skipToken(p, &next);
  if (next == L"--wait") {
    wait = true;
    p = rest;
  }
  if (show.empty() || !*p) {
    std::fputs("usage: starter <show> [--wait] <command line...>\n", stderr);
    return 2;
  }
  // Started from Unix (wine starter.exe 3 "<line>"), the line arrives as one
  // quoted argument; undo that quoting. Several tokens pass on verbatim.
  std::wstring cmd = p;
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(p, &argc);
  if (argv && argc == 1 && *p == L'"') cmd = argv[0];
  if (argv) LocalFree(argv);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = static_cast<WORD>(_wtoi(show.c_str()));
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi)) {
    std::fprintf(stderr, "starter: CreateProcessW failed, error %lu\n", GetLastError());
    return 120;
  }
  std::printf("%lu\n", pi.dwProcessId);
  std::fflush(stdout);
  DWORD code = 0;
  if (wait) {
    WaitForSingleObject(pi.hProcess, INFINITE);
    GetExitCodeProcess(pi.hProcess, &code);
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}
