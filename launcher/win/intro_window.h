#pragma once
// The Win32 start-up window: a borderless tool window (no taskbar button)
// with the splash picture and the two labels. It turns timer ticks and the
// click on Label1 into calls of the IntroLogic and carries out what the
// logic asks. Window thread only; owns its window, fonts, brushes and bitmap.
#include <windows.h>

#include <string>

#include "launcher/intro.h"
#include "platform/win/gdi.h"

namespace launcher::win {

class IntroWin32 : public IntroWindow {
 public:
  explicit IntroWin32(HINSTANCE instance);
  ~IntroWin32() override;
  IntroWin32(const IntroWin32&) = delete;
  IntroWin32& operator=(const IntroWin32&) = delete;

  // Creates the window (hidden) and its controls; false when it cannot.
  bool create();
  void attach(IntroLogic* logic) { logic_ = logic; }
  // The screen's size in twips at the screen's DPI.
  TwipRect screenTwips() const;
  bool ended() const { return ended_; }
  HWND handle() const { return hwnd_; }

  void show() override;
  void place(const TwipRect& r) override;
  void setCaption(const std::string& text) override;
  bool startTimer(int id, int intervalMs) override;
  void stopTimer(int id) override;
  void hide() override;
  void close() override;
  void endLauncher() override;

 private:
  static LRESULT CALLBACK windowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT handle(UINT msg, WPARAM wp, LPARAM lp);
  void paint();
  int px(double twips) const { return twipsToPixels(twips, dpi_); }
  HWND makeLabel(const TwipRect& r, const std::string& caption, int id);

  HINSTANCE instance_;
  HWND hwnd_ = nullptr;
  HWND label1_ = nullptr;
  HWND label2_ = nullptr;
  plat::win::UniqueFont label1Font_;
  plat::win::UniqueFont label2Font_;
  plat::win::UniqueBrush label1Back_;
  plat::win::UniqueBrush label2Back_;
  plat::win::UniqueBitmap splash_;
  plat::win::UniqueIcon icon_;  // the class's icons: freed once the class is gone
  plat::win::UniqueIcon smallIcon_;
  int dpi_ = 96;
  IntroLogic* logic_ = nullptr;
  bool ended_ = false;
};

}  // namespace launcher::win
