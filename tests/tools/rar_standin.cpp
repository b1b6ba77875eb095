// Stand-in for the archive tool, copied into a program folder as rar.exe:
//   rar e -o+ <package> <destination folder>
// It really extracts: the package is a small format of the tests' own,
//   "KITPACK1\n" then per file "<name>\n<size in bytes>\n<bytes>"
// (names UTF-8, no folders), every file written into the destination,
// overwriting. It keeps the package open (without delete sharing) until it
// ends, as a real extractor reading it would, so deleting the package while
// the tool runs fails.
//
// Files beside it steer it and report:
//   <exe>.delay     milliseconds to keep working after extracting (default 0)
//   <exe>.hold      while it exists, keep working (at most 10 minutes)
//   <exe>.exitcode  exit status to return (default 0; 0 only if extraction worked)
//   <exe>.log       one line per start, in recorder.exe's format (pid, show,
//                   flags, cwd, command line), written when it starts
//   <exe>.ended     written just before it exits: the system time in
//                   milliseconds since 1970 and the exit status
// <windows.h> must come first.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <cstdlib>
#include <string>

#include "platform/win/wide.h"
#include "tests/tools/tool_support.h"

namespace {

using tooltest::exePath;

std::string readSmall(const std::wstring& path) {
  HANDLE f =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return {};
  char buf[64] = {};
  DWORD got = 0;
  ReadFile(f, buf, sizeof buf - 1, &got, nullptr);
  CloseHandle(f);
  return std::string(buf, got);
}

void writeFile(const std::wstring& path, const std::string& bytes, bool append) {
  HANDLE f =
      CreateFileW(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                  append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(f);
}

unsigned long long nowMs() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  const unsigned long long t =
      (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return t / 10000 - 11644473600000ull;
}

// Extracts every file; false when the package is unreadable or malformed.
bool extract(HANDLE package, std::wstring dest) {
  std::string data;
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(package, buf, sizeof buf, &got, nullptr) && got > 0) data.append(buf, got);
  const std::string magic = "KITPACK1\n";
  if (data.compare(0, magic.size(), magic) != 0) return false;
  if (!dest.empty() && dest.back() != L'\\') dest += L'\\';
  size_t at = magic.size();
  while (at < data.size()) {
    const size_t nameEnd = data.find('\n', at);
    if (nameEnd == std::string::npos) return false;
    const size_t sizeEnd = data.find('\n', nameEnd + 1);
    if (sizeEnd == std::string::npos) return false;
    const std::string name = data.substr(at, nameEnd - at);
    const size_t size =
        std::strtoull(data.substr(nameEnd + 1, sizeEnd - nameEnd - 1).c_str(), nullptr, 10);
    if (sizeEnd + 1 + size > data.size()) return false;
    writeFile(dest + plat::win::widen(name), data.substr(sizeEnd + 1, size), false);
    at = sizeEnd + 1 + size;
  }
  return true;
}

}  // namespace

int wmain() {
  const std::wstring exe = exePath();
  tooltest::appendLogLine(exe + L".log", tooltest::startLogLine(GetCommandLineW()));

  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  bool ok = false;
  HANDLE package = INVALID_HANDLE_VALUE;
  if (argv && argc == 5 && std::wstring(argv[1]) == L"e" && std::wstring(argv[2]) == L"-o+") {
    package =
        CreateFileW(argv[3], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (package != INVALID_HANDLE_VALUE) ok = extract(package, argv[4]);
  }
  if (argv) LocalFree(argv);

  Sleep(static_cast<DWORD>(std::atoi(readSmall(exe + L".delay").c_str())));
  for (int i = 0;
       i < 60000 && GetFileAttributesW((exe + L".hold").c_str()) != INVALID_FILE_ATTRIBUTES; ++i)
    Sleep(10);
  const std::string code = readSmall(exe + L".exitcode");
  const int status = !code.empty() ? std::atoi(code.c_str()) : (ok ? 0 : 2);
  if (package != INVALID_HANDLE_VALUE) CloseHandle(package);
  writeFile(exe + L".ended", std::to_string(nowMs()) + " " + std::to_string(status) + "\n", false);
  return status;
}
