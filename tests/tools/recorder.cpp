// Stand-in for an outside program (the registration tool, the database
// runtime, the runtime downloader, the archive tool): copied into a program
// folder under that program's name, it records how it was started.
//
// Every start appends one line to <exe path>.log (e.g. "Msaccess.exe.log"):
//   pid=<n>\tshow=<n>\tflags=0x<hex>\tcwd=<folder>\tcmdline=<command line>
// show is STARTUPINFO.wShowWindow when STARTF_USESHOWWINDOW is set, else -1.
// The command line comes last and verbatim (UTF-8) to the end of the line.
//
// Files beside it steer it:
//   <exe path>.exitcode   decimal exit code to return (default 0)
//   <exe path>.hold       while it exists, keep running, holding open every
//                         existing file named by an argument (as a database
//                         runtime holds its database); gives up after 10 min.
//   <exe path>.payload\   a folder: its files are copied (overwriting) into
//                         the folder named by the last argument, as an archive
//                         tool extracting a known archive would.
// The payload is copied and the held files are open before the log line is
// written, so a test that sees the line may rely on both.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/win/wide.h"

namespace {

using plat::win::narrow;

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring exePath() {
  std::wstring buf(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
  buf.resize(n);
  return buf;
}

std::wstring currentDir() {
  std::wstring buf(32768, L'\0');
  DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(buf.size()), buf.data());
  buf.resize(n);
  return buf;
}

int readExitCode(const std::wstring& path) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return 0;
  char buf[32] = {};
  DWORD got = 0;
  ReadFile(f, buf, sizeof buf - 1, &got, nullptr);
  CloseHandle(f);
  return std::atoi(buf);
}

// Copies the files (not subfolders) of `from` into `to`.
void copyPayload(const std::wstring& from, std::wstring to) {
  if (!to.empty() && to.back() != L'\\') to += L'\\';
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW((from + L"\\*").c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    CopyFileW((from + L"\\" + fd.cFileName).c_str(), (to + fd.cFileName).c_str(), FALSE);
  } while (FindNextFileW(find, &fd));
  FindClose(find);
}

}  // namespace

int wmain() {
  const std::wstring exe = exePath();
  STARTUPINFOW si{};
  si.cb = sizeof si;
  GetStartupInfoW(&si);
  int show = (si.dwFlags & STARTF_USESHOWWINDOW) ? si.wShowWindow : -1;

  std::wstring cmdline = GetCommandLineW();
  for (wchar_t& c : cmdline)
    if (c == L'\r' || c == L'\n') c = L' ';
  char head[96];
  std::snprintf(head, sizeof head, "pid=%lu\tshow=%d\tflags=0x%lx\tcwd=", GetCurrentProcessId(), show,
                static_cast<unsigned long>(si.dwFlags));
  std::string line = head + narrow(currentDir()) + "\tcmdline=" + narrow(cmdline) + "\n";

  // Effects come before the log line: a test that sees the line sees them.
  if (exists(exe + L".payload")) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv && argc > 1) copyPayload(exe + L".payload", argv[argc - 1]);
    if (argv) LocalFree(argv);
  }

  std::vector<HANDLE> held;
  if (exists(exe + L".hold")) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    for (int i = 1; argv && i < argc; ++i) {
      DWORD attr = GetFileAttributesW(argv[i]);
      if (attr == INVALID_FILE_ATTRIBUTES || (attr & FILE_ATTRIBUTE_DIRECTORY)) continue;
      // No FILE_SHARE_DELETE: deleting the file fails while it is held.
      HANDLE h = CreateFileW(argv[i], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             0, nullptr);
      if (h != INVALID_HANDLE_VALUE) held.push_back(h);
    }
    if (argv) LocalFree(argv);
  }

  // One write per start, in append mode, so concurrent starts do not interleave.
  const std::wstring log = exe + L".log";
  for (int attempt = 0; attempt < 100; ++attempt) {
    HANDLE f = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
      CloseHandle(f);
      break;
    }
    Sleep(20);
  }

  for (int i = 0; i < 6000 && exists(exe + L".hold"); ++i) Sleep(100);
  for (HANDLE h : held) CloseHandle(h);
  return readExitCode(exe + L".exitcode");
}
