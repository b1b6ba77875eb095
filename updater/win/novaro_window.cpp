#include "updater/win/novaro_window.h"

#include <exception>

#include "platform/error.h"
#include "platform/win/wide.h"
#include "platform/win/window_owner.h"
#include "rtdownload/win/window_parts.h"
#include "updater/win/resource.h"

namespace upd::win {

using plat::win::narrow;
using plat::win::widen;

namespace {

constexpr wchar_t kClassName[] = L"NovaroForm2";
constexpr wchar_t kBarClass[] = L"NovaroProcessBar";
constexpr wchar_t kSiteClass[] = L"NovaroDLSite";

// Positions and sizes in twips, as the window was designed.
struct TwipRect {
  int left, top, width, height;
};
constexpr TwipRect kClient{0, 0, 7245, 4470};
constexpr TwipRect kText2{3840, 360, 2295, 255};
constexpr TwipRect kText1{600, 600, 5655, 270};
constexpr TwipRect kLstOut{2040, 1320, 3255, 930};
constexpr TwipRect kDl{2160, 2640, 4335, 135};
constexpr TwipRect kImage1{2000, 3000, 4695, 420};
constexpr TwipRect kProcessBar{2160, 3120, 4335, 135};
constexpr TwipRect kLabel1{2040, 3840, 2655, 255};
constexpr TwipRect kCommand1{5160, 3840, 1815, 375};

constexpr wchar_t kFontFace[] = L"宋体";
constexpr int kFontPoints = 9;

COLORREF toColorRef(Color c) {
  return static_cast<COLORREF>(c & 0xFFFFFF);
}

plat::PlatformError controlError(HRESULT hr, const std::wstring& text) {
  if (!text.empty()) return plat::PlatformError(static_cast<int>(hr & 0xFFFF), narrow(text));
  return plat::PlatformError(static_cast<int>(hr & 0xFFFF), "The download control refused");
}

}  // namespace

// ---- picProcessBar ----------------------------------------------------------

BarWindow::~BarWindow() {
  if (memory_) {
    SelectObject(memory_, oldBitmap_);
    DeleteDC(memory_);
  }
  if (bitmap_) DeleteObject(bitmap_);
}

bool BarWindow::create(HWND parent, HINSTANCE instance, int x, int y, int w, int h) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = &BarWindow::proc;
  wc.hInstance = instance;
  wc.lpszClassName = kBarClass;
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
  RegisterClassW(&wc);
  hwnd_ =
      CreateWindowExW(0, kBarClass, L"", WS_CHILD, x, y, w, h, parent,
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kProcessBarId)), instance, this);
  if (!hwnd_) return false;
  width_ = w;
  height_ = h;
  HDC screen = GetDC(hwnd_);
  memory_ = CreateCompatibleDC(screen);
  bitmap_ = CreateCompatibleBitmap(screen, w, h);
  ReleaseDC(hwnd_, screen);
  if (!memory_ || !bitmap_) return false;
  oldBitmap_ = SelectObject(memory_, bitmap_);
  fillRect(0, 0, w, h, 0xFFFFFF);
  return true;
}

void BarWindow::show(Color background) {
  fillRect(0, 0, width_, height_, background);
  ShowWindow(hwnd_, SW_SHOW);
}

void BarWindow::hide() {
  ShowWindow(hwnd_, SW_HIDE);
}

void BarWindow::fillRect(int left, int top, int right, int bottom, Color color) {
  if (!memory_ || right <= left || bottom <= top) return;
  RECT r{left, top, right, bottom};
  // The DC's brush colour avoids making and deleting a brush per rectangle.
  SelectObject(memory_, GetStockObject(DC_BRUSH));
  SetDCBrushColor(memory_, toColorRef(color));
  FillRect(memory_, &r, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
  InvalidateRect(hwnd_, &r, FALSE);
}

LRESULT CALLBACK BarWindow::proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    SetWindowLongPtrW(
        hwnd, GWLP_USERDATA,
        reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams));
  }
  auto* self = reinterpret_cast<BarWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (msg == WM_PAINT && self) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    if (self->memory_)
      BitBlt(dc, ps.rcPaint.left, ps.rcPaint.top, ps.rcPaint.right - ps.rcPaint.left,
             ps.rcPaint.bottom - ps.rcPaint.top, self->memory_, ps.rcPaint.left, ps.rcPaint.top,
             SRCCOPY);
    EndPaint(hwnd, &ps);
    return 0;
  }
  if (msg == WM_ERASEBKGND) return 1;
  return DefWindowProcW(hwnd, msg, wp, lp);
}

