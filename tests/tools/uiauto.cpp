// uiauto: drives the windows of the programs under test from outside, the
// way a person would, for the Wine end-to-end tests.
//
//   uiauto wait-dialog <title|-> <timeoutMs> <outFile|-> [press <id>]
//       Waits for a visible dialog (#32770) titled <title> ("-": any title),
//       writes what it shows (see writeDialog) as UTF-8 to <outFile>, then
//       presses the button with control id <id> and waits for the dialog to go.
//   uiauto wait-window <class|-> <title|-> <timeoutMs>
//       Waits for a visible top-level window; prints "hwnd class title x y w h".
//   uiauto wait-gone <class|-> <title|-> <timeoutMs>
//       Waits until no visible top-level window matches.
//   uiauto click <title> <controlId|x,y>
//       Control id: the WM_COMMAND a click sends (buttons, notifying labels).
//       x,y (client coordinates): button down and up on the window under it.
//   uiauto text <title> <controlId>      prints a control's text
//   uiauto lines <title> <controlId>     prints a list box's lines, one a line
//   uiauto spy <dll>                     hooks every program's window procedures
//       with uispy.dll (see there), prints "ready" and keeps the hook until killed
//   uiauto watch-text <title> <controlId> <prefix> <final> <timeoutMs>
//       Polls the control's text every few milliseconds; prints
//       "first=<ms> final=<ms>": when the text first began with <prefix> and
//       when it was first <final>, in milliseconds since the watch started.
//   uiauto time-dialog <timeoutMs>
//       Waits for any visible dialog; prints the system time in milliseconds
//       since 1970 at which it was found.
//   uiauto close <title>                 posts WM_CLOSE
//   uiauto list                          dumps top-level windows and children
//   uiauto hold-desktop                  keeps a hidden window until killed
//
// Exit codes: 0 done, 1 timed out / not found, 2 usage, 3 the action failed.
// All text written is UTF-8.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/win/gdi.h"
#include "platform/win/wide.h"
#include "tests/tools/tool_support.h"

namespace {

using tooltest::windowText;

using plat::win::narrow;

// Raw bytes to stdout: a pipe to the test gets UTF-8, not the console code page.
void out(const std::string& s) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), s.data(), static_cast<DWORD>(s.size()), &written,
            nullptr);
}

void err(const std::string& s) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), s.data(), static_cast<DWORD>(s.size()), &written,
            nullptr);
}

std::wstring className(HWND h) {
  wchar_t buf[256] = {};
  GetClassNameW(h, buf, 256);
  return buf;
}

// Escapes a value for one "key=value" line: backslash, CR and LF.
std::string escape(const std::string& s) {
  std::string r;
  for (char c : s) {
    if (c == '\\')
      r += "\\\\";
    else if (c == '\n')
      r += "\\n";
    else if (c == '\r')
      r += "\\r";
    else
      r += c;
  }
  return r;
}

struct Match {
  const wchar_t* cls;    // nullptr: any class
  const wchar_t* title;  // nullptr: any title
  std::vector<HWND> found;
};

BOOL CALLBACK collect(HWND h, LPARAM lp) {
  auto* m = reinterpret_cast<Match*>(lp);
  if (!IsWindowVisible(h)) return TRUE;
  if (m->cls && className(h) != m->cls) return TRUE;
  if (m->title && windowText(h) != m->title) return TRUE;
  m->found.push_back(h);
  return TRUE;
}

// EnumWindows rather than FindWindowW: an empty title must match only an
// empty title, and hidden windows of the same title must not hide a visible one.
HWND findTop(const wchar_t* cls, const wchar_t* title) {
  Match m{cls, title, {}};
  EnumWindows(collect, reinterpret_cast<LPARAM>(&m));
  return m.found.empty() ? nullptr : m.found.front();
}

const wchar_t* anyIfDash(const wchar_t* s) {
  return std::wstring(s) == L"-" ? nullptr : s;
}

