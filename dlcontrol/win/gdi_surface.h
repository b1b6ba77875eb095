#pragma once
// The control's drawing surface: the appearance values and the canvas, which
// is the control's window when in place active, else the device context a
// container asks it to draw into.
#include <windows.h>

#include "dlcontrol/engine.h"

namespace lumvex {

// What the surface needs of the control that owns it.
class SurfaceOwner {
 public:
  virtual HWND window() const = 0;  // null while not in place active
  virtual SIZEL extentPixels() const = 0;
  virtual void requestRepaint() = 0;
  virtual void paintContent() = 0;  // the engine's picture, through fillRect

 protected:
  ~SurfaceOwner() = default;
};

class GdiSurface final : public dl::Surface {
 public:
  explicit GdiSurface(SurfaceOwner& owner) : owner_(owner) {}

  dl::OleColor backColor() override { return back_; }
  void setBackColor(dl::OleColor c) override;
  dl::OleColor foreColor() override { return fore_; }
  void setForeColor(dl::OleColor c) override;
  bool enabled() override { return enabled_; }
  void setEnabled(bool e) override;
  dl::FontPtr font() override { return font_; }
  void setFont(dl::FontPtr f) override { font_ = std::move(f); }
  int16_t borderStyle() override { return border_; }
  void setBorderStyle(int16_t s) override;
  double width() override;
  double height() override;
  void repaint() override { owner_.requestRepaint(); }
  void fillRect(double x1, double y1, double x2, double y2, dl::OleColor c) override;

  // Draws background, border (when the window has none of its own) and the
  // engine's picture into `dc` inside `bounds`.
  void paint(HDC dc, const RECT& bounds, bool drawBorder);
  void applyWindowStyle();

 private:
  SIZE size() const;

  SurfaceOwner& owner_;
  dl::OleColor back_ = dl::kButtonFaceColor;
  dl::OleColor fore_ = dl::kButtonTextColor;
  bool enabled_ = true;
  dl::FontPtr font_;
  int16_t border_ = dl::kBorderFixedSingle;
  HDC paintDc_ = nullptr;
  RECT paintRect_ = {};
};

}  // namespace lumvex
