// uispy.dll: a window-procedure hook that `uiauto spy` installs for every
// program on the desktop. When a top-level window is destroyed it writes, to
// the file named by the environment variable UISPY_LOG of the program that
// owns the window (nothing when unset), what the window's standard controls
// held at that moment:
//   window\t<title>
//   text\t<control id>\t<text>        statics and buttons
//   line\t<control id>\t<text>        every line of a list box, in order
//   end
// Programs that close a window and end inside one handler leave no moment
// for reading it from outside; this reads the list box itself, at the end.
#include <windows.h>

#include <string>

#include "platform/win/wide.h"
#include "tests/tools/tool_support.h"

namespace {

using tooltest::windowText;

BOOL CALLBACK dumpChild(HWND h, LPARAM lp) {
  auto* out = reinterpret_cast<std::string*>(lp);
  wchar_t cls[64] = {};
  GetClassNameW(h, cls, 64);
  const std::string id = std::to_string(GetDlgCtrlID(h));
  if (lstrcmpiW(cls, L"ListBox") == 0) {
    for (const std::wstring& line : tooltest::listLines(h))
      *out += "line\t" + id + "\t" + plat::win::narrow(line) + "\n";
  } else if (lstrcmpiW(cls, L"Static") == 0 || lstrcmpiW(cls, L"Button") == 0) {
    *out += "text\t" + id + "\t" + plat::win::narrow(windowText(h)) + "\n";
  }
  return TRUE;
}

void dump(HWND top) {
  wchar_t path[MAX_PATH] = {};
  if (!GetEnvironmentVariableW(L"UISPY_LOG", path, MAX_PATH)) return;
  std::string out = "window\t" + plat::win::narrow(windowText(top)) + "\n";
  EnumChildWindows(top, dumpChild, reinterpret_cast<LPARAM>(&out));
  out += "end\n";
  HANDLE f = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(f, out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
  CloseHandle(f);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK UiSpyHook(int code, WPARAM wp, LPARAM lp) {
  if (code == HC_ACTION) {
    const auto* msg = reinterpret_cast<const CWPSTRUCT*>(lp);
    if (msg->message == WM_DESTROY && !(GetWindowLongPtrW(msg->hwnd, GWL_STYLE) & WS_CHILD))
      dump(msg->hwnd);
  }
  return CallNextHookEx(nullptr, code, wp, lp);
}
