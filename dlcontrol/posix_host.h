#pragma once
// The control's platform on Linux: the host thread's loop is the curl
// transfer service's (plus tasks posted from the same thread), files are
// written through POSIX calls, and the critical message box goes to a
// handler (standard error by default, since there is no window system).
// One thread: the host's.
#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "dlcontrol/curl_transfer.h"
#include "dlcontrol/engine.h"

namespace dl {

// A path composed the Windows way ("\" separators) as a POSIX path.
std::string posixPath(const std::string& path);

class PosixControlPlatform final : public ControlPlatform {
 public:
  explicit PosixControlPlatform(CurlTransfer& transfer) : transfer_(transfer) {}

  // Runs `task` at the next pump, as a window message would be.
  void post(std::function<void()> task) { posted_.push_back(std::move(task)); }

  void pumpMessages() override;
  void waitForMessage() override;
  void writeContent(const std::string& path, const ReadContent& content) override;
  void deleteFile(const std::string& path) override;
  void criticalMessageBox(const std::string& prompt, const std::string& title) override;

  std::function<void(const std::string& prompt, const std::string& title)> onMessageBox;
  // The longest single sleep of waitForMessage.
  std::chrono::milliseconds maxWait{1000};

 private:
  CurlTransfer& transfer_;
  std::deque<std::function<void()>> posted_;
};

// A surface without a window, for hosts that run headless (the benchmark,
// tests): it keeps the appearance values and records what was painted last.
class HeadlessSurface final : public Surface {
 public:
  struct Rect {
    double x1, y1, x2, y2;
    OleColor color;
  };
  void attach(bkDLControl* control) { control_ = control; }

  OleColor backColor() override { return back_; }
  void setBackColor(OleColor c) override { back_ = c; }
  OleColor foreColor() override { return fore_; }
  void setForeColor(OleColor c) override { fore_ = c; }
  bool enabled() override { return enabled_; }
  void setEnabled(bool e) override { enabled_ = e; }
  FontPtr font() override { return font_; }
  void setFont(FontPtr f) override { font_ = std::move(f); }
  int16_t borderStyle() override { return border_; }
  void setBorderStyle(int16_t s) override { border_ = s; }
  double width() override { return width_; }
  double height() override { return height_; }
  void repaint() override;
  void fillRect(double x1, double y1, double x2, double y2, OleColor c) override;

  void resize(double w, double h) { width_ = w, height_ = h; }
  // What the last repaint drew, in order.
  const std::vector<Rect>& painted() const { return painted_; }
  int repaints() const { return repaints_; }

 private:
  bkDLControl* control_ = nullptr;
  OleColor back_ = kButtonFaceColor, fore_ = kButtonTextColor;
  bool enabled_ = true;
  FontPtr font_;
  int16_t border_ = kBorderFixedSingle;
  double width_ = 3000, height_ = 300;
  std::vector<Rect> painted_;
  int repaints_ = 0;
};

class HeadlessContainer final : public Container {
 public:
  void propertyChanged(const std::string& name) override { changed.push_back(name); }
  FontPtr ambientFont() override { return ambient; }
  std::vector<std::string> changed;
  FontPtr ambient = std::make_shared<FontObject>();
};

}  // namespace dl
