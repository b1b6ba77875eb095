#pragma once
// The download control's logic: the state record, its properties, the
// download engine and the services the control works through.
//
// Threads: one, the host window's. Every member of bkDLControl, every
// service call the control makes and every report a TransferService delivers
// run on that thread. A service that does its work elsewhere hands its
// reports over by posting to that thread (its message loop); nothing here
// is locked. Events are raised synchronously and a handler may call back into
// the control (start a new download from DLError, cancel from a progress
// handler, pump the loop); the control holds no reference across an event.
//
// Strings are UTF-8. Strings passed to events are copies: a handler may
// assign properties without disturbing the value it was given.
//
// Ownership: the control holds references to its services (ControlServices)
// and never owns them; they must outlive it. A ReadContent file belongs to the
// transfer service and is valid only during the OnReadComplete call.
#include <cstdint>
#include <memory>
#include <string>

namespace dl {

// ---------------------------------------------------------------------------
// Error codes carried by DLError.
enum bkDLError : int32_t {
  bkDLEUnavailable = 1,
  bkDLERedirect = 2,
  bkDLEZeroLength = 3,
  bkDLESaveError = 4,
  bkDLEUnknown = 99,
};

// The control's fixed texts.
inline constexpr const char* kTextRedirectedTo = "Redirected to ";
inline constexpr const char* kTextZeroBytes = "Zero bytes retrieved";
inline constexpr const char* kStartFailureTitle = "bkDLControl Internal Error: ";
inline constexpr const char* kStartFailureLabel = "Error: ";

// Colours: a set top bit selects a system colour by the index in the low byte.
using OleColor = uint32_t;
inline constexpr OleColor kButtonFaceColor = 0x8000000Fu;  // default BackColor
inline constexpr OleColor kButtonTextColor = 0x80000012u;  // default ForeColor
inline constexpr int16_t kBorderNone = 0;
inline constexpr int16_t kBorderFixedSingle = 1;

// Arguments of StartRead as the control passes them.
inline constexpr int32_t kReadKindByteArray = 2;     // content delivered whole at completion
inline constexpr int32_t kReadOptionFreshCopy = 16;  // always from the server, never a cache

// Status codes of ReadReport (the platform's URL download status values).
namespace status {
inline constexpr int32_t kError = 0;
inline constexpr int32_t kFindingResource = 1;
inline constexpr int32_t kConnecting = 2;
inline constexpr int32_t kRedirecting = 3;
inline constexpr int32_t kBeginDownloadData = 4;
inline constexpr int32_t kDownloadingData = 5;
inline constexpr int32_t kEndDownloadData = 6;
inline constexpr int32_t kUsingCachedCopy = 10;
inline constexpr int32_t kSendingRequest = 11;
inline constexpr int32_t kMimeTypeAvailable = 13;
inline constexpr int32_t kCacheFileNameAvailable = 14;
}  // namespace status

// ---------------------------------------------------------------------------
// The state record, field for field.
struct ControlState {
  std::string FileURL;
  std::string SaveFilePath;
  bool Busy = false;
  float Percent = 0.0f;
  bool FailOnRedirect = true;
  std::string SaveFileName;
  bool ShowProgress = true;
  bool Saved = false;
  int32_t FileSize = 0;
  std::string ConnectionAddress;
  int32_t BytesRead = 0;
  std::string CacheFile;
  std::string RedirectFile;
  std::string MIMEType;
  bool RenameOnRedirect = true;  // the stored flag; the property reads it combined
};

// ---------------------------------------------------------------------------
// Transfer reports.

// What a report carries in Content. The received bytes of a completion report
// are not held in memory: the service streams them to a temporary file and
// names it in FilePath (a native path). Bytes holds the text of an error
// report, or small in-memory content from services that have no file.
struct ReadContent {
  std::string Bytes;
  std::string FilePath;  // non-empty: the content is this file's bytes
  // The service gives the file up: writeContent may move it into place
  // instead of copying it (the service tolerates finding it gone).
  bool Movable = false;