HWND waitTop(const wchar_t* cls, const wchar_t* title, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    if (HWND h = findTop(cls, title)) return h;
    if (GetTickCount() - start >= timeoutMs) return nullptr;
    Sleep(50);
  }
}

struct ChildById {
  int id;
  HWND found;
};

BOOL CALLBACK childById(HWND h, LPARAM lp) {
  auto* c = reinterpret_cast<ChildById*>(lp);
  if (GetDlgCtrlID(h) == c->id) {
    c->found = h;
    return FALSE;
  }
  return TRUE;
}

// Nested controls too (a frame holding buttons).
HWND findChild(HWND top, int id) {
  ChildById c{id, nullptr};
  EnumChildWindows(top, childById, reinterpret_cast<LPARAM>(&c));
  return c.found;
}

// Renders `icon` at the control's size on `background` and counts the pixels
// that differ from `shot` (a capture of the control from the screen).
size_t iconDistance(HICON icon, const std::vector<COLORREF>& shot, int w, int h,
                    COLORREF background) {
  const plat::win::ScreenDc screen;
  const plat::win::UniqueBitmap bmp(CreateCompatibleBitmap(screen.get(), w, h));
  const plat::win::UniqueMemoryDc memDc(CreateCompatibleDC(screen.get()));
  const HDC mem = memDc.get();
  SelectObject(mem, bmp.get());
  RECT r{0, 0, w, h};
  FillRect(mem, &r, plat::win::UniqueBrush(CreateSolidBrush(background)).get());
  // The message box draws its icon at the system size in the control's corner.
  DrawIconEx(mem, 0, 0, icon, GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0, nullptr,
             DI_NORMAL);
  size_t diff = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      if (GetPixel(mem, x, y) != shot[static_cast<size_t>(y * w + x)]) ++diff;
  return diff;
}

// An HICON from another process means nothing here (icons are per-process
// objects), so the kind is recognised by its pixels on the screen: the
// capture is compared with each stock icon drawn by this process.
std::string iconKindOnce(HWND dlg) {
  // Windows gives the message box's icon control id 0x14, Wine stc1 (1088).
  HWND ctl = GetDlgItem(dlg, 0x14);
  if (!ctl) ctl = GetDlgItem(dlg, 1088);
  if (!ctl || !IsWindowVisible(ctl)) return "none";
  if (!SendMessageW(ctl, STM_GETICON, 0, 0)) return "none";
  RECT rc;
  GetWindowRect(ctl, &rc);
  int w = rc.right - rc.left, h = rc.bottom - rc.top;
  if (w <= 0 || h <= 0) return "unknown";
  SetForegroundWindow(dlg);
  // Let the dialog finish painting before reading the screen.
  RedrawWindow(dlg, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  Sleep(200);
  // Copy the screen area once; per-pixel reads of the screen are slow.
  std::vector<COLORREF> shot(static_cast<size_t>(w * h));
  COLORREF background = 0;
  {
    const plat::win::ScreenDc screen;
    const plat::win::UniqueBitmap bmp(CreateCompatibleBitmap(screen.get(), w + 2, h));
    const plat::win::UniqueMemoryDc memDc(CreateCompatibleDC(screen.get()));
    const HDC mem = memDc.get();
    SelectObject(mem, bmp.get());
    BitBlt(mem, 0, 0, w + 2, h, screen.get(), rc.left - 2, rc.top, SRCCOPY);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) shot[static_cast<size_t>(y * w + x)] = GetPixel(mem, x + 2, y);
    // The dialog just left of the control shows the background the icon sits on.
    background = GetPixel(mem, 0, h / 2);
  }
  struct Kind {
    LPCWSTR id;
    const char* name;
  } kinds[] = {{IDI_EXCLAMATION, "exclamation"},
               {IDI_HAND, "hand"},
               {IDI_QUESTION, "question"},
               {IDI_ASTERISK, "asterisk"}};
  std::string best = "unknown";
  size_t bestDiff = shot.size();
  for (const Kind& k : kinds) {
    size_t d = iconDistance(LoadIconW(nullptr, k.id), shot, w, h, background);
    if (d < bestDiff) {
      bestDiff = d;
      best = k.name;
    }
  }
  // Anti-aliased edges may differ by a few pixels; a wrong icon differs by hundreds.
  if (bestDiff * 20 > shot.size()) return "unknown";
  return best;
}

