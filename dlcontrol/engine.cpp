#include "dlcontrol/engine.h"

#include <exception>
#include <string_view>
#include <utility>

#include "platform/error.h"

namespace dl {

namespace {

// Character positions are 16-bit signed in the control's string routines; a
// position past the range cannot be held.
constexpr int32_t kMaxPosition = 32767;

// UTF-16 code units of a UTF-8 text: four-byte sequences count twice,
// continuation bytes not at all.
int32_t utf16Length(std::string_view s) {
  int32_t n = 0;
  for (unsigned char c : s) {
    if ((c & 0xC0) == 0x80) continue;
    n += (c >= 0xF0) ? 2 : 1;
  }
  return n;
}

std::string backslashes(std::string s) {
  for (char& c : s) {
    if (c == '/') c = '\\';
  }
  return s;
}

std::string describe(const std::exception& e) {
  if (auto* pe = dynamic_cast<const plat::PlatformError*>(&e)) return pe->description();
  return e.what();
}

}  // namespace

std::string LastPathSegment(const std::string& text, char sep) {
  const auto pos = text.rfind(sep);
  if (pos == std::string::npos) return text;
  if (utf16Length(std::string_view(text).substr(0, pos)) + 1 >= kMaxPosition) {
    throw plat::errorOf(plat::kErrOverflow);
  }
  return text.substr(pos + 1);
}

std::string JoinPath(const std::string& folder, const std::string& name, char sep) {
  if (!folder.empty() && folder.back() == sep) return folder + name;
  return folder + sep + name;
}

bkDLControl::bkDLControl(ControlServices services) : svc_(services) {}

bkDLControl::~bkDLControl() {
  Terminate();
}

// --- appearance -------------------------------------------------------------

OleColor bkDLControl::getBackColor() {
  return svc_.surface.backColor();
}
void bkDLControl::putBackColor(OleColor c) {
  svc_.surface.setBackColor(c);
  svc_.container.propertyChanged("BackColor");
}
OleColor bkDLControl::getForeColor() {
  return svc_.surface.foreColor();
}
void bkDLControl::putForeColor(OleColor c) {
  svc_.surface.setForeColor(c);
  svc_.container.propertyChanged("ForeColor");
}
bool bkDLControl::getEnabled() {
  return svc_.surface.enabled();
}
void bkDLControl::putEnabled(bool e) {
  svc_.surface.setEnabled(e);
  svc_.container.propertyChanged("Enabled");
}
FontPtr bkDLControl::getFont() {
  return svc_.surface.font();
}
void bkDLControl::putFont(FontPtr f) {
  svc_.surface.setFont(std::move(f));
  svc_.container.propertyChanged("Font");
}
int16_t bkDLControl::getBorderStyle() {
  return svc_.surface.borderStyle();
}
void bkDLControl::putBorderStyle(int16_t s) {
  svc_.surface.setBorderStyle(s);
  svc_.container.propertyChanged("BorderStyle");
}

// --- stored properties --------------------------------------------------------

void bkDLControl::putFileURL(const std::string& v) {
  st_.FileURL = v;
  DeriveSaveFileName();
  svc_.container.propertyChanged("FileURL");
}

void bkDLControl::putSaveFilePath(const std::string& v) {
  st_.SaveFilePath = v;
  DeriveSaveFileName();
  svc_.container.propertyChanged("SaveFilePath");
}

void bkDLControl::putFailOnRedirect(bool v) {
  st_.FailOnRedirect = v;
  svc_.container.propertyChanged("FailOnRedirect");
}

void bkDLControl::putRenameOnRedirect(bool v) {
  st_.RenameOnRedirect = v;
  svc_.container.propertyChanged("RenameOnRedirect");
}

void bkDLControl::putShowProgress(bool v) {
  st_.ShowProgress = v;
  svc_.container.propertyChanged("ShowProgress");
}

void bkDLControl::DeriveSaveFileName() {
  if (st_.SaveFilePath.empty() || st_.FileURL.empty()) {
    st_.SaveFileName.clear();
    return;
  }
  st_.SaveFileName =
      JoinPath(st_.SaveFilePath, LastPathSegment(backslashes(st_.FileURL), '\\'), '\\');
}

void bkDLControl::RenameForRedirect() {
  st_.SaveFileName =
      JoinPath(st_.SaveFilePath, LastPathSegment(backslashes(st_.RedirectFile), '\\'), '\\');
}

// --- methods ------------------------------------------------------------------

void bkDLControl::Refresh() {
  svc_.surface.repaint();
}

bool bkDLControl::BeginDownload(bool Wait) {
  if (st_.Busy) return false;
  if (st_.SaveFilePath.empty() || st_.FileURL.empty()) return false;
  try {
    svc_.transfer.StartRead(st_.FileURL, kReadKindByteArray, st_.SaveFileName, kReadOptionFreshCopy,
                            *this);
  } catch (const plat::PlatformError& e) {
    const std::string number = std::to_string(e.number());
    RaiseFailure(bkDLEUnavailable, e.description());
    svc_.platform.criticalMessageBox(number + kStartFailureLabel + "\r\n" + e.description(),
                                     kStartFailureTitle + number);
    return false;
  }
  readKey_ = st_.SaveFileName;
  st_.Busy = true;
  ResetDownloadState();
  if (!Wait) return true;
  WaitWhileBusy();
  return st_.Saved;
}

// Pumps until the download ends. Between rounds it sleeps until a message
// arrives, so a long download does not keep a processor busy.
void bkDLControl::WaitWhileBusy() {
  svc_.platform.pumpMessages();
  while (st_.Busy) {
    svc_.platform.waitForMessage();
    svc_.platform.pumpMessages();
  }
}

void bkDLControl::CancelDownload() {
  if (!st_.Busy) return;
  CancelRunningRead();
  st_.Percent = 0.0f;
  Refresh();
  st_.Busy = false;
  svc_.events.DLCanceled();
}

void bkDLControl::ResetDownloadState() {
  st_.FileSize = 0;
  st_.BytesRead = 0;
  st_.ConnectionAddress.clear();
  st_.CacheFile.clear();
  st_.RedirectFile.clear();
  st_.MIMEType.clear();
  st_.Saved = false;
}

// The read runs under the name the target had when it started: assigning
// FileURL or SaveFilePath meanwhile moves the target, not the read's key.
void bkDLControl::CancelRunningRead() {
  try {
    svc_.transfer.CancelRead(readKey_);
  } catch (...) {
    // The read may be gone already; teardown ignores every error here.
  }
}

void bkDLControl::RaiseFailure(bkDLError code, const std::string& text) {
  st_.Percent = 0.0f;
  Refresh();
  st_.Busy = false;
  // DLComplete (0) follows DLError even when the host's handler of DLError
  // throws; the first exception goes on to the caller afterwards.
  std::exception_ptr failed;
  try {
    svc_.events.DLError(code, std::string(text));
  } catch (...) {
    failed = std::current_exception();
  }
  try {
    svc_.events.DLComplete(0);
  } catch (...) {
    if (!failed) failed = std::current_exception();
  }
  if (failed) std::rethrow_exception(failed);
}

// --- transfer reports -----------------------------------------------------------

void bkDLControl::OnReadProgress(const ReadReport& r) {
  switch (r.StatusCode) {
    case status::kError:
      RaiseFailure(bkDLEUnknown, r.Content.Bytes);
      break;
    case status::kConnecting:
      st_.ConnectionAddress = r.StatusText;
      svc_.events.DLConnected(std::string(r.StatusText));
      break;
    case status::kRedirecting:
      st_.RedirectFile = r.StatusText;
      if (st_.FailOnRedirect) {
        CancelRunningRead();
        RaiseFailure(bkDLERedirect, kTextRedirectedTo + r.StatusText);
      } else {
        svc_.events.DLRedirect(std::string(r.StatusText));
      }
      break;
    case status::kBeginDownloadData:
      st_.FileSize = r.TotalBytes;
      svc_.events.DLFileSize(r.TotalBytes);
      svc_.events.DLBeginDownload();
      break;
    case status::kDownloadingData:
    case status::kEndDownloadData:
      if (r.TotalBytes < 1) {
        st_.Percent = 0.0f;
      } else {
        st_.Percent = static_cast<float>(static_cast<double>(r.BytesRead) /
                                         static_cast<double>(r.TotalBytes));
      }
      st_.BytesRead = r.BytesRead;
      svc_.events.DLProgress(st_.Percent, r.BytesRead, r.TotalBytes);
      break;
    case status::kMimeTypeAvailable:
      st_.MIMEType = r.StatusText;
      svc_.events.DLMIMEType(std::string(r.StatusText));
      break;
    case status::kCacheFileNameAvailable:
      st_.CacheFile = r.StatusText;
      svc_.events.DLCacheFile(std::string(r.StatusText));
      break;
    default:
      break;
  }
  Refresh();
}

void bkDLControl::OnReadComplete(const ReadReport& r) {
  if (r.BytesRead == 0) {
    RaiseFailure(bkDLEZeroLength, kTextZeroBytes);
    return;
  }
  try {
    if (!st_.RedirectFile.empty() && st_.RenameOnRedirect) RenameForRedirect();
    svc_.platform.writeContent(st_.SaveFileName, r.Content);
    st_.Saved = true;
  } catch (const std::exception& e) {
    RaiseFailure(bkDLESaveError, describe(e) + " [" + st_.SaveFileName + "]");
    return;
  }
  // The control turns idle after the handler of DLComplete, also when the
  // handler throws (the exception then goes on to the caller).
  struct Idle {
    bkDLControl& control;
    ~Idle() {
      control.RemoveCacheFile();
      control.st_.Busy = false;
    }
  } idle{*this};
  svc_.events.DLComplete(r.BytesRead);
}

// The download is complete and reported: a cache file that cannot be
// removed is the cache's business, not a failed download.
void bkDLControl::RemoveCacheFile() {
  if (st_.CacheFile.empty()) return;
  try {
    svc_.platform.deleteFile(st_.CacheFile);
  } catch (const std::exception&) {
  }
}

// --- surface ------------------------------------------------------------------

void bkDLControl::Paint() {
  if (!st_.ShowProgress || !(st_.Percent > 0.0f)) return;
  const double w = svc_.surface.width();
  const double h = svc_.surface.height();
  const OleColor c = svc_.surface.foreColor();
  svc_.surface.fillRect(0.0, 0.0, w * static_cast<double>(st_.Percent), h, c);
}

void bkDLControl::onClick() {
  svc_.events.Click();
}
void bkDLControl::onDblClick() {
  svc_.events.DblClick();
}
void bkDLControl::onMouseDown(int16_t button, int16_t shift, float x, float y) {
  svc_.events.MouseDown(button, shift, x, y);
}
void bkDLControl::onMouseMove(int16_t button, int16_t shift, float x, float y) {
  svc_.events.MouseMove(button, shift, x, y);
}
void bkDLControl::onMouseUp(int16_t button, int16_t shift, float x, float y) {
  svc_.events.MouseUp(button, shift, x, y);
}

// --- life cycle -----------------------------------------------------------------

void bkDLControl::InitNew() {
  putFont(svc_.container.ambientFont());
  st_.FileURL.clear();
  st_.SaveFilePath.clear();
  st_.FailOnRedirect = true;
  st_.RenameOnRedirect = true;
  ResetDownloadState();
  st_.ShowProgress = true;
}

void bkDLControl::ReadProperties(PropertyStore& store) {
  auto& s = svc_.surface;
  s.setBackColor(
      static_cast<OleColor>(store.readInt32("BackColor", static_cast<int32_t>(kButtonFaceColor))));
  s.setForeColor(
      static_cast<OleColor>(store.readInt32("ForeColor", static_cast<int32_t>(kButtonTextColor))));
  s.setEnabled(store.readBool("Enabled", true));
  putFont(store.readFont("Font", svc_.container.ambientFont()));
  s.setBorderStyle(store.readInt16("BorderStyle", kBorderFixedSingle));
  st_.FileURL = store.readString("FileURL", "");
  st_.SaveFilePath = store.readString("SaveFilePath", "");
  st_.FailOnRedirect = store.readBool("FailOnRedirect", true);
  st_.RenameOnRedirect = store.readBool("RenameOnRedirect", true);
  st_.ShowProgress = store.readBool("ShowProgress", true);
}

void bkDLControl::WriteProperties(PropertyStore& store) {
  auto& s = svc_.surface;
  store.writeInt32("BackColor", static_cast<int32_t>(s.backColor()),
                   static_cast<int32_t>(kButtonFaceColor));
  store.writeInt32("ForeColor", static_cast<int32_t>(s.foreColor()),
                   static_cast<int32_t>(kButtonTextColor));
  store.writeBool("Enabled", s.enabled(), true);
  store.writeFont("Font", s.font(), svc_.container.ambientFont());
  store.writeInt16("BorderStyle", s.borderStyle(), kBorderFixedSingle);
  store.writeString("FileURL", st_.FileURL, "");
  store.writeString("SaveFilePath", st_.SaveFilePath, "");
  store.writeBool("FailOnRedirect", st_.FailOnRedirect, true);
  store.writeBool("RenameOnRedirect", st_.RenameOnRedirect, true);
  store.writeBool("ShowProgress", st_.ShowProgress, true);
}

void bkDLControl::Terminate() {
  if (terminated_) return;
  terminated_ = true;
  if (!st_.Busy) return;
  CancelRunningRead();
}

}  // namespace dl