  bool inFile() const { return !FilePath.empty(); }
};

struct ReadReport {
  int32_t StatusCode = 0;  // progress reports only (status:: values)
  std::string StatusText;  // address, location, content type or file name
  int32_t BytesRead = 0;   // so far; in the completion report the total
  int32_t TotalBytes = 0;  // announced size; 0 or less when unknown
  ReadContent Content;     // completion: the content; status 0: the error text
};

// Receives the reports of the reads it started. Both calls are made on the
// host window's thread, from its message loop, never from inside StartRead
// or CancelRead. A sink should not throw; a service drops what escapes.
class ReadSink {
 public:
  virtual ~ReadSink() = default;
  virtual void OnReadProgress(const ReadReport& report) = 0;
  virtual void OnReadComplete(const ReadReport& report) = 0;
};

// The container's asynchronous transfer service. A read reports any number
// of progress reports and at most one completion report; after an error
// report (status 0) it sends no completion. A read that receives nothing for
// the service's stall limit (60 s unless configured) ends with an error
// report.
class TransferService {
 public:
  virtual ~TransferService() = default;
  // Begins a read of `address` and returns at once. Throws plat::PlatformError
  // (error number and description) when the read cannot be started; no report
  // is delivered for it then. Keys need not be unique: reads under one key
  // are all stopped by a CancelRead of it.
  virtual void StartRead(const std::string& address, int32_t kind, const std::string& key,
                         int32_t options, ReadSink& sink) = 0;
  // Stops the reads under `key`; no further report of them arrives, even one
  // already waiting in the message loop. Throws plat::PlatformError when no
  // read runs under the key.
  virtual void CancelRead(const std::string& key) = 0;
};

// ---------------------------------------------------------------------------
// What the host sees: the control's events. Default bodies do nothing, so a
// host overrides only what it handles. Handlers may call back into the control.
class ControlEvents {
 public:
  virtual ~ControlEvents() = default;
  virtual void Click() {}
  virtual void DblClick() {}
  virtual void MouseDown(int16_t /*Button*/, int16_t /*Shift*/, float /*X*/, float /*Y*/) {}
  virtual void MouseMove(int16_t /*Button*/, int16_t /*Shift*/, float /*X*/, float /*Y*/) {}
  virtual void MouseUp(int16_t /*Button*/, int16_t /*Shift*/, float /*X*/, float /*Y*/) {}
  virtual void DLProgress(float /*Percent*/, int32_t /*BytesRead*/, int32_t /*TotalBytes*/) {}
  virtual void DLCanceled() {}
  virtual void DLError(bkDLError /*E*/, std::string /*Error*/) {}
  virtual void DLComplete(int32_t /*Bytes*/) {}
  virtual void DLConnected(std::string /*ConnAddr*/) {}
  virtual void DLRedirect(std::string /*ConnAddr*/) {}
  virtual void DLCacheFile(std::string /*FileName*/) {}
  virtual void DLMIMEType(std::string /*MIMEType*/) {}
  virtual void DLFileSize(int32_t /*Bytes*/) {}
  virtual void DLBeginDownload() {}
};

// A font object as the platform knows it (on Windows a wrapper around the
// container's font dispatch object). The control only passes it along.
class FontObject {
 public:
  virtual ~FontObject() = default;
};
using FontPtr = std::shared_ptr<FontObject>;

// The control's drawing surface: its window and canvas. Appearance values
// live here, not in the state record. Coordinates are the surface's own units.
// Any call may throw plat::PlatformError, which reaches the property's caller.
class Surface {
 public:
  virtual ~Surface() = default;
  virtual OleColor backColor() = 0;
  virtual void setBackColor(OleColor c) = 0;
  virtual OleColor foreColor() = 0;
  virtual void setForeColor(OleColor c) = 0;
  virtual bool enabled() = 0;
  virtual void setEnabled(bool e) = 0;
  virtual FontPtr font() = 0;
  virtual void setFont(FontPtr f) = 0;
  virtual int16_t borderStyle() = 0;
  virtual void setBorderStyle(int16_t s) = 0;
  virtual double width() = 0;
  virtual double height() = 0;
  // Repaints at once: the surface clears itself to its background colour and
  // calls bkDLControl::Paint before returning (or as soon as it is visible).
  virtual void repaint() = 0;
  // Fills the rectangle between the two corners with colour c.
  virtual void fillRect(double x1, double y1, double x2, double y2, OleColor c) = 0;
};

// The container around the control.
class Container {
 public:
  virtual ~Container() = default;
  // Tells the container that the named property has a new value.
  virtual void propertyChanged(const std::string& name) = 0;
  // The font the host window uses.
  virtual FontPtr ambientFont() = 0;
};

// The container's property store of typed values under string keys. Reading
// gives the stored value, or the default when the key is absent; writing may
// leave out a value equal to its default. Failures throw plat::PlatformError.
class PropertyStore {
 public:
  virtual ~PropertyStore() = default;
  virtual int32_t readInt32(const std::string& key, int32_t def) = 0;
  virtual int16_t readInt16(const std::string& key, int16_t def) = 0;
  virtual bool readBool(const std::string& key, bool def) = 0;
  virtual std::string readString(const std::string& key, const std::string& def) = 0;
  virtual FontPtr readFont(const std::string& key, const FontPtr& def) = 0;
  virtual void writeInt32(const std::string& key, int32_t value, int32_t def) = 0;
  virtual void writeInt16(const std::string& key, int16_t value, int16_t def) = 0;
  virtual void writeBool(const std::string& key, bool value, bool def) = 0;
  virtual void writeString(const std::string& key, const std::string& value,
                           const std::string& def) = 0;
  virtual void writeFont(const std::string& key, const FontPtr& value, const FontPtr& def) = 0;
};

// Platform services of the host thread.
class ControlPlatform {
 public:
  virtual ~ControlPlatform() = default;
  // Handles the messages that are waiting (transfer reports included), then
  // returns; returns at once when none waits.
  virtual void pumpMessages() = 0;
  // Sleeps until a message (or a transfer report) is waiting, without
  // handling it. May return early; the caller pumps and checks again.
  virtual void waitForMessage() = 0;
  // Writes the content to `path` as a binary file: created when missing, an
  // existing file cut to the new length. `path` is composed the Windows way
  // ("\" separators); the implementation maps it onto its file system.
  // A movable content file may be renamed into place when the result is the
  // same (same volume, a plain writable target). Throws plat::PlatformError.
  virtual void writeContent(const std::string& path, const ReadContent& content) = 0;
  // Deletes a file; throws plat::PlatformError when it cannot.
  virtual void deleteFile(const std::string& path) = 0;
  // Modal message box with the critical-error icon and an OK button.
  virtual void criticalMessageBox(const std::string& prompt, const std::string& title) = 0;
};

struct ControlServices {
  TransferService& transfer;
  Surface& surface;
  Container& container;
  ControlPlatform& platform;
  ControlEvents& events;
};

// ---------------------------------------------------------------------------
// Path helpers.

// The text after the last `sep` (searched from the end); the whole text when
// there is none. Throws plat::PlatformError(plat::kErrOverflow) when the last
// separator sits at character position 32,767 or later (positions count from
// 1 in UTF-16 code units).
std::string LastPathSegment(const std::string& text, char sep);
// folder + name when folder ends with sep, else folder + sep + name.
std::string JoinPath(const std::string& folder, const std::string& name, char sep);

// ---------------------------------------------------------------------------
// The control. Construct it, then call exactly one of InitNew (a new
// instance) or ReadProperties (stored settings); call Terminate (or let the
// destructor do it) before the services go away.
class bkDLControl final : public ReadSink {
 public:
  explicit bkDLControl(ControlServices services);
  ~bkDLControl() override;
  bkDLControl(const bkDLControl&) = delete;
  bkDLControl& operator=(const bkDLControl&) = delete;