// A loaded machine may show the box before its icon is on the screen.
std::string iconKind(HWND dlg) {
  std::string kind = iconKindOnce(dlg);
  for (int i = 0; i < 6 && kind == "unknown"; ++i) {
    Sleep(300);
    kind = iconKindOnce(dlg);
  }
  return kind;
}

// title=, text=, topmost=, icon=, buttons= ; one per line, values escaped.
std::string describeDialog(HWND dlg) {
  std::string s;
  s += "title=" + escape(narrow(windowText(dlg))) + "\n";
  const bool topmost = (GetWindowLongW(dlg, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
  s += std::string("topmost=") + (topmost ? "1" : "0") + "\n";
  HWND textCtl = GetDlgItem(dlg, 0xFFFF);
  s += "text=" + escape(textCtl ? narrow(windowText(textCtl)) : std::string()) + "\n";
  s += "icon=" + iconKind(dlg) + "\n";
  std::string buttons;
  for (int id : {IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO}) {
    HWND b = GetDlgItem(dlg, id);
    if (!b || !IsWindowVisible(b)) continue;
    if (!buttons.empty()) buttons += ',';
    buttons += std::to_string(id);
  }
  s += "buttons=" + buttons + "\n";
  return s;
}

bool writeFile(const std::wstring& path, const std::string& data) {
  if (path == L"-") {
    out(data);
    return true;
  }
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(f, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
  CloseHandle(f);
  return ok && written == data.size();
}

bool waitDestroyed(HWND h, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  while (IsWindow(h) && IsWindowVisible(h)) {
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(50);
  }
  return true;
}

// A posted WM_COMMAND is what a click on the control finally sends; it needs
// neither focus nor the mouse, which Wine's virtual screen may not grant.
bool pressControl(HWND top, int id) {
  HWND ctl = findChild(top, id);
  if (!ctl) return false;
  if (!IsWindowEnabled(ctl)) return false;
  HWND parent = GetParent(ctl);
  return PostMessageW(parent ? parent : top, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                      reinterpret_cast<LPARAM>(ctl));
}

int cmdWaitDialog(int argc, wchar_t** argv) {
  if (argc != 5 && !(argc == 7 && std::wstring(argv[5]) == L"press")) return 2;
  DWORD timeout = static_cast<DWORD>(_wtoi(argv[3]));
  HWND dlg = waitTop(L"#32770", anyIfDash(argv[2]), timeout);
  if (!dlg) {
    err("uiauto: no dialog\n");
    return 1;
  }
  if (!writeFile(argv[4], describeDialog(dlg))) {
    err("uiauto: cannot write the dialog file\n");
    return 3;
  }
  if (argc == 7) {
    if (!pressControl(dlg, _wtoi(argv[6]))) {
      err("uiauto: no such button\n");
      return 3;
    }
    if (!waitDestroyed(dlg, 10000)) {
      err("uiauto: the dialog stayed\n");
      return 3;
    }
  }
  return 0;
}

void printWindowLine(HWND h) {
  RECT r;
  GetWindowRect(h, &r);
  char buf[160];
  std::snprintf(buf, sizeof buf, "%p\t", static_cast<void*>(h));
  std::string s = buf;
  s += narrow(className(h)) + "\t" + escape(narrow(windowText(h)));
  std::snprintf(buf, sizeof buf, "\t%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left,
                r.bottom - r.top);
  out(s + buf);
}

int cmdWaitWindow(int argc, wchar_t** argv, bool gone) {
  if (argc != 5) return 2;
  const wchar_t* cls = anyIfDash(argv[2]);
  const wchar_t* title = anyIfDash(argv[3]);
  DWORD timeout = static_cast<DWORD>(_wtoi(argv[4]));
  if (!gone) {
    HWND h = waitTop(cls, title, timeout);
    if (!h) return 1;
    printWindowLine(h);
    return 0;
  }
  DWORD start = GetTickCount();
  while (findTop(cls, title)) {
    if (GetTickCount() - start >= timeout) return 1;
    Sleep(50);
  }
  return 0;
}

// The window a real click at `pt` (client coordinates of `top`) reaches:
// the deepest visible child under it, passing through children that answer
// HTTRANSPARENT (labels without notification).
HWND targetAt(HWND top, POINT screenPt) {
  HWND h = top;
  for (;;) {
    POINT p = screenPt;
    ScreenToClient(h, &p);
    HWND c =
        ChildWindowFromPointEx(h, p, CWP_SKIPINVISIBLE | CWP_SKIPDISABLED | CWP_SKIPTRANSPARENT);
    if (!c || c == h) return h;
    LRESULT hit = SendMessageW(c, WM_NCHITTEST, 0, MAKELPARAM(screenPt.x, screenPt.y));
    if (hit == HTTRANSPARENT) return h;
    h = c;
  }
}

int cmdClick(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  HWND top = findTop(nullptr, argv[2]);
  if (!top) {
    err("uiauto: no such window\n");
    return 1;
  }
  std::wstring where = argv[3];
  size_t comma = where.find(L',');
  if (comma == std::wstring::npos) return pressControl(top, _wtoi(where.c_str())) ? 0 : 3;
  POINT pt{_wtoi(where.substr(0, comma).c_str()), _wtoi(where.substr(comma + 1).c_str())};
  ClientToScreen(top, &pt);
  HWND target = targetAt(top, pt);
  POINT local = pt;
  ScreenToClient(target, &local);
  LPARAM lp = MAKELPARAM(local.x, local.y);
  PostMessageW(target, WM_MOUSEMOVE, 0, lp);
  PostMessageW(target, WM_LBUTTONDOWN, MK_LBUTTON, lp);
  PostMessageW(target, WM_LBUTTONUP, 0, lp);
  return 0;
}

int cmdText(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  HWND top = findTop(nullptr, argv[2]);
  if (!top) return 1;
  HWND c = findChild(top, _wtoi(argv[3]));
  if (!c) return 1;
  // An edit field is asked with WM_GETTEXT, as screen readers do:
  // GetWindowText on another process's edit field gives its creation text,
  // not what it shows. Other controls keep the message-free read, which does
  // not wait for a busy window.
  DWORD_PTR length = 0;
  std::wstring text;
  if (lstrcmpiW(className(c).c_str(), L"Edit") == 0 &&
      SendMessageTimeoutW(c, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) {
    std::wstring buf(length + 1, L'\0');
    DWORD_PTR got = 0;
    if (SendMessageTimeoutW(c, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(buf.data()),
                            SMTO_ABORTIFHUNG, 5000, &got)) {
      buf.resize(got);
      text = buf;
    }
  } else {
    text = windowText(c);
  }
  out(narrow(text) + "\n");
  return 0;
}

int cmdWatchText(int argc, wchar_t** argv) {
  if (argc != 7) return 2;
  const std::wstring prefix = argv[4], final = argv[5];
  const DWORD timeout = static_cast<DWORD>(_wtoi(argv[6]));
  const DWORD start = GetTickCount();
  long first = -1;
  for (;;) {
    const DWORD now = GetTickCount();
    if (now - start >= timeout) return 1;
    HWND top = findTop(nullptr, argv[2]);
    HWND c = top ? findChild(top, _wtoi(argv[3])) : nullptr;
    if (c) {
      const std::wstring text = windowText(c);
      if (first < 0 && text.rfind(prefix, 0) == 0) first = static_cast<long>(now - start);
      if (text == final) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "first=%ld final=%lu\n", first,
                      static_cast<unsigned long>(now - start));
        out(buf);
        return 0;
      }
    }
    Sleep(2);
  }
}

int cmdTimeDialog(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  const DWORD timeout = static_cast<DWORD>(_wtoi(argv[2]));
  const DWORD start = GetTickCount();
  while (!findTop(L"#32770", nullptr)) {
    if (GetTickCount() - start >= timeout) return 1;
    Sleep(5);
  }
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  const unsigned long long t =
      (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  out(std::to_string(t / 10000 - 11644473600000ull) + "\n");
  return 0;
}

int cmdLines(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  HWND top = findTop(nullptr, argv[2]);
  if (!top) return 1;
  HWND list = findChild(top, _wtoi(argv[3]));
  if (!list) return 1;
  std::string text;
  for (const std::wstring& line : tooltest::listLines(list)) text += narrow(line) + "\n";
  out(text);
  return 0;
}

int cmdSpy(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  HMODULE dll = LoadLibraryW(argv[2]);
  auto proc =
      dll ? reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(dll, "UiSpyHook")))
          : nullptr;
  HHOOK hook = proc ? SetWindowsHookExW(WH_CALLWNDPROC, proc, dll, 0) : nullptr;
  if (!hook) {
    err("uiauto: cannot hook\n");
    return 3;
  }
  out("ready\n");
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  UnhookWindowsHookEx(hook);
  return 0;
}

int cmdClose(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  HWND top = findTop(nullptr, argv[2]);
  if (!top) return 1;
  return PostMessageW(top, WM_CLOSE, 0, 0) ? 0 : 3;
}

BOOL CALLBACK listChild(HWND h, LPARAM) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "  id=%d%s\t", GetDlgCtrlID(h),
                IsWindowVisible(h) ? "" : " (hidden)");
  out(buf);
  printWindowLine(h);
  return TRUE;
}

