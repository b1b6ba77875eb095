#pragma once
// The control's platform services on Windows: the message loop of its
// thread (for a waiting download), writing the downloaded file into place,
// deleting files and the critical message box.
#include <windows.h>

#include "dlcontrol/engine.h"
#include "dlcontrol/win/gdi_surface.h"

namespace lumvex {

class WinPlatform final : public dl::ControlPlatform {
 public:
  explicit WinPlatform(const SurfaceOwner& owner) : owner_(owner) {}
  void pumpMessages() override;
  void waitForMessage() override;
  void writeContent(const std::string& path, const dl::ReadContent& content) override;
  void deleteFile(const std::string& path) override;
  void criticalMessageBox(const std::string& prompt, const std::string& title) override;

  // A WM_QUIT taken out of the queue while pumping for a waiting download;
  // it is posted again once the wait is over.
  void repostQuit() {
    if (quitPending_) {
      quitPending_ = false;
      PostQuitMessage(quitCode_);
    }
  }

 private:
  const SurfaceOwner& owner_;  // the window the message box belongs to
  bool quitPending_ = false;
  int quitCode_ = 0;
};

}  // namespace lumvex
