// msgbox <style> <title> <text> [resultFile]
// Shows one MessageBoxW as a program under test does and returns the button
// pressed as its exit code (also written to resultFile). In <text>, "\n"
// stands for a line feed.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) return 255;
  std::wstring text;
  for (const wchar_t* p = argv[3]; *p; ++p) {
    if (p[0] == L'\\' && p[1] == L'n') {
      text += L'\n';
      ++p;
    } else {
      text += *p;
    }
  }
  int rc = MessageBoxW(nullptr, text.c_str(), argv[2], static_cast<UINT>(_wtoi(argv[1])));
  if (argc > 4) {
    HANDLE f = CreateFileW(argv[4], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f != INVALID_HANDLE_VALUE) {
      std::string s = std::to_string(rc) + "\n";
      DWORD written = 0;
      WriteFile(f, s.data(), static_cast<DWORD>(s.size()), &written, nullptr);
      CloseHandle(f);
    }
  }
  return rc;
}
