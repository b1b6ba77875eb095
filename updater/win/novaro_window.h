#pragma once
// The updater's window Form2 on Win32: standard controls for what the user
// reads and presses (so screen readers and UI automation reach them), the
// download control DL hosted from the program folder's Lumvex.ocx, and the
// installation bar drawn into a bitmap of its own.
//
// Window thread only. The window owns the bar, the control and the event
// connection; the run (upd::UpdateRun) is owned by the caller and attached
// after creation.
// <windows.h> must come first.
// clang-format off
#include <windows.h>
#include <ole2.h>
// clang-format on

#include <memory>
#include <string>

#include "dlcontrol/win/lumvex_host.h"
#include "updater/update_run.h"

namespace upd::win {

// Control ids, which the UI-automation tests use too.
inline constexpr int kText1Id = 101;
inline constexpr int kText2Id = 102;
inline constexpr int kLstOutId = 103;
inline constexpr int kLabel1Id = 104;
inline constexpr int kCommand1Id = 105;
inline constexpr int kProcessBarId = 106;
inline constexpr int kDlId = 107;

// picProcessBar: a child window showing a bitmap the run draws into.
class BarWindow : public Canvas {
 public:
  ~BarWindow() override;
  bool create(HWND parent, HINSTANCE instance, int x, int y, int w, int h);
  void show(Color background);
  void hide();
  int width() override { return width_; }
  int height() override { return height_; }
  void fillRect(int left, int top, int right, int bottom, Color color) override;

 private:
  static LRESULT CALLBACK proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  HWND hwnd_ = nullptr;
  HDC memory_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ oldBitmap_ = nullptr;
  int width_ = 0, height_ = 0;
};

// DL through its dispatch interface.
class DlControl : public DownloadControl {
 public:
  // Creates the control from the program folder's Lumvex.ocx and places it on
  // a child of `parent`. False when the library is missing or refuses; the
  // window then still works, and a start fails with the start message.
  bool create(HWND parent, HINSTANCE instance, int x, int y, int w, int h,
              dl::ControlEvents& events);
  void setFileURL(const std::string& url) override;
  void setSaveFilePath(const std::string& folder) override;
  std::string fileURL() override;
  bool beginDownload() override;

 private:
  lumvex::ComPtr<IDispatch> control_;
  lumvex::ComPtr<IUnknown> container_;
  lumvex::EventConnection events_;
  HWND site_ = nullptr;
};

class NovaroWindow : public UpdateView {
 public:
  explicit NovaroWindow(HINSTANCE instance);
  ~NovaroWindow() override;

  // Makes the window (hidden) and its controls; `events` receives DL's events.
  bool create(dl::ControlEvents& events);
  void attach(UpdateRun* run) { run_ = run; }
  void show();
  DlControl& control() { return dl_; }
  HWND handle() const { return hwnd_; }
  bool ended() const { return ended_; }
  void endProgram();

  // UpdateView
  int appendLine(const std::string& line) override;
  int topIndex() const override;
  void setTopIndex(int index) override;
  void setLabel(const std::string& text) override;
  void setStamps(const std::string& text2, const std::string& text1) override;
  void hideBar() override { bar_.hide(); }
  void showBar(Color background) override { bar_.show(background); }
  Canvas& bar() override { return bar_; }
  void close() override;

 private:
  static LRESULT CALLBACK proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT handle(UINT msg, WPARAM wp, LPARAM lp);
  int px(int twips) const { return MulDiv(twips, dpi_, 1440); }
  HWND child(const wchar_t* cls, const wchar_t* text, DWORD style, int id, int l, int t, int w,
             int h);
  void paint();

  HINSTANCE instance_;
  int dpi_ = 96;
  HWND hwnd_ = nullptr;
  HWND text1_ = nullptr, text2_ = nullptr, lstOut_ = nullptr, label1_ = nullptr,
       command1_ = nullptr;
  HFONT font_ = nullptr;
  HBITMAP background_ = nullptr, frame_ = nullptr;
  BarWindow bar_;
  DlControl dl_;
  UpdateRun* run_ = nullptr;
  bool ended_ = false;
};

// The local date and time, and the same in the system's short formats.
Moment localMoment();
std::string systemDateTime();

}  // namespace upd::win
