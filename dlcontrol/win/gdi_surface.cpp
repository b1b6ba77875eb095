#include "dlcontrol/win/gdi_surface.h"

#include <ole2.h>
#include <olectl.h>

#include <cmath>

#include "platform/error.h"
#include "platform/win/gdi.h"

namespace lumvex {
namespace {

COLORREF toColorRef(dl::OleColor color) {
  COLORREF out = 0;
  if (FAILED(OleTranslateColor(color, nullptr, &out))) out = GetSysColor(COLOR_BTNFACE);
  return out;
}

void fill(HDC dc, const RECT& area, COLORREF color) {
  plat::win::UniqueBrush brush(CreateSolidBrush(color));
  FillRect(dc, &area, brush.get());
}

}  // namespace

void GdiSurface::setBackColor(dl::OleColor c) {
  back_ = c;
  if (HWND w = owner_.window()) InvalidateRect(w, nullptr, FALSE);
}

void GdiSurface::setForeColor(dl::OleColor c) {
  fore_ = c;
  if (HWND w = owner_.window()) InvalidateRect(w, nullptr, FALSE);
}

void GdiSurface::setEnabled(bool e) {
  enabled_ = e;
  if (HWND w = owner_.window()) EnableWindow(w, e ? TRUE : FALSE);
}

void GdiSurface::setBorderStyle(int16_t s) {
  if (s != dl::kBorderNone && s != dl::kBorderFixedSingle)
    throw plat::PlatformError(380, "Invalid property value");
  border_ = s;
  applyWindowStyle();
}

void GdiSurface::applyWindowStyle() {
  HWND w = owner_.window();
  if (!w) return;
  LONG_PTR style = GetWindowLongPtrW(w, GWL_STYLE);
  style = border_ == dl::kBorderFixedSingle ? (style | WS_BORDER)
                                            : (style & ~static_cast<LONG_PTR>(WS_BORDER));
  SetWindowLongPtrW(w, GWL_STYLE, style);
  SetWindowPos(w, nullptr, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
  InvalidateRect(w, nullptr, FALSE);
}

// The area drawn into: the one being painted, else the window's, else the
// extent the container gave.
SIZE GdiSurface::size() const {
  if (paintDc_) return SIZE{paintRect_.right - paintRect_.left, paintRect_.bottom - paintRect_.top};
  if (HWND w = owner_.window()) {
    RECT r;
    GetClientRect(w, &r);
    return SIZE{r.right - r.left, r.bottom - r.top};
  }
  SIZEL extent = owner_.extentPixels();
  return SIZE{extent.cx, extent.cy};
}

double GdiSurface::width() {
  return size().cx;
}

double GdiSurface::height() {
  return size().cy;
}

void GdiSurface::fillRect(double x1, double y1, double x2, double y2, dl::OleColor c) {
  if (!paintDc_) return;  // only the paint routine draws, and only while painting
  RECT r = {paintRect_.left + static_cast<LONG>(std::lround(x1)),
            paintRect_.top + static_cast<LONG>(std::lround(y1)),
            paintRect_.left + static_cast<LONG>(std::lround(x2)),
            paintRect_.top + static_cast<LONG>(std::lround(y2))};
  IntersectRect(&r, &r, &paintRect_);
  if (!IsRectEmpty(&r)) fill(paintDc_, r, toColorRef(c));
}

void GdiSurface::paint(HDC dc, const RECT& bounds, bool drawBorder) {
  RECT area = bounds;
  fill(dc, area, toColorRef(back_));
  if (drawBorder && border_ == dl::kBorderFixedSingle) {
    plat::win::UniqueBrush frame(CreateSolidBrush(GetSysColor(COLOR_WINDOWFRAME)));
    FrameRect(dc, &area, frame.get());
    InflateRect(&area, -1, -1);
  }
  paintDc_ = dc;
  paintRect_ = area;
  try {
    owner_.paintContent();
  } catch (...) {
    paintDc_ = nullptr;
    throw;
  }
  paintDc_ = nullptr;
}

}  // namespace lumvex