BOOL CALLBACK listTop(HWND h, LPARAM) {
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  char buf[64];
  std::snprintf(buf, sizeof buf, "pid=%lu%s\t", pid, IsWindowVisible(h) ? "" : " (hidden)");
  out(buf);
  printWindowLine(h);
  if (IsWindowVisible(h)) EnumChildWindows(h, listChild, 0);
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int rc = 2;
  std::wstring cmd = argc > 1 ? argv[1] : L"";
  if (cmd == L"wait-dialog")
    rc = cmdWaitDialog(argc, argv);
  else if (cmd == L"wait-window")
    rc = cmdWaitWindow(argc, argv, false);
  else if (cmd == L"wait-gone")
    rc = cmdWaitWindow(argc, argv, true);
  else if (cmd == L"click")
    rc = cmdClick(argc, argv);
  else if (cmd == L"text")
    rc = cmdText(argc, argv);
  else if (cmd == L"close")
    rc = cmdClose(argc, argv);
  else if (cmd == L"lines")
    rc = cmdLines(argc, argv);
  else if (cmd == L"spy")
    rc = cmdSpy(argc, argv);
  else if (cmd == L"watch-text")
    rc = cmdWatchText(argc, argv);
  else if (cmd == L"time-dialog")
    rc = cmdTimeDialog(argc, argv);
  else if (cmd == L"hold-desktop") {
    // Wine ends its desktop process when the last windowed program ends and
    // starts it again with the next one, a second each time; one hidden
    // window kept for the whole run spares every test that cost.
    CreateWindowExW(0, L"STATIC", L"uiauto hold-desktop", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                    nullptr, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    rc = 0;
  } else if (cmd == L"list") {
    EnumWindows(listTop, 0);
    rc = 0;
  }
  if (rc == 2)
    err("usage: uiauto wait-dialog|wait-window|wait-gone|click|text|lines|spy|close|list ...\n");
  return rc;
}
