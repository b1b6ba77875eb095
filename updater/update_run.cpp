#include "updater/update_run.h"

#include <cmath>
#include <cstdio>
#include <exception>

#include "launcher/settings_file.h"

namespace upd {
namespace {

// Nearest integer, halves to the even neighbour.
int roundHalfEven(double x) {
  return static_cast<int>(std::nearbyint(x));
}

Color packed(double r, double g, double b) {
  return static_cast<Color>(roundHalfEven(r)) | (static_cast<Color>(roundHalfEven(g)) << 8) |
         (static_cast<Color>(roundHalfEven(b)) << 16);
}

double clampChannel(double v) {
  return v < 0.0 ? 0.0 : (v > 255.0 ? 255.0 : v);
}

}  // namespace

RunSettings LoadRunSettings(plat::FileSystem& fs, const std::string& programFolder) {
  const std::vector<std::string> lines = launcher::ReadSettingsLines(fs, programFolder);
  RunSettings s;
  if (lines.size() > 0) s.DataPath = lines[0];
  if (lines.size() > 1) s.PackagePrefix = lines[1];
  if (lines.size() > 2) s.UpdateSite = lines[2];
  s.DataPath = launcher::ResolveDataPath(s.DataPath, programFolder);
  if (s.DataPath.empty() || s.DataPath.back() != '\\') s.DataPath += '\\';
  return s;
}

std::string VersionStamp(const Moment& m) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d.%02d.%02d %02d.%02d.%02d", m.year, m.month, m.day, m.hour,
                m.minute, m.second);
  return std::string(buf) + " 版本模块";
}

std::string PackageName(const RunSettings& s) {
  return s.PackagePrefix + "rar.xml";
}

std::string PackageAddress(const RunSettings& s) {
  return s.UpdateSite + "/update/" + PackageName(s);
}

std::string PackagePath(const std::string& programFolder, const RunSettings& s) {
  return programFolder + "\\" + PackageName(s);
}

std::string RarCommandLine(const std::string& programFolder, const RunSettings& s) {
  return plat::quoteArgIfNeeded(programFolder + "\\rar") + " e -o+ " +
         plat::quoteArgIfNeeded(PackagePath(programFolder, s)) + " " +
         plat::quoteArgIfNeeded(s.DataPath);
}

void BuildGradient(ColorTable& table, const ColorStops& stops) {
  const int T = static_cast<int>(table.size()) - 1;
  const int S = static_cast<int>(stops.size()) - 1;
  const double step = static_cast<double>(T) / S;
  for (int s = 0; s < S; ++s) {
    double r = stops[s] & 0xFF, g = (stops[s] >> 8) & 0xFF, b = (stops[s] >> 16) & 0xFF;
    const double r2 = stops[s + 1] & 0xFF, g2 = (stops[s + 1] >> 8) & 0xFF,
                 b2 = (stops[s + 1] >> 16) & 0xFF;
    const double dr = (r2 - r) / step, dg = (g2 - g) / step, db = (b2 - b) / step;
    const int from = roundHalfEven(step * s);
    const int to = roundHalfEven(step * (s + 1));
    for (int j = from; j <= to; ++j) {
      r = clampChannel(r + dr);
      g = clampChannel(g + dg);
      b = clampChannel(b + db);
      table[static_cast<size_t>(j)] = packed(r, g, b);
    }
  }
}

int DrawProgressBar(Canvas& bar, float f, ColorTable& colors, plat::Ui& ui, int from) {
  BuildGradient(colors, kBarStops);
  const int U = static_cast<int>(colors.size()) - 1;
  const int width = bar.width();
  const int height = bar.height();
  const int seg = roundHalfEven(static_cast<double>(width) / U);
  // f x U to two decimals, then to a whole number; both halves to even.
  const long long hundredths = std::llrint(static_cast<double>(f) * U * 100.0);
  long long whole = hundredths / 100;
  const long long rest = hundredths % 100;
  if (rest > 50 || (rest == 50 && whole % 2 != 0)) ++whole;
  const int n = static_cast<int>(whole);
  int x = seg * (from > 0 ? from : 0);
  for (int i = from > 0 ? from : 0; i <= n; ++i) {
    ui.pumpEvents();
    bar.fillRect(x, 0, x + seg, height, colors[static_cast<size_t>(i)]);
    x += seg;
  }
  if (f == 1.0f) bar.fillRect(seg * (n + 1), 0, width, height, colors[static_cast<size_t>(n)]);
  return n;
}

// ---------------------------------------------------------------------------

UpdateRun::UpdateRun(Services services, UpdateView& view, DownloadControl& control,
                     std::string programFolder)
    : svc_(std::move(services)),
      view_(view),
      control_(control),
      programFolder_(std::move(programFolder)),
      presenter_(view, rtd::Flavor::Updater) {}

bool UpdateRun::Load(const Moment& now, const std::string& systemDateTime) {
  try {
    settings_ = LoadRunSettings(svc_.fs, programFolder_);
    versionStamp_ = VersionStamp(now);
    view_.setStamps(systemDateTime, versionStamp_);
    state_ = RunState::Idle;
    return true;
  } catch (const std::exception&) {
    svc_.ui.messageBox(kNoNewVersion, plat::mb::kOk | plat::mb::kCritical, "");
    state_ = RunState::Finished;
    svc_.endProgram();
    return false;
  }
}

