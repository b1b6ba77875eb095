#pragma once
// Novaro, the updater: its settings, the names derived from them, the
// installation bar, and one update run from the button press to the end of
// the program (download through the window's control, extraction by the
// archive tool in the program folder, completion message).
//
// Threads: one, the window's. The window owns the run, the view and the
// control and keeps them alive while the run lives. The run pumps window
// events while it installs, so control events and clicks arrive nested in
// its own calls; it relies on the control refusing a second start while busy.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "dlcontrol/engine.h"
#include "platform/clock.h"
#include "platform/filesystem.h"
#include "platform/process.h"
#include "platform/ui.h"
#include "rtdownload/presenter.h"

namespace upd {

inline constexpr const char* kCaption = "Orvane软件智能升级程序";
inline constexpr const char* kButtonCaption = "现在进行Novaro";
// The title of the one box that keeps the program running.
inline constexpr const char* kProgramTitle = "Novaro";
inline constexpr const char* kNoNewVersion = "没发现新版可升级!";
inline constexpr const char* kStartFailed = "新版升级失败!";
inline constexpr const char* kUpdateFailed = "升级失败,下次再试......";
inline constexpr const char* kUpdateDone =
    "软件自动升级完成,可以进入正常工作啦!................................";
inline constexpr const char* kInstalling = "正在安装...";

// The archive tool is taken as hung and ended once it has gone this long
// without reading or writing anything; one still at work (a big file onto a
// slow share) is left to finish, as ended mid-write it would leave a data
// file cut short.
inline constexpr double kToolLimitSeconds = 600.0;

// Lines 1 to 3 of server.xml, as the run uses them.
struct RunSettings {
  std::string DataPath;  // always ends with "\"
  std::string PackagePrefix;
  std::string UpdateSite;
};

// Reads `programFolder`\server.xml. Throws plat::PlatformError for a missing
// or unreadable file and for a line count past the 16-bit counter.
RunSettings LoadRunSettings(plat::FileSystem& fs, const std::string& programFolder);

// A local date and time.
struct Moment {
  int year = 2000, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};
// "2011.05.24 09.57.05 版本模块".
std::string VersionStamp(const Moment& m);

std::string PackageName(const RunSettings& s);
std::string PackageAddress(const RunSettings& s);
std::string PackagePath(const std::string& programFolder, const RunSettings& s);
// The archive tool's command line: extract every file of the package into
// DataPath, overwriting. Paths with blanks are quoted by the Windows argument
// rules; without blanks the line is the plain concatenation.
std::string RarCommandLine(const std::string& programFolder, const RunSettings& s);

// ---------------------------------------------------------------------------
// The installation bar.

using Color = uint32_t;  // 0x00BBGGRR
using ColorTable = std::array<Color, 129>;
using ColorStops = std::array<Color, 7>;
// Red, orange, yellow, green, cyan, blue, magenta.
inline constexpr ColorStops kBarStops{0x0000FF, 0x0080FF, 0x00FFFF, 0x00FF00,
                                      0xFFFF00, 0xFF0000, 0xFF00FF};

// Fills the table with six runs between the stops. Each run starts one step
// past its stop and the entry two runs share holds the later run's value.
void BuildGradient(ColorTable& table, const ColorStops& stops);

// A drawing surface: filled rectangles in its own pixels. Never throws for
// a rectangle partly or wholly outside it.
class Canvas {
 public:
  virtual ~Canvas() = default;
  virtual int width() = 0;
  virtual int height() = 0;
  virtual void fillRect(int left, int top, int right, int bottom, Color color) = 0;
};

// Draws the bar at fraction f (0..1): segments 0..n from the left edge, each
// width/128 wide, in the table's colours (the table is rebuilt first), and
// at f exactly 1 the rest up to the right edge in the last colour. Pending
// window events run before every drawn segment. Segments below `from` are
// taken as already drawn by an earlier call at a smaller fraction (the bar
// only grows), so a caller may draw only what changed. Returns n.
int DrawProgressBar(Canvas& bar, float f, ColorTable& colors, plat::Ui& ui, int from = 0);

// ---------------------------------------------------------------------------
// The run.

// What the run needs of the download control `DL`. The setters throw
// (std::exception) when the control refuses the value.
class DownloadControl {
 public:
  virtual ~DownloadControl() = default;
  virtual void setFileURL(const std::string& url) = 0;
  virtual void setSaveFilePath(const std::string& folder) = 0;
  virtual std::string fileURL() = 0;
  // Starts without waiting; false when the control is busy or did not start.
  virtual bool beginDownload() = 0;
};

// The window Form2 as the run sees it: the status list and label (LogView),
// the two stamps, the installation bar.
class UpdateView : public rtd::LogView {
 public:
  virtual void setStamps(const std::string& text2, const std::string& text1) = 0;
  virtual void hideBar() = 0;
  virtual void showBar(Color background) = 0;
  virtual Canvas& bar() = 0;
  // Takes the window off the screen for good; the program ends soon after.
  virtual void close() = 0;
};

struct Services {
  plat::FileSystem& fs;
  plat::Processes& processes;
  plat::Ui& ui;
  plat::Clock& clock;
  // Ends the program once the current event returns.
  std::function<void()> endProgram;
};

enum class RunState { Loading, Idle, Downloading, Installing, Finished };

class UpdateRun : public dl::ControlEvents {
 public:
  UpdateRun(Services services, UpdateView& view, DownloadControl& control,
            std::string programFolder);

  // Loads the settings and fills the stamps; `systemDateTime` is the date and
  // time in the system's short formats. On failure shows the load message,
  // ends the program and returns false.
  bool Load(const Moment& now, const std::string& systemDateTime);
  // The button.
  void ExaminesVer();
  // Whether a close of the window may end the program now: not while the
  // archive tool may still be working on the package.
  bool mayClose() const { return state_ != RunState::Installing; }

  RunState state() const { return state_; }
  const RunSettings& settings() const { return settings_; }
  const std::string& versionStamp() const { return versionStamp_; }

  // The control's events.
  void DLBeginDownload() override;
  void DLConnected(std::string ConnAddr) override;
  void DLMIMEType(std::string MIMEType) override;
  void DLFileSize(int32_t Bytes) override;
  void DLProgress(float Percent, int32_t BytesRead, int32_t TotalBytes) override;
  void DLError(dl::bkDLError E, std::string Error) override;
  void DLCanceled() override;
  void DLComplete(int32_t Bytes) override;

 private:
  void DownloadUpdate();
  void Urar();
  void PocProbar();
  // Waits for the tool, at most until the limit counted from `startedAt`;
  // true only for an exit status of 0. A tool past the limit is ended.
  bool awaitTool(plat::Child& tool, double startedAt);
  void Complete();
  // Deletes the package, closes the window, reports the failure and ends.
  void failUpdate();
  void deletePackage();

  Services svc_;
  UpdateView& view_;
  DownloadControl& control_;
  const std::string programFolder_;
  rtd::StatusPresenter presenter_;
  RunSettings settings_;
  std::string versionStamp_;
  ColorTable BarColors_{};
  RunState state_ = RunState::Loading;
};

}  // namespace upd
