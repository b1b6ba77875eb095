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

#include <string>
#include <vector>

#include "tests/tools/tool_support.h"

namespace {

using tooltest::exePath;

bool exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

int readExitCode(const std::wstring& path) {
  HANDLE f =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
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
  std::wstring cmdline = GetCommandLineW();
  for (wchar_t& c : cmdline)
    if (c == L'\r' || c == L'\n') c = L' ';
  const std::string line = tooltest::startLogLine(cmdline);

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
      HANDLE h = CreateFileW(argv[i], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
      if (h != INVALID_HANDLE_VALUE) held.push_back(h);
    }
    if (argv) LocalFree(argv);
  }

  tooltest::appendLogLine(exe + L".log", line);

  for (int i = 0; i < 6000 && exists(exe + L".hold"); ++i) Sleep(100);
  for (HANDLE h : held) CloseHandle(h);
  return readExitCode(exe + L".exitcode");
}
