#pragma once
// How a download shows itself to the user, shared by the runtime downloader
// and the updater: byte counts as short texts, the status list's lines and
// the texts each program makes of the download control's events.
//
// Threads: one, the hosting window's. The presenter holds no state of its
// own beyond what its view shows; the view belongs to the window and must
// outlive the presenter.
#include <cstdint>
#include <string>

namespace rtd {

// A byte count as the short text the status lines use ("1023b", "1k",
// "1.5M", "0.5G"). The third threshold is 512 MiB.
std::string FormatSize(int32_t bytes);

// A fraction from 0 to 1 as a whole percentage ("46%"), halves away from zero.
std::string PercentText(float fraction);

// The text of a download error code; empty for a code the control does not have.
std::string ErrorText(int32_t code);

// What the presenter needs of the window: the status list and the label.
// Indexes are the list box's, 16-bit as the list reports them.
class LogView {
 public:
  virtual ~LogView() = default;
  // Appends a line and returns its index.
  virtual int appendLine(const std::string& line) = 0;
  virtual int topIndex() const = 0;
  virtual void setTopIndex(int index) = 0;
  virtual void setLabel(const std::string& text) = 0;
};

// Appends "> " + text and keeps the newest line in view: once the new line
// is more than 17 below the first visible one, the view moves so that it
// sits 16 below.
void AddLog(LogView& view, const std::string& text);

// The two programs word four events differently.
enum class Flavor { RuntimeDownloader, Updater };

// Turns the control's events into status lines and label texts.
class StatusPresenter {
 public:
  StatusPresenter(LogView& view, Flavor flavor) : view_(view), flavor_(flavor) {}

  void onBeginDownload(const std::string& currentFileUrl);
  void onConnected(const std::string& connAddr);
  void onMimeType(const std::string& mimeType);
  void onFileSize(int32_t bytes);
  void onProgress(float percent, int32_t bytesRead, int32_t totalBytes);
  void onError(int32_t code, const std::string& error);
  void onCanceled();
  // The line both programs log once a download has been saved.
  void logCompleted(int32_t bytes, const std::string& programFolder);
  void log(const std::string& text) { AddLog(view_, text); }

 private:
  LogView& view_;
  Flavor flavor_;
};

}  // namespace rtd
