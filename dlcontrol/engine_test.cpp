// The control's engine against a scripted transfer service and recording
// fakes of the surface, container, property store and platform.
#include "dlcontrol/engine.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <variant>
#include <vector>

#include "platform/error.h"

namespace dl {
namespace {

struct Started {
  std::string address;
  int32_t kind;
  std::string key;
  int32_t options;
  ReadSink* sink;
};

class ScriptedTransfer : public TransferService {
 public:
  void StartRead(const std::string& address, int32_t kind, const std::string& key, int32_t options,
                 ReadSink& sink) override {
    if (failStart) throw plat::PlatformError(failNumber, failText);
    started.push_back({address, kind, key, options, &sink});
    running.push_back(key);
  }
  void CancelRead(const std::string& key) override {
    cancels.push_back(key);
    for (auto it = running.begin(); it != running.end(); ++it) {
      if (*it == key) {
        running.erase(it);
        return;
      }
    }
    throw plat::PlatformError(5, "no read under " + key);
  }
  bool failStart = false;
  int failNumber = 0;
  std::string failText;
  std::vector<Started> started;
  std::vector<std::string> running;
  std::vector<std::string> cancels;
};

struct Fill {
  double x1, y1, x2, y2;
  OleColor c;
};

class FakeSurface : public Surface {
 public:
  OleColor backColor() override { return back; }
  void setBackColor(OleColor c) override { back = c; }
  OleColor foreColor() override { return fore; }
  void setForeColor(OleColor c) override { fore = c; }
  bool enabled() override { return en; }
  void setEnabled(bool e) override { en = e; }
  FontPtr font() override { return fnt; }
  void setFont(FontPtr f) override { fnt = std::move(f); }
  int16_t borderStyle() override { return border; }
  void setBorderStyle(int16_t s) override { border = s; }
  double width() override { return 200.0; }
  double height() override { return 20.0; }
  void repaint() override {
    ++repaints;
    fills.clear();  // cleared to the background, then painted
    if (control) control->Paint();
  }
  void fillRect(double x1, double y1, double x2, double y2, OleColor c) override {
    fills.push_back({x1, y1, x2, y2, c});
  }
  OleColor back = 1, fore = 2;
  bool en = false;
  FontPtr fnt;
  int16_t border = 7;
  int repaints = 0;
  std::vector<Fill> fills;
  bkDLControl* control = nullptr;
};

class FakeContainer : public Container {
 public:
  void propertyChanged(const std::string& name) override { changed.push_back(name); }
  FontPtr ambientFont() override { return ambient; }
  std::vector<std::string> changed;
  FontPtr ambient = std::make_shared<FontObject>();
};

using Value = std::variant<int32_t, int16_t, bool, std::string, FontPtr>;

class FakeStore : public PropertyStore {
 public:
  template <class T>
  T read(const std::string& key, const T& def) {
    reads.push_back(key);
    auto it = values.find(key);
    return it == values.end() ? def : std::get<T>(it->second);
  }
  template <class T>
  void write(const std::string& key, const T& v, const T& def) {
    writes.push_back(key);
    defaults[key] = def;
    values[key] = v;
  }
  int32_t readInt32(const std::string& k, int32_t d) override { return read(k, d); }
  int16_t readInt16(const std::string& k, int16_t d) override { return read(k, d); }
  bool readBool(const std::string& k, bool d) override { return read(k, d); }
  std::string readString(const std::string& k, const std::string& d) override { return read(k, d); }
  FontPtr readFont(const std::string& k, const FontPtr& d) override { return read(k, d); }
  void writeInt32(const std::string& k, int32_t v, int32_t d) override { write(k, v, d); }
  void writeInt16(const std::string& k, int16_t v, int16_t d) override { write(k, v, d); }
  void writeBool(const std::string& k, bool v, bool d) override { write(k, v, d); }
  void writeString(const std::string& k, const std::string& v, const std::string& d) override {
    write(k, v, d);
  }
  void writeFont(const std::string& k, const FontPtr& v, const FontPtr& d) override {
    write(k, v, d);
  }
  std::map<std::string, Value> values, defaults;
  std::vector<std::string> reads, writes;
};

class FakePlatform : public ControlPlatform {
 public:
  // Each pump runs the next scripted step (the messages that were waiting).
  void pumpMessages() override {
    ++pumps;
    if (!script.empty()) {
      auto step = std::move(script.front());
      script.pop_front();
      step();
    }
  }
  void waitForMessage() override { ++waits; }
  void writeContent(const std::string& path, const ReadContent& content) override {
    if (writeError) throw plat::PlatformError(76, "Path not found");
    files[path] = content.Bytes;
  }
  void deleteFile(const std::string& path) override {
    deletes.push_back(path);
    if (files.erase(path) == 0) throw plat::PlatformError(53, "File not found");
  }
  void criticalMessageBox(const std::string& prompt, const std::string& title) override {
    boxes.push_back({prompt, title});
  }
  std::deque<std::function<void()>> script;
  int pumps = 0, waits = 0;
  bool writeError = false;
  std::map<std::string, std::string> files;
  std::vector<std::string> deletes;
  std::vector<std::pair<std::string, std::string>> boxes;
};

// Records every event as text, with the Busy flag seen inside the handler.
class Recorder : public ControlEvents {
 public:
  void Click() override { log("Click"); }
  void MouseDown(int16_t b, int16_t s, float x, float y) override {
    log("MouseDown(" + std::to_string(b) + "," + std::to_string(s) + "," + std::to_string(x) + "," +
        std::to_string(y) + ")");
  }
  void DLProgress(float p, int32_t r, int32_t t) override {
    log("DLProgress(" + std::to_string(p) + "," + std::to_string(r) + "," + std::to_string(t) +
        ")");
  }
  void DLCanceled() override { log("DLCanceled"); }
  void DLError(bkDLError e, std::string text) override {
    log("DLError(" + std::to_string(e) + "," + text + ")");
  }
  void DLComplete(int32_t b) override { log("DLComplete(" + std::to_string(b) + ")"); }
  void DLConnected(std::string a) override { log("DLConnected(" + a + ")"); }
  void DLRedirect(std::string a) override { log("DLRedirect(" + a + ")"); }
  void DLCacheFile(std::string f) override { log("DLCacheFile(" + f + ")"); }
  void DLMIMEType(std::string m) override { log("DLMIMEType(" + m + ")"); }
  void DLFileSize(int32_t b) override { log("DLFileSize(" + std::to_string(b) + ")"); }
  void DLBeginDownload() override { log("DLBeginDownload"); }

