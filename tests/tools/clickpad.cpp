// clickpad <title> <logFile>
// A window for testing UI automation itself: a notifying label (id 1001,
// client 20,20 120x20), a plain label (id 1002, 20,60 120x20) that mouse
// clicks pass through, and a button (id 1003, 20,100 120x28). Appends one
// line per event to <logFile>: "label 1001", "button 1003", "down x,y" (on the
// window itself). Ends on WM_CLOSE.
#include <windows.h>

#include <string>

namespace {

std::wstring gLog;

void record(const std::string& line) {
  HANDLE f = CreateFileW(gLog.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0,
                         nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  std::string s = line + "\n";
  DWORD written = 0;
  WriteFile(f, s.data(), static_cast<DWORD>(s.size()), &written, nullptr);
  CloseHandle(f);
}

LRESULT CALLBACK proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
      if (HIWORD(wp) == STN_CLICKED && LOWORD(wp) == 1001)
        record("label 1001");
      else if (HIWORD(wp) == BN_CLICKED && LOWORD(wp) == 1003)
        record("button 1003");
      return 0;
    case WM_LBUTTONDOWN:
      record("down " + std::to_string(static_cast<short>(LOWORD(lp))) + "," +
             std::to_string(static_cast<short>(HIWORD(lp))));
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(h, msg, wp, lp);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  gLog = argv[2];
  WNDCLASSW wc{};
  wc.lpfnWndProc = proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = L"KitClickPad";
  RegisterClassW(&wc);
  HWND w = CreateWindowExW(0, wc.lpszClassName, argv[1], WS_OVERLAPPEDWINDOW, 100, 100, 320, 200,
                           nullptr, nullptr, wc.hInstance, nullptr);
  if (!w) return 3;
  auto child = [&](const wchar_t* cls, const wchar_t* text, DWORD style, int id, int y,
                   int height) {
    CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, 20, y, 120, height, w,
                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), wc.hInstance, nullptr);
  };
  child(L"STATIC", L"点击这里", SS_LEFT | SS_NOTIFY, 1001, 20, 20);
  child(L"STATIC", L"plain", SS_LEFT, 1002, 60, 20);
  child(L"BUTTON", L"按钮", BS_PUSHBUTTON, 1003, 100, 28);
  ShowWindow(w, SW_SHOWNORMAL);
  UpdateWindow(w);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}