  const ControlState& state() const { return st_; }

  // Appearance, through the surface; each write marks its name changed.
  OleColor getBackColor();
  void putBackColor(OleColor c);
  OleColor getForeColor();
  void putForeColor(OleColor c);
  bool getEnabled();
  void putEnabled(bool e);
  FontPtr getFont();
  void putFont(FontPtr f);
  int16_t getBorderStyle();
  void putBorderStyle(int16_t s);

  // Read-only fields.
  int32_t getBytesRead() const { return st_.BytesRead; }
  std::string getCacheFile() const { return st_.CacheFile; }
  std::string getConnectionAddress() const { return st_.ConnectionAddress; }
  std::string getMIMEType() const { return st_.MIMEType; }
  std::string getRedirectFile() const { return st_.RedirectFile; }
  int32_t getFileSize() const { return st_.FileSize; }  // the COM side wraps it in a variant
  std::string getSaveFileName() const { return st_.SaveFileName; }

  // FileURL and SaveFilePath: store, derive SaveFileName, mark changed. The
  // derivation may throw plat::PlatformError(kErrOverflow); the value is then
  // stored but SaveFileName is unchanged and nothing is marked.
  std::string getFileURL() const { return st_.FileURL; }
  void putFileURL(const std::string& v);
  std::string getSaveFilePath() const { return st_.SaveFilePath; }
  void putSaveFilePath(const std::string& v);
  bool getFailOnRedirect() const { return st_.FailOnRedirect; }
  void putFailOnRedirect(bool v);
  // Reads the stored flag combined: true only while FailOnRedirect is false.
  bool getRenameOnRedirect() const { return st_.RenameOnRedirect && !st_.FailOnRedirect; }
  void putRenameOnRedirect(bool v);
  bool getShowProgress() const { return st_.ShowProgress; }
  void putShowProgress(bool v);  // no repaint of its own

  // Methods.
  void Refresh();
  bool BeginDownload(bool Wait = false);
  void CancelDownload();

  // Transfer reports (ReadSink).
  void OnReadProgress(const ReadReport& report) override;
  void OnReadComplete(const ReadReport& report) override;

  // Surface handlers.
  void Paint();
  void onClick();
  void onDblClick();
  void onMouseDown(int16_t button, int16_t shift, float x, float y);
  void onMouseMove(int16_t button, int16_t shift, float x, float y);
  void onMouseUp(int16_t button, int16_t shift, float x, float y);

  // Life cycle.
  void InitNew();                              // a new instance, no stored settings
  void ReadProperties(PropertyStore& store);   // load of the ten settings keys
  void WriteProperties(PropertyStore& store);  // save of the same keys
  void Terminate();                            // cancels a running read, no event; idempotent

  // Exposed for the hosts' and tests' use; also run by the control itself.
  void DeriveSaveFileName();
  void RenameForRedirect();
  void ResetDownloadState();
  void RaiseFailure(bkDLError code, const std::string& text);

 private:
  void WaitWhileBusy();
  void CancelRunningRead();
  void RemoveCacheFile();

  ControlServices svc_;
  ControlState st_;
  std::string readKey_;  // the key of the running read
  bool terminated_ = false;
};

// The ten settings keys, in load and save order.
inline constexpr const char* kSettingsKeys[10] = {
    "BackColor",    "ForeColor",      "Enabled",          "Font",        "BorderStyle", "FileURL",
    "SaveFilePath", "FailOnRedirect", "RenameOnRedirect", "ShowProgress"};

}  // namespace dl