  void log(const std::string& e) {
    events.push_back(e);
    busy.push_back(control && control->state().Busy);
    auto it = on.find(e);
    if (it != on.end()) {
      auto f = it->second;  // may run once only
      on.erase(it);
      f();
    }
  }
  std::vector<std::string> events;
  std::vector<bool> busy;
  std::map<std::string, std::function<void()>> on;  // reactions by event text
  bkDLControl* control = nullptr;
};

ReadReport progress(int32_t code, std::string text = "", int32_t read = 0, int32_t total = 0) {
  ReadReport r;
  r.StatusCode = code;
  r.StatusText = std::move(text);
  r.BytesRead = read;
  r.TotalBytes = total;
  return r;
}

ReadReport completion(const std::string& bytes) {
  ReadReport r;
  r.BytesRead = static_cast<int32_t>(bytes.size());
  r.Content.Bytes = bytes;
  return r;
}

ReadReport errorReport(const std::string& text) {
  ReadReport r = progress(status::kError);
  r.Content.Bytes = text;
  return r;
}

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() : ctl(ControlServices{transfer, surface, container, platform, events}) {
    surface.control = &ctl;
    events.control = &ctl;
    ctl.InitNew();
    container.changed.clear();
  }
  void prepare(const std::string& url = "http://h/update/pkgrar.xml",
               const std::string& folder = "C:\\Upd") {
    ctl.putFileURL(url);
    ctl.putSaveFilePath(folder);
  }
  ReadSink& sink() { return *transfer.started.back().sink; }
  void runToEnd(const std::string& body) {
    sink().OnReadProgress(progress(status::kBeginDownloadData, "", 0, int32_t(body.size())));
    sink().OnReadProgress(
        progress(status::kEndDownloadData, "", int32_t(body.size()), int32_t(body.size())));
    sink().OnReadComplete(completion(body));
  }