void UpdateRun::ExaminesVer() {
  try {
    DownloadUpdate();
  } catch (const std::exception&) {
    svc_.ui.messageBox(kStartFailed, plat::mb::kOk, kProgramTitle);
  }
}

void UpdateRun::DownloadUpdate() {
  control_.setFileURL(PackageAddress(settings_));
  control_.setSaveFilePath(programFolder_);
  // A busy control refuses; the run then stays where it is.
  if (control_.beginDownload() && state_ == RunState::Idle) state_ = RunState::Downloading;
}

void UpdateRun::DLBeginDownload() {
  presenter_.onBeginDownload(control_.fileURL());
}
void UpdateRun::DLConnected(std::string ConnAddr) {
  presenter_.onConnected(ConnAddr);
}
void UpdateRun::DLMIMEType(std::string MIMEType) {
  presenter_.onMimeType(MIMEType);
}
void UpdateRun::DLFileSize(int32_t Bytes) {
  presenter_.onFileSize(Bytes);
}
void UpdateRun::DLProgress(float Percent, int32_t BytesRead, int32_t TotalBytes) {
  presenter_.onProgress(Percent, BytesRead, TotalBytes);
}
void UpdateRun::DLError(dl::bkDLError E, std::string Error) {
  presenter_.onError(static_cast<int32_t>(E), Error);
}
void UpdateRun::DLCanceled() {
  presenter_.onCanceled();
  if (state_ == RunState::Downloading) state_ = RunState::Idle;
}

void UpdateRun::DLComplete(int32_t Bytes) {
  if (Bytes <= 0) {
    if (state_ == RunState::Downloading) state_ = RunState::Idle;
    return;
  }
  try {
    presenter_.logCompleted(Bytes, programFolder_);
  } catch (const std::exception&) {
    failUpdate();
    return;
  }
  Urar();
}

// The tool works in its own process while the animation plays; the update
// counts as done only when the tool has ended with status 0, and the package
// stays until then, since the tool reads it.
void UpdateRun::Urar() {
  state_ = RunState::Installing;
  std::unique_ptr<plat::Child> tool;
  try {
    tool = svc_.processes.startWatched(RarCommandLine(programFolder_, settings_),
                                       plat::WindowStyle::kHide);
  } catch (const std::exception&) {
  }
  if (!tool) {
    failUpdate();
    return;
  }
  const double startedAt = svc_.clock.monotonicSeconds();
  try {
    view_.hideBar();
    svc_.ui.pumpEvents();
    PocProbar();
  } catch (const std::exception&) {
    // A failed drawing ends only the animation; the tool's result decides.
  }
  const bool extracted = awaitTool(*tool, startedAt);
  view_.close();  // BootPro
  if (extracted)
    Complete();
  else
    failUpdate();
}

void UpdateRun::PocProbar() {
  view_.showBar(0xFFFFFF);
  int drawn = 0;  // segments below this are on the bar already
  std::string shown;
  for (float k = 2; k <= 8000; k += 1) {
    const float f = k / 8000;
    const int n = DrawProgressBar(view_.bar(), f, BarColors_, svc_.ui, drawn);
    if (n + 1 > drawn) drawn = n + 1;
    // The text changes once in 80 steps; setting it again only repaints.
    std::string text = kInstalling + rtd::PercentText(f);
    if (text != shown) {
      shown = std::move(text);
      view_.setLabel(shown);
    }
    svc_.ui.pumpEvents();
  }
}

bool UpdateRun::awaitTool(plat::Child& tool, double startedAt) {
  uint64_t moved = tool.bytesMoved();
  double lastMove = startedAt;
  for (;;) {
    if (const std::optional<uint32_t> status = tool.exitStatus()) return *status == 0;
    const double now = svc_.clock.monotonicSeconds();
    if (const uint64_t m = tool.bytesMoved(); m != moved) {
      moved = m;
      lastMove = now;
    }
    if (now - lastMove >= kToolLimitSeconds) {
      tool.terminate();
      return false;
    }
    svc_.ui.pumpEvents();
    tool.waitAwhile(250);
  }
}

void UpdateRun::Complete() {
  deletePackage();
  svc_.ui.messageBox(kUpdateDone, plat::mb::kOk, "");
  state_ = RunState::Finished;
  svc_.endProgram();
}

void UpdateRun::failUpdate() {
  deletePackage();
  view_.close();
  svc_.ui.messageBox(kUpdateFailed, plat::mb::kOk | plat::mb::kCritical, "");
  state_ = RunState::Finished;
  svc_.endProgram();
}

void UpdateRun::deletePackage() {
  const std::string package = PackagePath(programFolder_, settings_);
  try {
    if (svc_.fs.fileExists(package)) svc_.fs.deleteFile(package);
  } catch (const std::exception&) {
    // A package that cannot go stays; the next run overwrites it.
  }
}

}  // namespace upd
