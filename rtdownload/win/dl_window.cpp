#include "dl_window.h"

#include "platform/win/wide.h"
#include "platform/win/window_owner.h"
#include "resource.h"
#include "rtdownload/win/window_parts.h"

namespace rtd::win {

using plat::win::widen;

namespace {

constexpr wchar_t kClassName[] = L"RundrelDLTest";
constexpr wchar_t kSiteClassName[] = L"RundrelControlSite";
constexpr int kClientWidth = 329;
constexpr int kClientHeight = 232;
constexpr RECT kBanner{8, 8, 8 + 313, 8 + 28};
constexpr RECT kStrip{16, 44, 16 + 297, 44 + 9};
constexpr RECT kList{8, 60, 8 + 313, 60 + 132};
constexpr RECT kLabel{8, 204, 8 + 224, 204 + 16};
constexpr RECT kCancel{241, 200, 241 + 80, 200 + 24};
// 宋体 (SimSun) 9 pt, character set GB2312.
constexpr wchar_t kFontName[] = L"\u5B8B\u4F53";
constexpr int kFontPoints = 9;

}  // namespace

void LumvexControl::setFileURL(const std::string& url) {
  lumvex::putString(control_, lumvex::dispid::kFileURL, widen(url));
}

void LumvexControl::setSaveFilePath(const std::string& folder) {
  lumvex::putString(control_, lumvex::dispid::kSaveFilePath, widen(folder));
}

bool LumvexControl::beginDownload() {
  bool started = false;
  lumvex::beginDownload(control_, started);
  return started;
}

void LumvexControl::cancelDownload() {
  lumvex::callMethod(control_, lumvex::dispid::kCancelDownload, nullptr, 0, nullptr);
}

DLTestWindow::DLTestWindow(HINSTANCE instance) : instance_(instance), dpi_(screenDpi()) {}

DLTestWindow::~DLTestWindow() {
  destroy();
  if (font_) DeleteObject(font_);
  if (banner_) DeleteObject(banner_);
}

HWND DLTestWindow::child(const wchar_t* cls, const std::wstring& text, DWORD style, const RECT& r,
                         int id) {
  return createChild(hwnd_, instance_, cls, text.c_str(), style, id, px(r.left), px(r.top),
                     px(r.right - r.left), px(r.bottom - r.top), font_);
}

bool DLTestWindow::create(std::wstring& error) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &DLTestWindow::windowProc;
  wc.hInstance = instance_;
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClassName;
  if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
  WNDCLASSEXW site{};
  site.cbSize = sizeof site;
  site.lpfnWndProc = DefWindowProcW;
  site.hInstance = instance_;
  site.lpszClassName = kSiteClassName;
  if (!RegisterClassExW(&site) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;

  font_ = createWindowFont(kFontName, kFontPoints, dpi_);
  banner_ = static_cast<HBITMAP>(
      LoadImageW(instance_, MAKEINTRESOURCEW(IDB_BANNER), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));

  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  RECT frame{0, 0, px(kClientWidth), px(kClientHeight)};
  AdjustWindowRectEx(&frame, style, FALSE, 0);
  const int w = frame.right - frame.left, h = frame.bottom - frame.top;
  hwnd_ = CreateWindowExW(
      0, kClassName, widen(kCaption).c_str(), style, (GetSystemMetrics(SM_CXSCREEN) - w) / 2,
      (GetSystemMetrics(SM_CYSCREEN) - h) / 2, w, h, nullptr, nullptr, instance_, this);
  if (!hwnd_) {
    error = L"CreateWindow";
    return false;
  }
  HWND image = child(L"STATIC", L"", SS_BITMAP, kBanner, 100);
  if (image && banner_)
    SendMessageW(image, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(banner_));
  list_ = child(L"LISTBOX", L"", WS_BORDER | WS_VSCROLL | LBS_NOINTEGRALHEIGHT, kList, kListId);
  label_ = child(L"STATIC", L"", SS_LEFT | SS_NOPREFIX, kLabel, kLabelId);
  cancel_ = child(L"BUTTON", widen(kCancelCaption), WS_TABSTOP | BS_PUSHBUTTON, kCancel, kCancelId);
  if (!list_ || !label_ || !cancel_) {
    error = L"CreateWindow";
    return false;
  }
  EnableWindow(cancel_, FALSE);
  return createControl(error);
}

// DL: created from Lumvex.ocx in the program folder (no registration
// needed), stored as a borderless strip in 9-point 宋体.
bool DLTestWindow::createControl(std::wstring& error) {
  const std::wstring ocx = lumvex::controlBesideProgram();
  HRESULT hr = lumvex::createBorderlessControl(kFontName, kFontPoints, control_.put());
  if (SUCCEEDED(hr)) {
    site_ = CreateWindowExW(0, kSiteClassName, L"", WS_CHILD | WS_VISIBLE, px(kStrip.left),
                            px(kStrip.top), px(kStrip.right - kStrip.left),
                            px(kStrip.bottom - kStrip.top), hwnd_, nullptr, instance_, nullptr);
    hr = site_ ? lumvex::attachToWindow(control_.get(), site_, container_.put()) : E_FAIL;
  }
  if (FAILED(hr)) {
    wchar_t* text = nullptr;
    FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    wchar_t number[16];
    wsprintfW(number, L"0x%08X", static_cast<unsigned>(hr));
    error = ocx + L"\r\n" + number + (text ? L" " + std::wstring(text) : std::wstring());
    if (text) LocalFree(text);
    control_.reset();
    return false;
  }
  return true;
}

void DLTestWindow::show() {
  if (!hwnd_) return;
  ShowWindow(hwnd_, SW_SHOW);
  UpdateWindow(hwnd_);
}

void DLTestWindow::destroy() {
  container_.reset();
  control_.reset();
  HWND h = hwnd_;
  hwnd_ = nullptr;
  if (h && IsWindow(h)) DestroyWindow(h);
}

int DLTestWindow::appendLine(const std::string& line) {
  return appendListLine(list_, line);
}

int DLTestWindow::topIndex() const {
  return listTopIndex(list_);
}

void DLTestWindow::setTopIndex(int index) {
  setListTopIndex(list_, index);
}

void DLTestWindow::setLabel(const std::string& text) {
  if (label_) SetWindowTextW(label_, widen(text).c_str());
}

void DLTestWindow::setCancelEnabled(bool enabled) {
  if (cancel_) EnableWindow(cancel_, enabled ? TRUE : FALSE);
}

// Closing runs inside the control's own event: the window goes out of sight
// at once, and is torn down with the control once the loop has ended, so the
// control never loses its site while one of its calls is still running.
void DLTestWindow::close() {
  if (hwnd_) {
    EnableWindow(hwnd_, FALSE);
    ShowWindow(hwnd_, SW_HIDE);
  }
}

void DLTestWindow::endProgram() {
  if (ended_) return;
  ended_ = true;
  PostQuitMessage(0);
}

LRESULT CALLBACK DLTestWindow::windowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  return plat::win::routeToOwner<DLTestWindow, &DLTestWindow::hwnd_, &DLTestWindow::handle>(
      hwnd, msg, wp, lp);
}

LRESULT DLTestWindow::handle(UINT msg, WPARAM wp, LPARAM lp) {
  HWND hwnd = hwnd_;
  // No exception may leave a window procedure; anything unexpected ends
  // the program rather than the process abruptly.
  try {
    switch (msg) {
      case WM_COMMAND:
        if (LOWORD(wp) == kCancelId && HIWORD(wp) == BN_CLICKED && logic_) logic_->cancelClicked();
        return 0;
      case WM_CLOSE:
        if (logic_)
          logic_->closeClicked();
        else
          endProgram();
        return 0;
      default:
        break;
    }
  } catch (...) {
    close();
    endProgram();
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace rtd::win