  ScriptedTransfer transfer;
  FakeSurface surface;
  FakeContainer container;
  FakePlatform platform;
  Recorder events;
  bkDLControl ctl;
};

using Events = std::vector<std::string>;

TEST(PathTest, LastSegmentAndJoin) {
  EXPECT_EQ(LastPathSegment("a\\b\\c.rar", '\\'), "c.rar");
  EXPECT_EQ(LastPathSegment("plain", '\\'), "plain");
  EXPECT_EQ(LastPathSegment("dir\\", '\\'), "");
  EXPECT_EQ(JoinPath("C:\\Upd", "x", '\\'), "C:\\Upd\\x");
  EXPECT_EQ(JoinPath("C:\\", "x", '\\'), "C:\\x");
  EXPECT_EQ(JoinPath("", "x", '\\'), "\\x");
}

TEST(PathTest, SeparatorPositionOverflowsAt32767) {
  const std::string ok = std::string(32765, 'a') + "\\tail";  // separator at 32,766
  EXPECT_EQ(LastPathSegment(ok, '\\'), "tail");
  try {
    LastPathSegment(std::string(32766, 'a') + "\\tail", '\\');
    FAIL() << "no overflow";
  } catch (const plat::PlatformError& e) {
    EXPECT_EQ(e.number(), plat::kErrOverflow);
  }
  // Positions count UTF-16 units: 10,922 three-byte characters are 10,922
  // positions, not 32,766 bytes.
  std::string wide;
  for (int i = 0; i < 10922; ++i) wide += "\xE5\x85\xA5";
  EXPECT_EQ(LastPathSegment(wide + "\\t", '\\'), "t");
  // A four-byte character takes two positions.
  std::string astral;
  for (int i = 0; i < 16383; ++i) astral += "\xF0\x9F\x98\x80";
  EXPECT_THROW(LastPathSegment(astral + "\\t", '\\'), plat::PlatformError);  // at 32,767
}

TEST_F(EngineTest, NewInstanceDefaults) {
  const auto& s = ctl.state();
  EXPECT_EQ(s.FileURL, "");
  EXPECT_EQ(s.SaveFilePath, "");
  EXPECT_FALSE(s.Busy);
  EXPECT_EQ(s.Percent, 0.0f);
  EXPECT_TRUE(ctl.getFailOnRedirect());
  EXPECT_FALSE(ctl.getRenameOnRedirect());  // hidden behind FailOnRedirect
  EXPECT_TRUE(s.RenameOnRedirect);
  EXPECT_TRUE(ctl.getShowProgress());
  EXPECT_EQ(ctl.getFileSize(), 0);
  EXPECT_EQ(ctl.getSaveFileName(), "");
  EXPECT_EQ(ctl.getFont(), container.ambient);

  // Only the font goes through its property on a new instance.
  FakeContainer c2;
  bkDLControl fresh(ControlServices{transfer, surface, c2, platform, events});
  fresh.InitNew();
  EXPECT_EQ(c2.changed, Events{"Font"});
}

TEST_F(EngineTest, WritesMarkChangedAndRenameReadsCombined) {
  ctl.putBackColor(0x00FF00);
  ctl.putForeColor(0x0000FF);
  ctl.putEnabled(true);
  ctl.putBorderStyle(0);
  ctl.putShowProgress(false);
  ctl.putFailOnRedirect(true);
  ctl.putRenameOnRedirect(true);
  EXPECT_EQ(surface.back, 0x00FF00u);
  EXPECT_EQ(ctl.getForeColor(), 0x0000FFu);
  EXPECT_EQ(ctl.getBorderStyle(), 0);
  EXPECT_EQ(container.changed, (Events{"BackColor", "ForeColor", "Enabled", "BorderStyle",
                                       "ShowProgress", "FailOnRedirect", "RenameOnRedirect"}));
  EXPECT_EQ(surface.repaints, 0);  // ShowProgress waits for the next repaint
  EXPECT_FALSE(ctl.getRenameOnRedirect());
  ctl.putFailOnRedirect(false);
  EXPECT_TRUE(ctl.getRenameOnRedirect());
  ctl.putRenameOnRedirect(false);
  EXPECT_FALSE(ctl.getRenameOnRedirect());
}

TEST_F(EngineTest, SaveFileNameDerivation) {
  prepare("http://h/update/pkgrar.xml", "C:\\Upd");
  EXPECT_EQ(ctl.getSaveFileName(), "C:\\Upd\\pkgrar.xml");
  ctl.putSaveFilePath("C:\\Upd\\");
  EXPECT_EQ(ctl.getSaveFileName(), "C:\\Upd\\pkgrar.xml");
  ctl.putFileURL("http://h/get?f=a/b.bin");  // the query goes with the name
  EXPECT_EQ(ctl.getSaveFileName(), "C:\\Upd\\b.bin");
  ctl.putFileURL("http://h/dir/");
  EXPECT_EQ(ctl.getSaveFileName(), "C:\\Upd\\");
  ctl.putFileURL("http://h/file.exe?x=1");
  EXPECT_EQ(ctl.getSaveFileName(), "C:\\Upd\\file.exe?x=1");
  ctl.putSaveFilePath("");
  EXPECT_EQ(ctl.getSaveFileName(), "");
  EXPECT_EQ(container.changed, (Events{"FileURL", "SaveFilePath", "SaveFilePath", "FileURL",
                                       "FileURL", "FileURL", "SaveFilePath"}));
}

TEST_F(EngineTest, OverlongAssignmentIsStoredButOverflows) {
  prepare();
  container.changed.clear();
  const std::string longUrl = "http://h/" + std::string(40000, 'a') + "/x";
  try {
    ctl.putFileURL(longUrl);
    FAIL() << "no overflow";
  } catch (const plat::PlatformError& e) {
    EXPECT_EQ(e.number(), 6);
  }
  EXPECT_EQ(ctl.getFileURL(), longUrl);
  EXPECT_EQ(ctl.getSaveFileName(), "C:\\Upd\\pkgrar.xml");
  EXPECT_TRUE(container.changed.empty());
}

TEST_F(EngineTest, BeginDownloadRefusals) {
  EXPECT_FALSE(ctl.BeginDownload());
  ctl.putFileURL("http://h/a.bin");
  EXPECT_FALSE(ctl.BeginDownload());
  ctl.putFileURL("");
  ctl.putSaveFilePath("C:\\d");
  EXPECT_FALSE(ctl.BeginDownload());
  EXPECT_TRUE(transfer.started.empty());
  ctl.putFileURL("http://h/a.bin");
  EXPECT_TRUE(ctl.BeginDownload());
  EXPECT_FALSE(ctl.BeginDownload());
  EXPECT_EQ(transfer.started.size(), 1u);
  EXPECT_TRUE(events.events.empty());
}

TEST_F(EngineTest, StartPassesAddressKeyAndFreshCopy) {
  prepare();
  EXPECT_TRUE(ctl.BeginDownload());
  const auto& s = transfer.started.at(0);
  EXPECT_EQ(s.address, "http://h/update/pkgrar.xml");
  EXPECT_EQ(s.kind, 2);
  EXPECT_EQ(s.key, "C:\\Upd\\pkgrar.xml");
  EXPECT_EQ(s.options, 16);
  EXPECT_TRUE(ctl.state().Busy);
  EXPECT_TRUE(events.events.empty());  // returns before any event
}

TEST_F(EngineTest, StartFailureRaisesThenShowsBox) {
  prepare();
  transfer.failStart = true;
  transfer.failNumber = 5;
  transfer.failText = "The address is not valid";
  ctl.state();
  EXPECT_FALSE(ctl.BeginDownload(true));
  EXPECT_EQ(events.events, (Events{"DLError(1,The address is not valid)", "DLComplete(0)"}));
  EXPECT_EQ(events.busy, (std::vector<bool>{false, false}));
  ASSERT_EQ(platform.boxes.size(), 1u);
  EXPECT_EQ(platform.boxes[0].first, "5Error: \r\nThe address is not valid");
  EXPECT_EQ(platform.boxes[0].second, "bkDLControl Internal Error: 5");
  EXPECT_EQ(ctl.getFileURL(), "http://h/update/pkgrar.xml");
  EXPECT_EQ(platform.pumps, 0);
}

TEST_F(EngineTest, SuccessfulDownloadSequence) {
  prepare();
  ASSERT_TRUE(ctl.BeginDownload());
  ReadSink& s = sink();
  s.OnReadProgress(progress(status::kFindingResource, "h"));
  s.OnReadProgress(progress(status::kConnecting, "127.0.0.1"));
  s.OnReadProgress(progress(status::kSendingRequest));
  s.OnReadProgress(progress(status::kMimeTypeAvailable, "application/octet-stream"));
  s.OnReadProgress(progress(status::kBeginDownloadData, "", 0, 8));
  s.OnReadProgress(progress(status::kDownloadingData, "", 4, 8));
  EXPECT_EQ(ctl.state().Percent, 0.5f);
  ASSERT_EQ(surface.fills.size(), 1u);  // every report repaints
  EXPECT_DOUBLE_EQ(surface.fills[0].x2, 100.0);
  s.OnReadProgress(progress(status::kEndDownloadData, "", 8, 8));
  s.OnReadProgress(progress(status::kUsingCachedCopy));
  s.OnReadProgress(progress(77));
  const int repaintsBefore = surface.repaints;
  s.OnReadComplete(completion("12345678"));
  EXPECT_EQ(events.events, (Events{"DLConnected(127.0.0.1)", "DLMIMEType(application/octet-stream)",
                                   "DLFileSize(8)", "DLBeginDownload", "DLProgress(0.500000,4,8)",
                                   "DLProgress(1.000000,8,8)", "DLComplete(8)"}));
  EXPECT_TRUE(events.busy.back());  // Busy clears only after the handler returns
  EXPECT_FALSE(ctl.state().Busy);
  EXPECT_TRUE(ctl.state().Saved);
  EXPECT_EQ(platform.files.at("C:\\Upd\\pkgrar.xml"), "12345678");
  EXPECT_EQ(ctl.getConnectionAddress(), "127.0.0.1");
  EXPECT_EQ(ctl.getMIMEType(), "application/octet-stream");
  EXPECT_EQ(ctl.getFileSize(), 8);
  EXPECT_EQ(surface.repaints, repaintsBefore);  // success leaves the bar full
  EXPECT_EQ(ctl.state().Percent, 1.0f);
  EXPECT_TRUE(platform.deletes.empty());  // no cache file was reported
}

TEST_F(EngineTest, NoNewDownloadFromSuccessfulComplete) {
  prepare();
  ctl.BeginDownload();
  bool again = true;
  events.on["DLComplete(3)"] = [&] { again = ctl.BeginDownload(); };
  sink().OnReadComplete(completion("abc"));
  EXPECT_FALSE(again);
  EXPECT_EQ(transfer.started.size(), 1u);
}

TEST_F(EngineTest, CompletionBytesDoNotUpdateBytesRead) {
  prepare();
  ctl.BeginDownload();
  sink().OnReadProgress(progress(status::kDownloadingData, "", 2, 0));
  sink().OnReadComplete(completion("abcd"));
  EXPECT_EQ(ctl.getBytesRead(), 2);
}

TEST_F(EngineTest, CacheFileIsRemovedAndItsFailureIgnored) {
  prepare();
  ctl.BeginDownload();
  platform.files["/cache/x"] = "old";
  sink().OnReadProgress(progress(status::kCacheFileNameAvailable, "/cache/x"));
  sink().OnReadComplete(completion("data"));
  EXPECT_EQ(platform.deletes, Events{"/cache/x"});
  EXPECT_EQ(platform.files.count("/cache/x"), 0u);

  events.events.clear();
  ctl.BeginDownload();
  sink().OnReadProgress(progress(status::kCacheFileNameAvailable, "/cache/gone"));
  sink().OnReadComplete(completion("data"));
  EXPECT_EQ(events.events, (Events{"DLCacheFile(/cache/gone)", "DLComplete(4)"}));
  EXPECT_FALSE(ctl.state().Busy);
}

TEST_F(EngineTest, ErrorStatusFails) {
  prepare();
  ctl.BeginDownload();
  sink().OnReadProgress(progress(status::kDownloadingData, "", 5, 10));
  sink().OnReadProgress(errorReport("The server answered 404 Not Found"));
  EXPECT_EQ(events.events,
            (Events{"DLProgress(0.500000,5,10)", "DLError(99,The server answered 404 Not Found)",
                    "DLComplete(0)"}));
  EXPECT_EQ(events.busy, (std::vector<bool>{true, false, false}));
  EXPECT_EQ(ctl.state().Percent, 0.0f);
  EXPECT_TRUE(surface.fills.empty());  // the bar is cleared at once
  EXPECT_EQ(ctl.getBytesRead(), 5);    // per-download fields are kept
}

TEST_F(EngineTest, CompletionAfterErrorReportFailsAgain) {
  prepare();
  ctl.BeginDownload();
  sink().OnReadProgress(errorReport("broken"));
  sink().OnReadComplete(completion(""));
  EXPECT_EQ(events.events, (Events{"DLError(99,broken)", "DLComplete(0)",
                                   "DLError(3,Zero bytes retrieved)", "DLComplete(0)"}));
}

TEST_F(EngineTest, RedirectWithFailOnRedirectCancels) {
  prepare();
  ctl.putRenameOnRedirect(true);
  ctl.BeginDownload();
  sink().OnReadProgress(progress(status::kRedirecting, "http://other/new.bin"));
  EXPECT_EQ(transfer.cancels, Events{"C:\\Upd\\pkgrar.xml"});
  EXPECT_EQ(events.events,
            (Events{"DLError(2,Redirected to http://other/new.bin)", "DLComplete(0)"}));
  EXPECT_EQ(ctl.getRedirectFile(), "http://other/new.bin");
  EXPECT_FALSE(ctl.getRenameOnRedirect());
  EXPECT_FALSE(ctl.state().Busy);
}

TEST_F(EngineTest, RedirectFailsEvenWhenItsCancelFindsNoRead) {
  prepare();
  ctl.BeginDownload();
  transfer.running.clear();
  sink().OnReadProgress(progress(status::kRedirecting, "http://other/new.bin"));
  EXPECT_EQ(events.events.at(0), "DLError(2,Redirected to http://other/new.bin)");
  EXPECT_FALSE(ctl.state().Busy);
}

TEST_F(EngineTest, RedirectRenamesOnlyWithTheStoredFlag) {
  for (bool rename : {true, false}) {
    SCOPED_TRACE(rename);
    prepare();
    ctl.putFailOnRedirect(false);
    ctl.putRenameOnRedirect(rename);
    events.events.clear();
    platform.files.clear();
    ASSERT_TRUE(ctl.BeginDownload());
    sink().OnReadProgress(progress(status::kRedirecting, "http://other/dir/new.bin"));
    sink().OnReadComplete(completion("xyz"));
    EXPECT_EQ(events.events, (Events{"DLRedirect(http://other/dir/new.bin)", "DLComplete(3)"}));
    const std::string expected = rename ? "C:\\Upd\\new.bin" : "C:\\Upd\\pkgrar.xml";
    EXPECT_EQ(ctl.getSaveFileName(), expected);
    EXPECT_EQ(platform.files.count(expected), 1u);
    EXPECT_TRUE(transfer.cancels.empty());
  }
}

TEST_F(EngineTest, ZeroBytesTouchesNoFile) {
  prepare();
  ctl.BeginDownload();
  sink().OnReadProgress(progress(status::kBeginDownloadData, "", 0, 0));
  sink().OnReadComplete(completion(""));
  EXPECT_EQ(events.events, (Events{"DLFileSize(0)", "DLBeginDownload",
                                   "DLError(3,Zero bytes retrieved)", "DLComplete(0)"}));
  EXPECT_TRUE(platform.files.empty());
  EXPECT_FALSE(ctl.state().Saved);
}

TEST_F(EngineTest, SaveFailureNamesTheTarget) {
  prepare();
  ctl.BeginDownload();
  platform.writeError = true;
  sink().OnReadComplete(completion("data"));
  EXPECT_EQ(events.events,
            (Events{"DLError(4,Path not found [C:\\Upd\\pkgrar.xml])", "DLComplete(0)"}));
  EXPECT_FALSE(ctl.state().Saved);
  EXPECT_FALSE(ctl.state().Busy);
}

TEST_F(EngineTest, RenameOverflowIsASaveFailure) {
  prepare();
  ctl.putFailOnRedirect(false);
  ctl.BeginDownload();
  sink().OnReadProgress(
      progress(status::kRedirecting, "http://o/" + std::string(33000, 'z') + "/f"));
  sink().OnReadComplete(completion("data"));
  EXPECT_EQ(events.events.at(1).rfind("DLError(4,Overflow [C:\\Upd\\pkgrar.xml])", 0), 0u);
}

TEST_F(EngineTest, CancelWhileBusyAndWhileIdle) {
  ctl.CancelDownload();
  EXPECT_TRUE(events.events.empty());
  EXPECT_TRUE(transfer.cancels.empty());
  prepare();
  ctl.BeginDownload();
  sink().OnReadProgress(progress(status::kDownloadingData, "", 1, 4));
  ctl.CancelDownload();
  EXPECT_EQ(transfer.cancels, Events{"C:\\Upd\\pkgrar.xml"});
  EXPECT_EQ(events.events, (Events{"DLProgress(0.250000,1,4)", "DLCanceled"}));
  EXPECT_EQ(events.busy.back(), false);
  EXPECT_EQ(ctl.state().Percent, 0.0f);
  EXPECT_TRUE(surface.fills.empty());
  EXPECT_TRUE(platform.files.empty());
}

TEST_F(EngineTest, NewDownloadFromFailureAndCancelHandlers) {
  prepare();
  // From DLError: the old download's DLComplete(0) arrives while the new one runs.
  ctl.BeginDownload();
  bool restarted = false;
  events.on["DLError(99,x)"] = [&] { restarted = ctl.BeginDownload(); };
  sink().OnReadProgress(errorReport("x"));
  EXPECT_TRUE(restarted);
  EXPECT_EQ(events.busy.back(), true);  // DLComplete(0) saw the new download busy
  EXPECT_TRUE(ctl.state().Busy);

  // From DLComplete(0).
  restarted = false;
  events.on["DLComplete(0)"] = [&] { restarted = ctl.BeginDownload(); };
  sink().OnReadComplete(completion(""));
  EXPECT_TRUE(restarted);

  // From DLCanceled.
  restarted = false;
  events.on["DLCanceled"] = [&] { restarted = ctl.BeginDownload(); };
  ctl.CancelDownload();
  EXPECT_TRUE(restarted);
  EXPECT_EQ(transfer.started.size(), 4u);
}

TEST_F(EngineTest, AssignmentWhileBusyMovesTheTarget) {
  prepare();
  ctl.BeginDownload();
  ctl.putSaveFilePath("D:\\Other");
  sink().OnReadComplete(completion("data"));
  EXPECT_EQ(platform.files.count("D:\\Other\\pkgrar.xml"), 1u);
  transfer.running.clear();  // that read ended with its completion

  // The cancel, and the teardown, stop the read under the key it started
  // with, not under the moved target: no read outlives the control's wish.
  ctl.BeginDownload();
  ctl.putFileURL("http://h/else.bin");
  ctl.CancelDownload();
  EXPECT_EQ(transfer.cancels.back(), "D:\\Other\\pkgrar.xml");
  EXPECT_TRUE(transfer.running.empty());
  EXPECT_FALSE(ctl.state().Busy);
  EXPECT_EQ(events.events.back(), "DLCanceled");
  ctl.BeginDownload();
  ctl.putSaveFilePath("E:\\Moved");
  ctl.Terminate();
  EXPECT_EQ(transfer.cancels.back(), "D:\\Other\\else.bin");
  EXPECT_TRUE(transfer.running.empty());
}

// A host's handler that throws: the exception reaches the caller, yet the
// control ends idle and every failure still ends with DLComplete (0).
TEST_F(EngineTest, ThrowingHandlersLeaveTheStateSound) {
  struct Thrown {};
  prepare();
  ctl.BeginDownload();
  events.on["DLComplete(4)"] = [] { throw Thrown{}; };
  EXPECT_THROW(sink().OnReadComplete(completion("data")), Thrown);
  EXPECT_FALSE(ctl.state().Busy);

  ctl.BeginDownload();
  events.on["DLError(99,down)"] = [] { throw Thrown{}; };
  EXPECT_THROW(sink().OnReadProgress(errorReport("down")), Thrown);
  EXPECT_EQ(events.events.back(), "DLComplete(0)");
  EXPECT_FALSE(ctl.state().Busy);
  EXPECT_TRUE(ctl.BeginDownload());
}

TEST_F(EngineTest, PercentRules) {
  prepare();
  ctl.BeginDownload();
  sink().OnReadProgress(progress(status::kDownloadingData, "", 1, 3));
  EXPECT_EQ(ctl.state().Percent, static_cast<float>(1.0 / 3.0));
  sink().OnReadProgress(progress(status::kDownloadingData, "", 500, 0));  // unknown size
  EXPECT_EQ(ctl.state().Percent, 0.0f);
  EXPECT_EQ(events.events.back(), "DLProgress(0.000000,500,0)");
  sink().OnReadProgress(progress(status::kDownloadingData, "", 600, -1));
  EXPECT_EQ(ctl.state().Percent, 0.0f);
  EXPECT_TRUE(surface.fills.empty());
  sink().OnReadProgress(progress(status::kEndDownloadData, "", 3, 3));
  sink().OnReadComplete(completion("abc"));
  // A new start does not clear the bar; the first data report moves it.
  ctl.BeginDownload();
  EXPECT_EQ(ctl.state().Percent, 1.0f);
  EXPECT_EQ(ctl.getBytesRead(), 0);
  EXPECT_EQ(ctl.getFileSize(), 0);
}

TEST_F(EngineTest, PaintsTheBarFromTheLeft) {
  prepare();
  ctl.BeginDownload();
  ctl.putForeColor(0x123456);
  sink().OnReadProgress(progress(status::kDownloadingData, "", 0, 10));
  EXPECT_TRUE(surface.fills.empty());
  sink().OnReadProgress(progress(status::kDownloadingData, "", 5, 10));
  ASSERT_EQ(surface.fills.size(), 1u);
  EXPECT_DOUBLE_EQ(surface.fills[0].x1, 0.0);
  EXPECT_DOUBLE_EQ(surface.fills[0].y1, 0.0);
  EXPECT_DOUBLE_EQ(surface.fills[0].x2, 100.0);
  EXPECT_DOUBLE_EQ(surface.fills[0].y2, 20.0);
  EXPECT_EQ(surface.fills[0].c, 0x123456u);
  sink().OnReadProgress(progress(status::kDownloadingData, "", 10, 10));
  EXPECT_DOUBLE_EQ(surface.fills.at(0).x2, 200.0);
  ctl.putShowProgress(false);
  EXPECT_EQ(surface.fills.size(), 1u);  // still shown until the next repaint
  ctl.Refresh();
  EXPECT_TRUE(surface.fills.empty());
}

TEST_F(EngineTest, WaitPumpsUntilTheDownloadEnds) {
  prepare();
  platform.script.push_back([&] { sink().OnReadProgress(progress(status::kConnecting, "a")); });
  platform.script.push_back([] {});
  platform.script.push_back([&] { sink().OnReadComplete(completion("abc")); });
  EXPECT_TRUE(ctl.BeginDownload(true));
  EXPECT_EQ(platform.pumps, 3);
  EXPECT_EQ(platform.waits, 2);  // slept between rounds, never after the end
  EXPECT_EQ(events.events.back(), "DLComplete(3)");

  // A cancel from another handler during the wait ends it with false.
  platform.script.push_back([&] { ctl.CancelDownload(); });
  EXPECT_FALSE(ctl.BeginDownload(true));
  // So does a failure.
  platform.script.push_back([&] { sink().OnReadProgress(errorReport("gone")); });
  EXPECT_FALSE(ctl.BeginDownload(true));
  EXPECT_EQ(events.events.back(), "DLComplete(0)");
}

TEST_F(EngineTest, LoadAppliesStoredValuesAndDefaults) {
  FakeStore store;
  store.values["ForeColor"] = int32_t(0x00FF00);
  store.values["FileURL"] = std::string("http://h/a.bin");
  store.values["SaveFilePath"] = std::string("C:\\x");
  store.values["FailOnRedirect"] = false;
  store.values["RenameOnRedirect"] = false;
  FakeContainer c2;
  bkDLControl loaded(ControlServices{transfer, surface, c2, platform, events});
  loaded.ReadProperties(store);
  EXPECT_EQ(store.reads, Events(std::begin(kSettingsKeys), std::end(kSettingsKeys)));
  EXPECT_EQ(surface.back, kButtonFaceColor);
  EXPECT_EQ(surface.fore, 0x00FF00u);
  EXPECT_TRUE(surface.en);
  EXPECT_EQ(surface.fnt, c2.ambient);
  EXPECT_EQ(surface.border, 1);
  EXPECT_EQ(loaded.getFileURL(), "http://h/a.bin");
  EXPECT_EQ(loaded.getSaveFileName(), "");  // not derived until assigned at run time
  EXPECT_FALSE(loaded.getFailOnRedirect());
  EXPECT_FALSE(loaded.getRenameOnRedirect());
  EXPECT_TRUE(loaded.getShowProgress());
  EXPECT_EQ(c2.changed, Events{"Font"});
  loaded.putSaveFilePath("C:\\y");
  EXPECT_EQ(loaded.getSaveFileName(), "C:\\y\\a.bin");
}

TEST_F(EngineTest, SaveWritesTheStoredRenameFlag) {
  ctl.putRenameOnRedirect(false);
  ctl.putRenameOnRedirect(true);  // reads false (FailOnRedirect), stored true
  ctl.putFileURL("http://h/a.bin");
  ctl.putBackColor(0x42);
  FakeStore store;
  ctl.WriteProperties(store);
  EXPECT_EQ(store.writes, Events(std::begin(kSettingsKeys), std::end(kSettingsKeys)));
  EXPECT_EQ(std::get<int32_t>(store.values["BackColor"]), 0x42);
  EXPECT_EQ(std::get<int32_t>(store.defaults["BackColor"]), int32_t(0x8000000F));
  EXPECT_EQ(std::get<int32_t>(store.defaults["ForeColor"]), int32_t(0x80000012));
  EXPECT_EQ(std::get<int16_t>(store.defaults["BorderStyle"]), 1);
  EXPECT_EQ(std::get<FontPtr>(store.defaults["Font"]), container.ambient);
  EXPECT_EQ(std::get<bool>(store.values["RenameOnRedirect"]), true);
  EXPECT_EQ(std::get<bool>(store.defaults["RenameOnRedirect"]), true);
  EXPECT_EQ(std::get<std::string>(store.values["FileURL"]), "http://h/a.bin");

  // Round trip into a fresh control.
  FakeSurface s2;
  bkDLControl back(ControlServices{transfer, s2, container, platform, events});
  back.ReadProperties(store);
  EXPECT_EQ(s2.back, 0x42u);
  EXPECT_TRUE(back.state().RenameOnRedirect);
  EXPECT_FALSE(back.getRenameOnRedirect());
}

TEST_F(EngineTest, TeardownCancelsSilently) {
  prepare();
  {
    bkDLControl other(ControlServices{transfer, surface, container, platform, events});
    other.putFileURL("http://h/t.bin");
    other.putSaveFilePath("C:\\t");
    other.BeginDownload();
    transfer.running.clear();  // its cancel fails; that is ignored
  }
  EXPECT_EQ(transfer.cancels, Events{"C:\\t\\t.bin"});
  ctl.BeginDownload();
  ctl.Terminate();
  EXPECT_EQ(transfer.cancels.back(), "C:\\Upd\\pkgrar.xml");
  EXPECT_TRUE(events.events.empty());
}

TEST_F(EngineTest, SurfaceEventsPassThrough) {
  ctl.onClick();
  ctl.onMouseDown(1, 2, 3.5f, 4.0f);
  EXPECT_EQ(events.events, (Events{"Click", "MouseDown(1,2,3.500000,4.000000)"}));
}

}  // namespace
}  // namespace dl