// ---- DL -------------------------------------------------------------------

bool DlControl::create(HWND parent, HINSTANCE instance, int x, int y, int w, int h,
                       dl::ControlEvents& events) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = instance;
  wc.lpszClassName = kSiteClass;
  RegisterClassW(&wc);
  site_ = CreateWindowExW(0, kSiteClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, x, y, w, h,
                          parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kDlId)), instance,
                          nullptr);
  if (!site_) return false;
  lumvex::ComPtr<IDispatch> control;
  if (FAILED(lumvex::createBorderlessControl(kFontFace, kFontPoints, control.put()))) return false;
  if (FAILED(events_.connect(control.get(), events))) return false;
  if (FAILED(lumvex::attachToWindow(control.get(), site_, container_.put()))) {
    events_.disconnect();
    return false;
  }
  control_ = std::move(control);
  return true;
}

void DlControl::setFileURL(const std::string& url) {
  if (!control_) throw plat::errorOf(plat::kErrFileNotFound);
  std::wstring error;
  const HRESULT hr =
      lumvex::putString(control_.get(), lumvex::dispid::kFileURL, widen(url), &error);
  if (FAILED(hr)) throw controlError(hr, error);
}

void DlControl::setSaveFilePath(const std::string& folder) {
  if (!control_) throw plat::errorOf(plat::kErrFileNotFound);
  std::wstring error;
  const HRESULT hr =
      lumvex::putString(control_.get(), lumvex::dispid::kSaveFilePath, widen(folder), &error);
  if (FAILED(hr)) throw controlError(hr, error);
}

std::string DlControl::fileURL() {
  std::wstring url;
  if (control_) lumvex::getString(control_.get(), lumvex::dispid::kFileURL, url);
  return narrow(url);
}

bool DlControl::beginDownload() {
  if (!control_) throw plat::errorOf(plat::kErrFileNotFound);
  bool started = false;
  lumvex::beginDownload(control_.get(), started);
  return started;
}

// ---- Form2 ------------------------------------------------------------------

NovaroWindow::NovaroWindow(HINSTANCE instance) : instance_(instance), dpi_(rtd::win::screenDpi()) {}

NovaroWindow::~NovaroWindow() {
  if (hwnd_ && IsWindow(hwnd_)) DestroyWindow(hwnd_);
  if (font_) DeleteObject(font_);
  if (background_) DeleteObject(background_);
  if (frame_) DeleteObject(frame_);
}

HWND NovaroWindow::child(const wchar_t* cls, const wchar_t* text, DWORD style, int id, int l, int t,
                         int w, int h) {
  return rtd::win::createChild(hwnd_, instance_, cls, text, style, id, l, t, w, h, font_);
}

