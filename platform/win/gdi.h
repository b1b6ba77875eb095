#pragma once
// GDI objects owned by UniqueHandle, a scoped screen DC and the screen's DPI.
// Windows-only; link gdi32 and user32. GDI objects belong to the thread that
// made them only loosely, but the kit keeps each on its window's thread.
#include <windows.h>

#include "platform/win/unique_handle.h"

namespace plat::win {

// Pens, brushes, fonts, bitmaps and regions, released with DeleteObject.
// Deselect an object from every DC before its owner goes.
template <typename T>
struct GdiObjectTraits {
  using Type = T;
  static Type invalid() noexcept { return nullptr; }
  static void close(Type h) noexcept { ::DeleteObject(h); }
};

using UniqueFont = UniqueHandle<GdiObjectTraits<HFONT>>;
using UniqueBrush = UniqueHandle<GdiObjectTraits<HBRUSH>>;
using UniqueBitmap = UniqueHandle<GdiObjectTraits<HBITMAP>>;
using UniquePen = UniqueHandle<GdiObjectTraits<HPEN>>;

// A memory DC from CreateCompatibleDC, released with DeleteDC.
struct MemoryDcTraits {
  using Type = HDC;
  static Type invalid() noexcept { return nullptr; }
  static void close(Type h) noexcept { ::DeleteDC(h); }
};
using UniqueMemoryDc = UniqueHandle<MemoryDcTraits>;

// The screen's DC for the lifetime of the object (GetDC(nullptr), then
// ReleaseDC). get() is null when the system gave none, e.g. without a display.
class ScreenDc {
 public:
  ScreenDc() noexcept : dc_(::GetDC(nullptr)) {}
  ~ScreenDc() {
    if (dc_) ::ReleaseDC(nullptr, dc_);
  }
  ScreenDc(const ScreenDc&) = delete;
  ScreenDc& operator=(const ScreenDc&) = delete;
  HDC get() const noexcept { return dc_; }
  explicit operator bool() const noexcept { return dc_ != nullptr; }

 private:
  HDC dc_;
};

// Logical pixels per inch of the screen; 96 when it cannot be read. Windows
// keeps the horizontal and vertical figures equal.
inline int screenDpi() {
  ScreenDc screen;
  const int dpi = screen ? ::GetDeviceCaps(screen.get(), LOGPIXELSY) : 0;
  return dpi > 0 ? dpi : 96;
}

}  // namespace plat::win
