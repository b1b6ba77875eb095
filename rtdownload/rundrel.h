#pragma once
// Rundrel's window logic: fetch the database runtime's installer with the
// download control, start it and end; on any failure tell the user, open the
// manual download page and end.
//
// Threads: one, the window's. The control raises its events synchronously
// from that thread's message processing (and from inside beginDownload when
// the start fails), so no handler runs beside another. The window, the
// control, the processes and the message boxes belong to the caller and must
// outlive the Rundrel object.
#include <functional>
#include <optional>
#include <string>

#include "dlcontrol/engine.h"
#include "platform/process.h"
#include "platform/ui.h"
#include "rtdownload/presenter.h"

namespace rtd {

// The installer the shop needs and where a person fetches it by hand. Both
// HTTPS: the file is run once downloaded, so it must come from the server
// it claims to come from.
inline constexpr char kInstallerUrl[] = "https://downloads.shopkit-runtime.cn/MSAC2003.exe";
inline constexpr char kManualPage[] = "https://www.shopkit-runtime.cn/runtime/manual-download.html";
// The file the control saves: the last segment of the download address.
inline constexpr char kInstallerName[] = "MSAC2003.exe";
// A shop that mirrors the installer (and the tests) name other addresses here.
inline constexpr char kUrlVariable[] = "RUNDREL_URL";
inline constexpr char kPageVariable[] = "RUNDREL_PAGE";

inline constexpr char kCaption[] = "在下载ACCESS运行组件库中";
inline constexpr char kCancelCaption[] = "取 消";
inline constexpr char kRequesting[] = "请求下载....";
inline constexpr char kFailed[] = "下载失败";
inline constexpr char kManualNotice[] = "你未自动连接网络服务器,请手动下载安装!";

struct Addresses {
  std::string installerUrl;
  std::string manualPage;
};

// The built-in addresses, each replaced by its environment variable when that
// is set and not empty. `lookup` returns a variable's value, nullopt when unset.
Addresses ChooseAddresses(
    const std::function<std::optional<std::string>(const std::string&)>& lookup);

// The members of the download control Rundrel uses.
class DownloadControl {
 public:
  virtual ~DownloadControl() = default;
  virtual void setFileURL(const std::string& url) = 0;
  virtual void setSaveFilePath(const std::string& folder) = 0;
  // Without waiting; events may arrive before it returns.
  virtual bool beginDownload() = 0;
  virtual void cancelDownload() = 0;
};

// The window frmDLTest: the status list and label, the cancel button, and
// its lifetime.
class RundrelWindow : public LogView {
 public:
  virtual void setCancelEnabled(bool enabled) = 0;
  // Unloads the window (with the control on it).
  virtual void close() = 0;
  // Ends the program once the current handler has returned.
  virtual void endProgram() = 0;
};

class Rundrel : public dl::ControlEvents {
 public:
  Rundrel(RundrelWindow& window, DownloadControl& control, plat::Processes& processes, plat::Ui& ui,
          Addresses addresses, std::string programFolder);

  // The window's load. When it returns with ended() true, the download has
  // already failed and the window must not be shown.
  void load();
  void cancelClicked();
  // The close box: no question, no cancel request of our own.
  void closeClicked();
  bool ended() const { return ended_; }

  void DLBeginDownload() override;
  void DLConnected(std::string connAddr) override;
  void DLMIMEType(std::string mimeType) override;
  void DLFileSize(int32_t bytes) override;
  void DLProgress(float percent, int32_t bytesRead, int32_t totalBytes) override;
  void DLError(dl::bkDLError code, std::string error) override;
  void DLCanceled() override;
  void DLComplete(int32_t bytes) override;

 private:
  void downloadFailed();
  void downloadSaved(int32_t bytes);
  // Starts a program; a start the system refuses is shown, and the program
  // ends all the same.
  void start(const std::string& commandLine);
  void end();

  RundrelWindow& window_;
  DownloadControl& control_;
  plat::Processes& processes_;
  plat::Ui& ui_;
  Addresses addresses_;
  std::string programFolder_;
  StatusPresenter presenter_;
  bool ended_ = false;
};

}  // namespace rtd
