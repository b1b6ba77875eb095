// Helper program of platform_win_test.exe: a real child process to start.
//   win_child args <out-file> [args...]       writes its process id and its
//                                              arguments (UTF-8, one a line), exits 7
//   win_child instance <out-file> [hold]      writes 1 when another instance of
//                                              this program runs, else 0; "hold"
//                                              then keeps running for a minute
#include <windows.h>

#include <string>

#include "platform/process.h"
#include "platform/win/wide.h"

namespace {

void writeOut(const std::wstring& path, const std::string& text) {
  HANDLE f = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  ::WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  ::CloseHandle(f);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  const std::wstring mode = argv[1];
  if (mode == L"args") {
    std::string text = std::to_string(::GetCurrentProcessId()) + "\n";
    for (int i = 3; i < argc; ++i) text += plat::win::narrow(argv[i]) + "\n";
    writeOut(argv[2], text);
    return 7;
  }
  if (mode == L"instance") {
    auto processes = plat::makeNativeProcesses();
    const bool running = processes->previousInstanceRunning();
    writeOut(argv[2], running ? "1" : "0");
    if (argc > 3 && std::wstring(argv[3]) == L"hold") ::Sleep(60000);
    return 0;
  }
  return 2;
}