bool NovaroWindow::create(dl::ControlEvents& events) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &NovaroWindow::proc;
  wc.hInstance = instance_;
  wc.hIcon = LoadIconW(instance_, MAKEINTRESOURCEW(IDI_NOVARO));
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClassName;
  if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;

  background_ = static_cast<HBITMAP>(LoadImageW(instance_, MAKEINTRESOURCEW(IDB_BACKGROUND),
                                                IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  frame_ = static_cast<HBITMAP>(
      LoadImageW(instance_, MAKEINTRESOURCEW(IDB_FRAME), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  font_ = rtd::win::createWindowFont(kFontFace, kFontPoints, dpi_);

  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  RECT r{0, 0, px(kClient.width), px(kClient.height)};
  AdjustWindowRectEx(&r, style, FALSE, 0);
  const int w = r.right - r.left, h = r.bottom - r.top;
  const int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2,
            y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
  hwnd_ = CreateWindowExW(0, kClassName, widen(kCaption).c_str(), style, x, y, w, h, nullptr,
                          nullptr, instance_, this);
  if (!hwnd_) return false;

  auto at = [this](const TwipRect& t, auto&& make) {
    return make(px(t.left), px(t.top), px(t.width), px(t.height));
  };
  text2_ = at(kText2, [&](int l, int t, int w2, int h2) {
    return child(L"EDIT", L"", WS_BORDER | ES_AUTOHSCROLL, kText2Id, l, t, w2, h2);
  });
  text1_ = at(kText1, [&](int l, int t, int w2, int h2) {
    return child(L"EDIT", L"", WS_BORDER | ES_AUTOHSCROLL, kText1Id, l, t, w2, h2);
  });
  lstOut_ = at(kLstOut, [&](int l, int t, int w2, int h2) {
    return child(L"LISTBOX", L"", WS_BORDER | WS_VSCROLL | LBS_NOINTEGRALHEIGHT, kLstOutId, l, t,
                 w2, h2);
  });
  label1_ = at(kLabel1, [&](int l, int t, int w2, int h2) {
    return child(L"STATIC", L"", SS_LEFT, kLabel1Id, l, t, w2, h2);
  });
  command1_ = at(kCommand1, [&](int l, int t, int w2, int h2) {
    return child(L"BUTTON", widen(kButtonCaption).c_str(), BS_PUSHBUTTON | WS_TABSTOP, kCommand1Id,
                 l, t, w2, h2);
  });
  bar_.create(hwnd_, instance_, px(kProcessBar.left), px(kProcessBar.top), px(kProcessBar.width),
              px(kProcessBar.height));
  dl_.create(hwnd_, instance_, px(kDl.left), px(kDl.top), px(kDl.width), px(kDl.height), events);
  return text1_ && text2_ && lstOut_ && label1_ && command1_;
}

void NovaroWindow::show() {
  ShowWindow(hwnd_, SW_SHOW);
  UpdateWindow(hwnd_);
  SetFocus(command1_);
}

void NovaroWindow::endProgram() {
  ended_ = true;
  PostQuitMessage(0);
}

int NovaroWindow::appendLine(const std::string& line) {
  return rtd::win::appendListLine(lstOut_, line);
}

int NovaroWindow::topIndex() const {
  return rtd::win::listTopIndex(lstOut_);
}

void NovaroWindow::setTopIndex(int index) {
  rtd::win::setListTopIndex(lstOut_, index);
}

void NovaroWindow::setLabel(const std::string& text) {
  SetWindowTextW(label1_, widen(text).c_str());
}

void NovaroWindow::setStamps(const std::string& text2, const std::string& text1) {
  SetWindowTextW(text2_, widen(text2).c_str());
  SetWindowTextW(text1_, widen(text1).c_str());
}

// The window goes off the screen; it is destroyed with this object, after
// the control's event that closed it has returned.
void NovaroWindow::close() {
  if (hwnd_) ShowWindow(hwnd_, SW_HIDE);
}

void NovaroWindow::paint() {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd_, &ps);
  HDC mem = CreateCompatibleDC(dc);
  auto blit = [&](HBITMAP bmp, int x, int y, int w, int h) {
    if (!bmp) return;
    BITMAP info{};
    GetObjectW(bmp, sizeof info, &info);
    HGDIOBJ old = SelectObject(mem, bmp);
    SetStretchBltMode(dc, HALFTONE);
    StretchBlt(dc, x, y, w, h, mem, 0, 0, info.bmWidth, info.bmHeight, SRCCOPY);
    SelectObject(mem, old);
  };
  blit(background_, 0, 0, px(kClient.width), px(kClient.height));
  blit(frame_, px(kImage1.left), px(kImage1.top), px(kImage1.width), px(kImage1.height));
  DeleteDC(mem);
  EndPaint(hwnd_, &ps);
}

LRESULT CALLBACK NovaroWindow::proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  return plat::win::routeToOwner<NovaroWindow, &NovaroWindow::hwnd_, &NovaroWindow::handle>(
      hwnd, msg, wp, lp);
}

LRESULT NovaroWindow::handle(UINT msg, WPARAM wp, LPARAM lp) {
  // No exception leaves a window procedure; the run traps its own failures.
  try {
    switch (msg) {
      case WM_COMMAND:
        if (LOWORD(wp) == kCommand1Id && HIWORD(wp) == BN_CLICKED && run_) run_->ExaminesVer();
        return 0;
      case WM_CLOSE:
        if (!run_ || run_->mayClose()) {
          ShowWindow(hwnd_, SW_HIDE);
          endProgram();
        }
        return 0;
      case WM_CTLCOLORSTATIC:
        if (reinterpret_cast<HWND>(lp) == label1_) {
          SetBkMode(reinterpret_cast<HDC>(wp), TRANSPARENT);
          SetTextColor(reinterpret_cast<HDC>(wp), RGB(0, 0, 128));
          return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
        }
        break;
      case WM_ERASEBKGND:
        return 1;
      case WM_PAINT:
        paint();
        return 0;
      default:
        break;
    }
  } catch (const std::exception&) {
    return 0;
  }
  return DefWindowProcW(hwnd_, msg, wp, lp);
}

Moment localMoment() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  return Moment{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
}

std::string systemDateTime() {
  wchar_t date[128] = {}, time[128] = {};
  GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, nullptr, nullptr, date, 128);
  GetTimeFormatW(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, time, 128);
  return narrow(date) + " " + narrow(time);
}

}  // namespace upd::win
