#include "rtdownload/rundrel.h"

#include <utility>

#include "platform/error.h"

namespace rtd {

Addresses ChooseAddresses(
    const std::function<std::optional<std::string>(const std::string&)>& lookup) {
  auto pick = [&lookup](const char* variable, const char* builtIn) {
    const std::optional<std::string> value = lookup(variable);
    return value && !value->empty() ? *value : std::string(builtIn);
  };
  return {pick(kUrlVariable, kInstallerUrl), pick(kPageVariable, kManualPage)};
}

Rundrel::Rundrel(RundrelWindow& window, DownloadControl& control, plat::Processes& processes,
                 plat::Ui& ui, Addresses addresses, std::string programFolder)
    : window_(window),
      control_(control),
      processes_(processes),
      ui_(ui),
      addresses_(std::move(addresses)),
      programFolder_(std::move(programFolder)),
      presenter_(window, Flavor::RuntimeDownloader) {}

void Rundrel::load() {
  control_.setFileURL(addresses_.installerUrl);
  control_.setSaveFilePath(programFolder_);
  presenter_.log(kRequesting);
  control_.beginDownload();
  if (ended_) return;  // the start was refused and the failure path has run
  window_.setCancelEnabled(true);
}

void Rundrel::cancelClicked() {
  if (ended_) return;
  control_.cancelDownload();
  window_.close();
  end();
}

void Rundrel::closeClicked() {
  if (ended_) return;
  window_.close();
  end();
}

// Once the program has taken its last path, a late report (the control may
// follow an error with a second failure) must not show a second notice or
// start anything again.
void Rundrel::DLBeginDownload() {
  if (!ended_) presenter_.onBeginDownload({});
}

void Rundrel::DLConnected(std::string connAddr) {
  if (!ended_) presenter_.onConnected(connAddr);
}

void Rundrel::DLMIMEType(std::string mimeType) {
  if (!ended_) presenter_.onMimeType(mimeType);
}

void Rundrel::DLFileSize(int32_t bytes) {
  if (!ended_) presenter_.onFileSize(bytes);
}

void Rundrel::DLProgress(float percent, int32_t bytesRead, int32_t totalBytes) {
  if (!ended_) presenter_.onProgress(percent, bytesRead, totalBytes);
}

void Rundrel::DLError(dl::bkDLError code, std::string error) {
  if (!ended_) presenter_.onError(static_cast<int32_t>(code), error);
}

void Rundrel::DLCanceled() {
  if (!ended_) presenter_.onCanceled();
}

void Rundrel::DLComplete(int32_t bytes) {
  if (ended_) return;
  window_.setCancelEnabled(false);
  if (bytes < 1)
    downloadFailed();
  else
    downloadSaved(bytes);
}

void Rundrel::downloadFailed() {
  presenter_.log(kFailed);
  ended_ = true;  // events that arrive while the notice is up change nothing
  window_.close();
  ui_.messageBox(kManualNotice, plat::mb::kOk, "");
  start("explorer " + plat::quoteArgIfNeeded(addresses_.manualPage));
  end();
}

void Rundrel::downloadSaved(int32_t bytes) {
  presenter_.logCompleted(bytes, programFolder_);
  ended_ = true;
  start(plat::quoteArgIfNeeded(programFolder_ + "\\" + kInstallerName));
  window_.close();
  end();
}

void Rundrel::start(const std::string& commandLine) {
  try {
    processes_.start(commandLine, plat::WindowStyle::kMinimizedFocus);
  } catch (const plat::PlatformError& e) {
    ui_.messageBox(e.description(), plat::mb::kCritical, "Rundrel");
  }
}

void Rundrel::end() {
  ended_ = true;
  window_.endProgram();
}

}  // namespace rtd
