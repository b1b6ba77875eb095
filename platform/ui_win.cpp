// Message box, beep and the pending-event pump on Windows.
#include <windows.h>

#include <cwchar>

#include "platform/ui.h"
#include "platform/win/wide.h"

namespace plat {
namespace {

// Raises a message box above every window that is not itself topmost. The
// box style asks Windows for that, but Wine's message box ignores it.
LRESULT CALLBACK raiseBox(int code, WPARAM wp, LPARAM lp) {
  if (code == HCBT_ACTIVATE) {
    const HWND window = reinterpret_cast<HWND>(wp);
    wchar_t cls[16] = {};
    if (::GetClassNameW(window, cls, 16) > 0 && std::wcscmp(cls, L"#32770") == 0)
      ::SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }
  return ::CallNextHookEx(nullptr, code, wp, lp);
}

class WinUi : public Ui {
 public:
  int messageBox(const std::string& text, int style, const std::string& title) override {
    // Owned by the program's active window (if any), so the box is modal to it.
    const HWND owner = ::GetActiveWindow();
    UINT flags = static_cast<UINT>(style);
    // With no window of ours active (a splash already hidden), an ownerless
    // box could open behind other programs' windows and the question would
    // wait unseen: it comes to the front and stays above them.
    HHOOK raise = nullptr;
    if (!owner) {
      flags |= MB_SETFOREGROUND | MB_TOPMOST;
      raise = ::SetWindowsHookExW(WH_CBT, raiseBox, nullptr, ::GetCurrentThreadId());
    }
    const int answer =
        ::MessageBoxW(owner, win::widen(text).c_str(), win::widen(title).c_str(), flags);
    if (raise) ::UnhookWindowsHookEx(raise);
    return answer;
  }
  void beep() override { ::MessageBeep(MB_OK); }
  void pumpEvents() override {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        // Leave the quit for the program's own loop.
        ::PostQuitMessage(static_cast<int>(msg.wParam));
        return;
      }
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
  }
};

}  // namespace

std::unique_ptr<Ui> makeNativeUi() {
  return std::make_unique<WinUi>();
}

}  // namespace plat
