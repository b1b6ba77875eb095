// Message box, beep and the pending-event pump on Windows.
#include <windows.h>

#include "platform/ui.h"
#include "platform/win/wide.h"

namespace plat {
namespace {

class WinUi : public Ui {
 public:
  int messageBox(const std::string& text, int style, const std::string& title) override {
    // Owned by the program's active window (if any), so the box is modal to it.
    return ::MessageBoxW(::GetActiveWindow(), win::widen(text).c_str(), win::widen(title).c_str(),
                         static_cast<UINT>(style));
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
