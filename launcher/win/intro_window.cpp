#include "launcher/win/intro_window.h"

#include <algorithm>

#include "launcher/win/resource.h"
#include "platform/win/wide.h"
#include "platform/win/window_owner.h"

namespace launcher::win {

using plat::win::widen;

namespace {

constexpr wchar_t kClassName[] = L"OrvaneIntro";
constexpr int kLabel1Id = 11;
constexpr int kLabel2Id = 12;
constexpr COLORREF kLabel1Text = RGB(255, 0, 0);
constexpr COLORREF kLabel1Back = RGB(232, 238, 243);  // the picture's lower band
constexpr COLORREF kLabel2Text = RGB(64, 64, 64);
constexpr COLORREF kLabel2Back = RGB(255, 255, 255);
constexpr COLORREF kFrame = RGB(96, 96, 96);
constexpr int kSplashWidth = 500;
constexpr int kSplashHeight = 174;

}  // namespace

IntroWin32::IntroWin32(HINSTANCE instance) : instance_(instance), dpi_(plat::win::screenDpi()) {}

IntroWin32::~IntroWin32() {
  close();
  // The class holds the icons until it is gone; the members free them after.
  UnregisterClassW(kClassName, instance_);
}

bool IntroWin32::create() {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = &IntroWin32::windowProc;
  wc.hInstance = instance_;
  // Unshared, at exactly the sizes wanted (shared loading is for the system
  // sizes only); freed with the window.
  icon_.reset(static_cast<HICON>(
      LoadImageW(instance_, MAKEINTRESOURCEW(IDI_ORVANE), IMAGE_ICON, 48, 48, LR_DEFAULTCOLOR)));
  smallIcon_.reset(static_cast<HICON>(
      LoadImageW(instance_, MAKEINTRESOURCEW(IDI_ORVANE), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR)));
  wc.hIcon = icon_.get();
  wc.hIconSm = smallIcon_.get();
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  wc.lpszClassName = kClassName;
  if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;

  splash_.reset(static_cast<HBITMAP>(LoadImageW(instance_, MAKEINTRESOURCEW(IDB_SPLASH),
                                                IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
  const int label1Height = -MulDiv(static_cast<int>(kLabel1FontPoints * 100), dpi_, 7200);
  label1Font_.reset(CreateFontW(label1Height, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE,
                                DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Tahoma"));
  label2Font_.reset(CreateFontW(label1Height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                                DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Tahoma"));
  label1Back_.reset(CreateSolidBrush(kLabel1Back));
  label2Back_.reset(CreateSolidBrush(kLabel2Back));

  // A tool window has no taskbar button; WS_POPUP without a caption has no
  // border or title bar.
  hwnd_ = CreateWindowExW(WS_EX_TOOLWINDOW, kClassName, widen(kIntroTitle).c_str(),
                          WS_POPUP | WS_CLIPCHILDREN, 0, 0, px(kIntroClient.width),
                          px(kIntroClient.height), nullptr, nullptr, instance_, this);
  if (!hwnd_) return false;
  label2_ = makeLabel(kLabel2, kLabel2Caption, kLabel2Id);
  label1_ = makeLabel(kLabel1, kCountdown3, kLabel1Id);
  if (label1_)
    SendMessageW(label1_, WM_SETFONT, reinterpret_cast<WPARAM>(label1Font_.get()), FALSE);
  if (label2_)
    SendMessageW(label2_, WM_SETFONT, reinterpret_cast<WPARAM>(label2Font_.get()), FALSE);
  return label1_ && label2_;
}

HWND IntroWin32::makeLabel(const TwipRect& r, const std::string& caption, int id) {
  return CreateWindowExW(0, L"STATIC", widen(caption).c_str(),
                         WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOTIFY, px(r.left), px(r.top),
                         px(r.width), px(r.height), hwnd_,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
}

TwipRect IntroWin32::screenTwips() const {
  return {0, 0, pixelsToTwips(GetSystemMetrics(SM_CXSCREEN), dpi_),
          pixelsToTwips(GetSystemMetrics(SM_CYSCREEN), dpi_)};
}

void IntroWin32::show() {
  if (!hwnd_) return;
  ShowWindow(hwnd_, SW_SHOW);
  UpdateWindow(hwnd_);
}

void IntroWin32::place(const TwipRect& r) {
  if (!hwnd_) return;
  SetWindowPos(hwnd_, nullptr, px(r.left), px(r.top), std::max(px(r.width), 0),
               std::max(px(r.height), 0), SWP_NOZORDER | SWP_NOACTIVATE);
}

void IntroWin32::setCaption(const std::string& text) {
  if (label1_ && hwnd_) SetWindowTextW(label1_, widen(text).c_str());
}

bool IntroWin32::startTimer(int id, int intervalMs) {
  return hwnd_ &&
         SetTimer(hwnd_, static_cast<UINT_PTR>(id), static_cast<UINT>(intervalMs), nullptr) != 0;
}

void IntroWin32::stopTimer(int id) {
  if (hwnd_) KillTimer(hwnd_, static_cast<UINT_PTR>(id));
}

void IntroWin32::hide() {
  if (hwnd_) ShowWindow(hwnd_, SW_HIDE);
}

void IntroWin32::close() {
  HWND h = hwnd_;
  hwnd_ = nullptr;
  label1_ = label2_ = nullptr;
  if (h && IsWindow(h)) DestroyWindow(h);
}

void IntroWin32::endLauncher() {
  ended_ = true;
  PostQuitMessage(0);
}

LRESULT CALLBACK IntroWin32::windowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  return plat::win::routeToOwner<IntroWin32, &IntroWin32::hwnd_, &IntroWin32::handle>(hwnd, msg, wp,
                                                                                      lp);
}

LRESULT IntroWin32::handle(UINT msg, WPARAM wp, LPARAM lp) {
  HWND hwnd = hwnd_;
  // No exception may leave a window procedure: the logic's steps trap their
  // own; anything else ends the launcher rather than the process abruptly.
  try {
    switch (msg) {
      case WM_TIMER:
        if (logic_ && wp == static_cast<WPARAM>(kTimer1)) logic_->startTick();
        if (logic_ && wp == static_cast<WPARAM>(kTimer2)) logic_->countdownTick();
        return 0;
      case WM_COMMAND:
        if (logic_ && LOWORD(wp) == kLabel1Id && HIWORD(wp) == STN_CLICKED) logic_->labelClick();
        return 0;
      case WM_CLOSE:
        // Closing the splash (Alt+F4) cancels the start like the label does.
        if (logic_) logic_->labelClick();
        return 0;
      case WM_CTLCOLORSTATIC: {
        HDC dc = reinterpret_cast<HDC>(wp);
        if (reinterpret_cast<HWND>(lp) == label1_) {
          SetTextColor(dc, kLabel1Text);
          SetBkColor(dc, kLabel1Back);
          return reinterpret_cast<LRESULT>(label1Back_.get());
        }
        SetTextColor(dc, kLabel2Text);
        SetBkColor(dc, kLabel2Back);
        return reinterpret_cast<LRESULT>(label2Back_.get());
      }
      case WM_PAINT:
        paint();
        return 0;
      default:
        break;
    }
  } catch (...) {
    close();
    endLauncher();
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

void IntroWin32::paint() {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd_, &ps);
  // Picture1: the splash inside a one-pixel frame.
  const RECT frame{0, 0, px(kPicture1.width), px(kPicture1.height)};
  const plat::win::UniqueBrush frameBrush(CreateSolidBrush(kFrame));
  FrameRect(dc, &frame, frameBrush.get());
  if (splash_) {
    const plat::win::UniqueMemoryDc mem(CreateCompatibleDC(dc));
    HGDIOBJ old = SelectObject(mem.get(), splash_.get());
    const int w = std::min(kSplashWidth, static_cast<int>(frame.right) - 2);
    const int h = std::min(kSplashHeight, static_cast<int>(frame.bottom) - 2);
    if (w > 0 && h > 0) BitBlt(dc, 1, 1, w, h, mem.get(), 0, 0, SRCCOPY);
    SelectObject(mem.get(), old);
  }
  EndPaint(hwnd_, &ps);
}

}  // namespace launcher::win
