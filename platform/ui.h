#pragma once
// The small user-interface services: message box, beep, pumping pending
// events. Call only from the program's window thread.
#include <memory>
#include <string>

namespace plat {

namespace mb {
inline constexpr int kOk = 0;
inline constexpr int kYesNo = 4;
inline constexpr int kCritical = 16;
inline constexpr int kQuestion = 32;
inline constexpr int kExclamation = 48;
inline constexpr int kInformation = 64;
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;
}  // namespace mb

class Ui {
 public:
  virtual ~Ui() = default;
  // Modal message box; returns the button pressed (mb::kIdOk, kIdYes, ...).
  virtual int messageBox(const std::string& text, int style, const std::string& title) = 0;
  virtual void beep() = 0;
  // Handles the window messages that are waiting, then returns.
  virtual void pumpEvents() = 0;
};

// Windows: MessageBoxW, MessageBeep, PeekMessage loop. POSIX: the message on
// standard error (answer: the default button), no beep, nothing to pump.
std::unique_ptr<Ui> makeNativeUi();

}  // namespace plat
