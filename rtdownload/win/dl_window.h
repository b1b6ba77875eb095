#pragma once
// The Win32 window frmDLTest and the download control on it. Standard
// controls carry what the user reads and presses (a list box, a static
// label, a push button), so screen readers and UI automation reach them.
// Window thread only (a single-threaded apartment that pumps messages);
// owns its window, font, bitmap and the control with its container.
#include <windows.h>
#include <ole2.h>

#include <string>

#include "dlcontrol/win/lumvex_host.h"
#include "rtdownload/rundrel.h"

namespace rtd::win {

// Control ids, for the tests that read and press them.
inline constexpr int kListId = 101;    // lstOut
inline constexpr int kLabelId = 102;   // Label1
inline constexpr int kCancelId = 103;  // cmdCancel

// The control's members by dispatch id.
class LumvexControl : public DownloadControl {
 public:
  explicit LumvexControl(IDispatch* control) : control_(control) {}
  void setFileURL(const std::string& url) override;
  void setSaveFilePath(const std::string& folder) override;
  bool beginDownload() override;
  void cancelDownload() override;

 private:
  IDispatch* control_;
};

class DLTestWindow : public RundrelWindow {
 public:
  explicit DLTestWindow(HINSTANCE instance);
  ~DLTestWindow() override;
  DLTestWindow(const DLTestWindow&) = delete;
  DLTestWindow& operator=(const DLTestWindow&) = delete;

  // Creates the window (hidden), its controls and the download control from
  // Lumvex.ocx beside the program. On failure `error` says what failed.
  bool create(std::wstring& error);
  IDispatch* control() const { return control_.get(); }
  void attach(Rundrel* logic) { logic_ = logic; }
  void show();
  bool ended() const { return ended_; }
  // Lets go of the control and destroys the window; after the message loop.
  void destroy();

  int appendLine(const std::string& line) override;
  int topIndex() const override;
  void setTopIndex(int index) override;
  void setLabel(const std::string& text) override;
  void setCancelEnabled(bool enabled) override;
  void close() override;
  void endProgram() override;

 private:
  static LRESULT CALLBACK windowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT handle(UINT msg, WPARAM wp, LPARAM lp);
  HWND child(const wchar_t* cls, const std::wstring& text, DWORD style, const RECT& r, int id);
  bool createControl(std::wstring& error);
  int px(int pixelsAt96) const { return MulDiv(pixelsAt96, dpi_, 96); }

  HINSTANCE instance_;
  HWND hwnd_ = nullptr;
  HWND list_ = nullptr;
  HWND label_ = nullptr;
  HWND cancel_ = nullptr;
  HWND site_ = nullptr;
  HFONT font_ = nullptr;
  HBITMAP banner_ = nullptr;
  int dpi_ = 96;
  lumvex::ComPtr<IDispatch> control_;
  lumvex::ComPtr<IUnknown> container_;
  Rundrel* logic_ = nullptr;
  bool ended_ = false;
};

}  // namespace rtd::win
