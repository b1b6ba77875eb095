// The libcurl transfer service against an in-process server, on its own and
// under the control's engine with real files.
#include "dlcontrol/curl_transfer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>

#include "dlcontrol/engine.h"
#include "dlcontrol/posix_host.h"
#include "platform/error.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_folder.h"

namespace dl {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;

using testsupport::TempFolder;

bool samePattern(const fs::path& file, uint64_t expectedSize) {
  std::ifstream in(file, std::ios::binary);
  std::vector<char> buf(1 << 20);
  uint64_t offset = 0;
  while (in) {
    in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    const auto n = static_cast<uint64_t>(in.gcount());
    for (uint64_t i = 0; i < n; ++i) {
      if (buf[i] != testsupport::patternByte(offset + i)) return false;
    }
    offset += n;
  }
  return offset == expectedSize;
}

std::string run(const std::string& cmd) {
  std::string out;
  FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
  char buf[512];
  while (p && std::fgets(buf, sizeof buf, p)) out += buf;
  const int rc = p ? ::pclose(p) : -1;
  if (rc != 0) throw std::runtime_error(cmd + " failed: " + out);
  return out;
}

// A certificate authority and a server certificate for 127.0.0.1 and
// localhost, made with the openssl command for this run.
struct TestCa {
  explicit TestCa(const fs::path& dir)
      : ca((dir / "ca.pem").string()),
        cert((dir / "server.pem").string()),
        key((dir / "server.key").string()) {
    const std::string d = dir.string();
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    run("openssl req -x509" + ec + " -keyout " + d + "/ca.key -out " + ca +
        " -days 2 -subj '/CN=Kit Test CA' -addext basicConstraints=critical,CA:TRUE"
        " -addext keyUsage=critical,keyCertSign,cRLSign");
    run("openssl req" + ec + " -keyout " + key + " -out " + d + "/server.csr -subj /CN=localhost");
    std::ofstream(dir / "ext.cnf") << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
    run("openssl x509 -req -in " + d + "/server.csr -CA " + ca + " -CAkey " + d +
        "/ca.key -CAcreateserial -out " + cert + " -days 2 -extfile " + d + "/ext.cnf");
  }
  std::string ca, cert, key;
};

// Records the reports of the service itself.
struct RecordingSink : ReadSink {
  void OnReadProgress(const ReadReport& r) override {
    codes.push_back(r.StatusCode);
    reports.push_back(r);
    if (onProgress) onProgress(r);
  }
  void OnReadComplete(const ReadReport& r) override {
    completed = true;
    complete = r;
    if (r.Content.inFile()) {
      std::ifstream in(r.Content.FilePath, std::ios::binary);
      content.assign(std::istreambuf_iterator<char>(in), {});
    }
  }
  const ReadReport* find(int32_t code) const {
    for (const auto& r : reports) {
      if (r.StatusCode == code) return &r;
    }
    return nullptr;
  }
  std::vector<int32_t> codes;
  std::vector<ReadReport> reports;
  bool completed = false;
  ReadReport complete;
  std::string content;
  std::function<void(const ReadReport&)> onProgress;
};

void pumpUntil(CurlTransfer& t, const std::function<bool()>& done,
               std::chrono::seconds limit = std::chrono::seconds(20)) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    ASSERT_LT(Clock::now(), end) << "timed out";
    t.wait(std::chrono::milliseconds(200));
    t.pump();
  }
}

// Collapses runs of status 5 so sequences can be compared whatever the
// chunking.
std::vector<int32_t> collapsed(const std::vector<int32_t>& codes) {
  std::vector<int32_t> out;
  for (int32_t c : codes) {
    if (c == status::kDownloadingData && !out.empty() && out.back() == c) continue;
    out.push_back(c);
  }
  return out;
}

class CurlServiceTest : public ::testing::Test {
 protected:
  CurlTransferOptions options() {
    CurlTransferOptions o;
    o.tempFolder = temp.path().string();
    return o;
  }
  size_t tempFiles() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(temp.path()), {}));
  }
  TempFolder temp{"dlcurl"};
  testsupport::TestHttpServer server;
};

TEST_F(CurlServiceTest, StatusSequenceAndContentFile) {
  CurlTransfer t(options());
  RecordingSink sink;
  t.StartRead(server.url("/data/300000/a.bin"), kReadKindByteArray, "k", kReadOptionFreshCopy,
              sink);
  EXPECT_TRUE(sink.codes.empty());  // nothing is delivered from inside StartRead
  pumpUntil(t, [&] { return sink.completed; });
  EXPECT_EQ(collapsed(sink.codes), (std::vector<int32_t>{1, 2, 11, 13, 4, 5, 6}));
  EXPECT_EQ(sink.find(status::kFindingResource)->StatusText, "127.0.0.1");
  EXPECT_EQ(sink.find(status::kConnecting)->StatusText, "127.0.0.1");
  EXPECT_EQ(sink.find(status::kMimeTypeAvailable)->StatusText, "application/octet-stream");
  EXPECT_EQ(sink.find(status::kBeginDownloadData)->TotalBytes, 300000);
  const ReadReport& end = sink.reports.back();
  EXPECT_EQ(end.BytesRead, 300000);
  EXPECT_EQ(end.TotalBytes, 300000);
  EXPECT_EQ(sink.complete.BytesRead, 300000);
  ASSERT_EQ(sink.content.size(), 300000u);
  EXPECT_EQ(sink.content.substr(251, 3), std::string("\0\1\2", 3));
  // The content file goes once its report has been delivered.
  EXPECT_EQ(t.activeReads(), 0u);
  EXPECT_EQ(tempFiles(), 0u);
  EXPECT_THROW(t.CancelRead("k"), plat::PlatformError);
}

TEST_F(CurlServiceTest, StartFailures) {
  CurlTransfer t(options());
  RecordingSink sink;
  for (const char* bad : {"", "not a url", "ftp://127.0.0.1/x", "file:///etc/passwd"}) {
    try {
      t.StartRead(bad, kReadKindByteArray, "k", 16, sink);
      ADD_FAILURE() << bad;
    } catch (const plat::PlatformError& e) {
      EXPECT_EQ(e.number(), plat::kErrInvalidProcedureCall);
      EXPECT_NE(e.description().find("http"), std::string::npos);
    }
  }
  EXPECT_THROW(t.StartRead(server.url("/data/1/x"), 1, "k", 16, sink), plat::PlatformError);
  CurlTransferOptions o = options();
  o.tempFolder = (temp.path() / "missing").string();
  CurlTransfer noTemp(o);
  EXPECT_THROW(noTemp.StartRead(server.url("/data/1/x"), 2, "k", 16, sink), plat::PlatformError);
  EXPECT_EQ(t.activeReads(), 0u);
}

TEST_F(CurlServiceTest, HttpErrorsAndRefusedConnections) {
  CurlTransfer t(options());
  for (int code : {404, 500}) {
    RecordingSink sink;
    const std::string url = server.url("/status/" + std::to_string(code));
    t.StartRead(url, 2, "k", 16, sink);
    pumpUntil(t, [&] { return t.activeReads() == 0; });
    EXPECT_FALSE(sink.completed);  // no completion after an error report
    ASSERT_EQ(sink.codes.back(), status::kError);
    EXPECT_EQ(sink.reports.back().Content.Bytes,
              "The server answered " + std::to_string(code) +
                  (code == 404 ? " Not Found" : " Internal Server Error") + " for " + url);
    EXPECT_EQ(sink.find(status::kBeginDownloadData), nullptr);
  }
  RecordingSink sink;
  t.StartRead("http://127.0.0.1:1/x", 2, "k", 16, sink);
  pumpUntil(t, [&] { return t.activeReads() == 0; });
  ASSERT_EQ(sink.codes.back(), status::kError);
  EXPECT_NE(sink.reports.back().Content.Bytes.find("failed"), std::string::npos);
  EXPECT_EQ(tempFiles(), 0u);
}

TEST_F(CurlServiceTest, RedirectIsReportedAndFollowedOrCancelled) {
  CurlTransfer t(options());
  {
    RecordingSink sink;
    t.StartRead(server.url("/redirect/10/b.bin"), 2, "k", 16, sink);
    pumpUntil(t, [&] { return sink.completed; });
    const ReadReport* r = sink.find(status::kRedirecting);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->StatusText, server.url("/data/10/moved-b.bin"));
    EXPECT_EQ(sink.content.size(), 10u);
    EXPECT_EQ(server.hits, 2);
  }
  {
    RecordingSink sink;
    sink.onProgress = [&](const ReadReport& r) {
      if (r.StatusCode == status::kRedirecting) t.CancelRead("k2");
    };
    t.StartRead(server.url("/redirect/10/c.bin"), 2, "k2", 16, sink);
    pumpUntil(t, [&] { return t.activeReads() == 0; });
    pumpUntil(t, [] { return true; });
    EXPECT_EQ(sink.codes.back(), status::kRedirecting);  // nothing after the cancel
    EXPECT_EQ(server.hits, 3);                           // the target was never asked for
  }
}

TEST_F(CurlServiceTest, StalledServersEndWithAnError) {
  CurlTransferOptions o = options();
  o.stallLimit = std::chrono::milliseconds(400);
  CurlTransfer t(o);
  for (const char* path : {"/stall/x", "/silent/x"}) {
    SCOPED_TRACE(path);
    RecordingSink sink;
    const auto start = Clock::now();
    t.StartRead(server.url(path), 2, "k", 16, sink);
    pumpUntil(t, [&] { return t.activeReads() == 0; });
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(400));
    ASSERT_EQ(sink.codes.back(), status::kError);
    EXPECT_EQ(sink.reports.back().Content.Bytes, "No data was received from " + server.url(path) +
                                                     " for 0.4 seconds; the transfer was stopped");
  }
}

// Content is gathered before it is written: what arrives in many pieces
// reaches the file whole, and a failing write ends the read with an error
// whether it happens on the way or at the end.
TEST_F(CurlServiceTest, GatheredWritesKeepTheContentAndReportFailures) {
  CurlTransfer t(options());
  {
    RecordingSink sink;
    t.StartRead(server.url("/data/3000000/w.bin"), 2, "k", 16, sink);
    pumpUntil(t, [&] { return sink.completed; });
    ASSERT_EQ(sink.content.size(), 3000000u);
    size_t wrong = 0;
    for (size_t i = 0; i < sink.content.size(); ++i) {
      wrong += sink.content[i] != testsupport::patternByte(i);
    }
    EXPECT_EQ(wrong, 0u);
  }
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 64 * 1024;
  auto* oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  for (const char* path : {"/data/100000/end.bin", "/data/3000000/way.bin"}) {
    SCOPED_TRACE(path);
    RecordingSink sink;
    t.StartRead(server.url(path), 2, "k", 16, sink);
    pumpUntil(t, [&] { return t.activeReads() == 0; });
    EXPECT_FALSE(sink.completed);
    ASSERT_EQ(sink.codes.back(), status::kError);
    EXPECT_EQ(sink.reports.back().Content.Bytes.rfind("Cannot write the received data to ", 0), 0u);
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(tempFiles(), 0u);
}

TEST_F(CurlServiceTest, CancelStopsReportsAndRemovesTheFile) {
  CurlTransfer t(options());
  RecordingSink sink;
  sink.onProgress = [&](const ReadReport& r) {
    if (r.StatusCode == status::kDownloadingData) t.CancelRead("big");
  };
  t.StartRead(server.url("/data/50000000/big.bin"), 2, "big", 16, sink);
  pumpUntil(t, [&] { return t.activeReads() == 0; });
  for (int i = 0; i < 5; ++i) {
    t.wait(std::chrono::milliseconds(20));
    t.pump();
  }
  EXPECT_EQ(sink.codes.back(), status::kDownloadingData);
  EXPECT_FALSE(sink.completed);
  EXPECT_EQ(tempFiles(), 0u);
}

TEST_F(CurlServiceTest, HttpsVerifiesAgainstTheGivenAuthority) {
  TempFolder certs{"dlcurl-ca"};
  TestCa ca(certs.path());
  testsupport::TestHttpServer tls(ca.cert, ca.key);
  {
    CurlTransferOptions o = options();
    o.caFile = ca.ca;
    CurlTransfer t(o);
    for (const char* host : {"127.0.0.1", "localhost"}) {
      RecordingSink sink;
      t.StartRead(tls.url("/data/5000/s.bin", "https", host), 2, "k", 16, sink);
      pumpUntil(t, [&] { return t.activeReads() == 0; });
      EXPECT_TRUE(sink.completed) << host;
      EXPECT_EQ(sink.content.size(), 5000u);
    }
  }
  {
    // Without the authority the server is not trusted.
    CurlTransfer t(options());
    RecordingSink sink;
    t.StartRead(tls.url("/data/5000/s.bin", "https"), 2, "k", 16, sink);
    pumpUntil(t, [&] { return t.activeReads() == 0; });
    EXPECT_FALSE(sink.completed);
    ASSERT_EQ(sink.codes.back(), status::kError);
    EXPECT_NE(sink.reports.back().Content.Bytes.find("certificate"), std::string::npos)
        << sink.reports.back().Content.Bytes;
  }
}

// --- the control over the service ----------------------------------------------

struct EventLog : ControlEvents {
  void DLProgress(float p, int32_t r, int32_t t) override {
    ++progress;
    lastPercent = p, lastRead = r, lastTotal = t;
    if (onProgress) onProgress();
  }
  void DLCanceled() override { log.push_back("DLCanceled"); }
  void DLError(bkDLError e, std::string text) override {
    log.push_back("DLError(" + std::to_string(e) + "," + text + ")");
  }
  void DLComplete(int32_t b) override { log.push_back("DLComplete(" + std::to_string(b) + ")"); }
  void DLConnected(std::string a) override { log.push_back("DLConnected(" + a + ")"); }
  void DLRedirect(std::string a) override { log.push_back("DLRedirect(" + a + ")"); }
  void DLMIMEType(std::string m) override { log.push_back("DLMIMEType(" + m + ")"); }
  void DLFileSize(int32_t b) override { log.push_back("DLFileSize(" + std::to_string(b) + ")"); }
  void DLBeginDownload() override { log.push_back("DLBeginDownload"); }
  Strings log;
  int progress = 0;
  float lastPercent = -1;
  int32_t lastRead = -1, lastTotal = -1;
  std::function<void()> onProgress;
};

class ControlOverCurlTest : public CurlServiceTest {
 protected:
  ControlOverCurlTest()
      : transfer(options()),
        platform(transfer),
        ctl(ControlServices{transfer, surface, container, platform, events}) {
    surface.attach(&ctl);
    ctl.InitNew();
    platform.onMessageBox = [this](const std::string& p, const std::string& t) {
      boxes.push_back(t + "|" + p);
    };
    folder = (temp.path() / "out").string();
    fs::create_directory(folder);
  }
  bool download(const std::string& path) {
    ctl.putSaveFilePath(folder);
    ctl.putFileURL(server.url(path));
    return ctl.BeginDownload(true);
  }
  fs::path saved(const std::string& name) const { return fs::path(folder) / name; }

  CurlTransfer transfer;
  PosixControlPlatform platform;
  HeadlessSurface surface;
  HeadlessContainer container;
  EventLog events;
  bkDLControl ctl;
  std::string folder;
  Strings boxes;
};

TEST_F(ControlOverCurlTest, DownloadWritesAndCutsTheFile) {
  // The target name is the folder joined with "\" and the last segment.
  std::ofstream(saved("a.bin"), std::ios::binary) << std::string(500000, 'x');
  EXPECT_TRUE(download("/data/200000/a.bin"));
  EXPECT_EQ(ctl.getSaveFileName(), folder + "\\a.bin");
  EXPECT_EQ(events.log, (Strings{"DLConnected(127.0.0.1)", "DLMIMEType(application/octet-stream)",
                                 "DLFileSize(200000)", "DLBeginDownload", "DLComplete(200000)"}));
  EXPECT_GE(events.progress, 2);
  EXPECT_EQ(events.lastRead, 200000);
  EXPECT_EQ(ctl.state().Percent, 1.0f);
  EXPECT_TRUE(samePattern(saved("a.bin"), 200000));  // the longer old file was cut
  ASSERT_EQ(surface.painted().size(), 1u);
  EXPECT_DOUBLE_EQ(surface.painted()[0].x2, surface.width());
  EXPECT_EQ(tempFiles(), 1u);  // only the output folder
}

TEST_F(ControlOverCurlTest, WaitEndsFalseOnEveryFailure) {
  EXPECT_FALSE(download("/empty/e.bin"));
  EXPECT_EQ(events.log,
            (Strings{"DLConnected(127.0.0.1)", "DLMIMEType(text/plain)", "DLFileSize(0)",
                     "DLBeginDownload", "DLError(3,Zero bytes retrieved)", "DLComplete(0)"}));
  EXPECT_FALSE(fs::exists(saved("e.bin")));

  for (const char* code : {"404", "500"}) {
    events.log.clear();
    EXPECT_FALSE(download(std::string("/status/") + code));
    ASSERT_EQ(events.log.size(), 3u);
    EXPECT_EQ(events.log[1].rfind(std::string("DLError(99,The server answered ") + code, 0), 0u);
    EXPECT_EQ(events.log[2], "DLComplete(0)");
  }

  events.log.clear();
  ctl.putSaveFilePath((temp.path() / "no-such-folder").string());
  ctl.putFileURL(server.url("/data/10/z.bin"));
  EXPECT_FALSE(ctl.BeginDownload(true));
  EXPECT_EQ(events.log.at(events.log.size() - 2), "DLError(4,No such file or directory [" +
                                                      (temp.path() / "no-such-folder").string() +
                                                      "\\z.bin])");
  EXPECT_EQ(events.log.back(), "DLComplete(0)");
}

TEST_F(ControlOverCurlTest, StartFailureShowsTheBox) {
  ctl.putSaveFilePath(folder);
  ctl.putFileURL("ftp://127.0.0.1/x.bin");
  EXPECT_FALSE(ctl.BeginDownload(true));
  EXPECT_EQ(events.log, (Strings{"DLError(1,Not an http or https address: ftp://127.0.0.1/x.bin)",
                                 "DLComplete(0)"}));
  EXPECT_EQ(boxes, Strings{"bkDLControl Internal Error: 5|5Error: \r\nNot an http or https "
                           "address: ftp://127.0.0.1/x.bin"});
}

TEST_F(ControlOverCurlTest, RedirectFlagCombinations) {
  const std::string target = server.url("/data/64/moved-old.bin");
  // Fail on redirect (the default): the read stops before the target is asked for.
  EXPECT_FALSE(download("/redirect/64/old.bin"));
  EXPECT_EQ(events.log, (Strings{"DLConnected(127.0.0.1)",
                                 "DLError(2,Redirected to " + target + ")", "DLComplete(0)"}));
  EXPECT_EQ(server.hits, 1);
  EXPECT_EQ(ctl.getRedirectFile(), target);
  EXPECT_FALSE(ctl.getRenameOnRedirect());
  EXPECT_TRUE(fs::is_empty(folder));

  struct Case {
    bool rename;
    const char* name;
  };
  for (Case c : {Case{true, "moved-old.bin"}, Case{false, "old.bin"}}) {
    SCOPED_TRACE(c.name);
    events.log.clear();
    ctl.putFailOnRedirect(false);
    ctl.putRenameOnRedirect(c.rename);
    EXPECT_TRUE(download("/redirect/64/old.bin"));
    EXPECT_EQ(events.log.at(1), "DLRedirect(" + target + ")");
    EXPECT_EQ(events.log.back(), "DLComplete(64)");
    EXPECT_EQ(ctl.getSaveFileName(), folder + "\\" + c.name);
    EXPECT_TRUE(samePattern(saved(c.name), 64));
    fs::remove(saved(c.name));
    EXPECT_TRUE(fs::is_empty(folder));
  }
}

TEST_F(ControlOverCurlTest, UnknownLengthKeepsTheBarEmpty) {
  float maxPercent = 0;
  events.onProgress = [&] { maxPercent = std::max(maxPercent, events.lastPercent); };
  EXPECT_TRUE(download("/chunked/3000000/c.txt"));
  EXPECT_EQ(events.log.at(2), "DLFileSize(0)");
  EXPECT_GE(events.progress, 2);
  EXPECT_EQ(maxPercent, 0.0f);
  EXPECT_EQ(events.lastRead, 3000000);
  EXPECT_TRUE(surface.painted().empty());
  EXPECT_TRUE(samePattern(saved("c.txt"), 3000000));
}

TEST_F(ControlOverCurlTest, StallEndsTheDownload) {
  CurlTransferOptions o = options();
  o.stallLimit = std::chrono::milliseconds(300);
  CurlTransfer quick(o);
  PosixControlPlatform plat(quick);
  bkDLControl c(ControlServices{quick, surface, container, plat, events});
  c.InitNew();
  c.putSaveFilePath(folder);
  c.putFileURL(server.url("/stall/s.bin"));
  // The wait sleeps between messages: a silent server costs next to no
  // processor time.
  const std::clock_t cpu = std::clock();
  EXPECT_FALSE(c.BeginDownload(true));
  EXPECT_LT(double(std::clock() - cpu) / CLOCKS_PER_SEC, 0.1);
  EXPECT_EQ(events.log.at(events.log.size() - 2),
            "DLError(99,No data was received from " + server.url("/stall/s.bin") +
                " for 0.3 seconds; the transfer was stopped)");
  EXPECT_FALSE(fs::exists(saved("s.bin")));
}

TEST_F(ControlOverCurlTest, CancelFromAProgressHandler) {
  platform.maxWait = std::chrono::milliseconds(20);
  events.onProgress = [&] { ctl.CancelDownload(); };
  EXPECT_FALSE(download("/data/40000000/big.bin"));
  EXPECT_EQ(events.log.back(), "DLCanceled");
  for (int i = 0; i < 5; ++i) {
    platform.waitForMessage();
    platform.pumpMessages();
  }
  EXPECT_EQ(events.log.back(), "DLCanceled");
  EXPECT_EQ(events.progress, 1);
  EXPECT_EQ(transfer.activeReads(), 0u);
  EXPECT_TRUE(fs::is_empty(folder));
  EXPECT_EQ(tempFiles(), 1u);
}

// A control that goes away while its read runs under an earlier target
// (the target moved while busy) takes the read with it: no report may reach
// the destroyed control, and the content file is gone.
TEST_F(ControlOverCurlTest, TeardownEndsAReadUnderAnEarlierTarget) {
  {
    bkDLControl c(ControlServices{transfer, surface, container, platform, events});
    c.InitNew();
    c.putSaveFilePath(folder);
    c.putFileURL(server.url("/stall/s.bin"));
    ASSERT_TRUE(c.BeginDownload());
    c.putFileURL(server.url("/data/10/moved.bin"));
  }
  EXPECT_EQ(transfer.activeReads(), 0u);
  transfer.pump();
  EXPECT_TRUE(events.log.empty());
  EXPECT_EQ(tempFiles(), 1u);
}

TEST_F(ControlOverCurlTest, NextDownloadFromTheErrorHandler) {
  // A host that retries elsewhere from DLError: the new download runs to its
  // end inside the same wait.
  struct Retry : EventLog {
    void DLError(bkDLError e, std::string text) override {
      EventLog::DLError(e, text);
      if (ctl && !retried) {
        retried = true;
        ctl->putFileURL(url);
        started = ctl->BeginDownload();
      }
    }
    bkDLControl* ctl = nullptr;
    std::string url;
    bool retried = false, started = false;
  } retry;
  bkDLControl c(ControlServices{transfer, surface, container, platform, retry});
  retry.ctl = &c;
  retry.url = server.url("/data/1000/second.bin");
  c.InitNew();
  c.putSaveFilePath(folder);
  c.putFileURL(server.url("/status/404"));
  EXPECT_TRUE(c.BeginDownload(true));
  EXPECT_TRUE(retry.started);
  EXPECT_EQ(retry.log.back(), "DLComplete(1000)");
  EXPECT_TRUE(samePattern(saved("second.bin"), 1000));
}

long peakRssKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

TEST_F(ControlOverCurlTest, LargeFileKeepsMemoryBounded) {
  constexpr uint64_t kSize = 256ull << 20;
  // Start the peak over from here (the kernel's "clear_refs" 5).
  std::ofstream("/proc/self/clear_refs") << "5";
  const long before = peakRssKiB();
  EXPECT_TRUE(download("/data/" + std::to_string(kSize) + "/large.bin"));
  const long growth = peakRssKiB() - before;
  EXPECT_LT(growth, 48 * 1024) << "peak grew by " << growth << " KiB";
  EXPECT_EQ(events.log.back(), "DLComplete(" + std::to_string(kSize) + ")");
  EXPECT_TRUE(samePattern(saved("large.bin"), kSize));
}

}  // namespace
}  // namespace dl

namespace dl {
namespace {

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(PosixPlatformTest, WritesCutMoveOrCopyAndDelete) {
  TempFolder dir{"dlcurl"};
  CurlTransfer t;
  PosixControlPlatform plat(t);
  const fs::path target = dir.path() / "t.bin";
  std::ofstream(target, std::ios::binary) << "a much longer old content";

  // A movable file is renamed into place; the old longer file is gone.
  std::ofstream(dir.path() / "tmp1", std::ios::binary) << "new";
  ReadContent moved{"", (dir.path() / "tmp1").string(), true};
  plat.writeContent(target.string(), moved);
  EXPECT_EQ(slurp(target), "new");
  EXPECT_FALSE(fs::exists(dir.path() / "tmp1"));
  // So is one for a name not yet taken; it gets a new file's permissions.
  const fs::path fresh = dir.path() / "fresh.bin";
  std::ofstream(dir.path() / "tmp0", std::ios::binary) << "fresh";
  fs::permissions(dir.path() / "tmp0", fs::perms::owner_read | fs::perms::owner_write);
  plat.writeContent(fresh.string(), ReadContent{"", (dir.path() / "tmp0").string(), true});
  EXPECT_EQ(slurp(fresh), "fresh");
  EXPECT_FALSE(fs::exists(dir.path() / "tmp0"));
  EXPECT_EQ(fs::status(fresh).permissions(), fs::status(target).permissions());

  // A file that is not movable is copied; so is one behind a symbolic link,
  // which is written through.
  const fs::path real = dir.path() / "real.bin";
  std::ofstream(real, std::ios::binary) << "0123456789";
  fs::create_symlink(real, dir.path() / "link.bin");
  std::ofstream(dir.path() / "tmp2", std::ios::binary) << "xyz";
  plat.writeContent((dir.path() / "link.bin").string(),
                    ReadContent{"", (dir.path() / "tmp2").string(), true});
  EXPECT_EQ(slurp(real), "xyz");
  EXPECT_TRUE(fs::is_symlink(dir.path() / "link.bin"));
  plat.writeContent(target.string(), ReadContent{"", (dir.path() / "tmp2").string(), false});
  EXPECT_EQ(slurp(target), "xyz");
  EXPECT_TRUE(fs::exists(dir.path() / "tmp2"));

  // Windows separators name POSIX folders.
  plat.writeContent(dir.path().string() + "\\mem.bin", ReadContent{"bytes", "", false});
  EXPECT_EQ(slurp(dir.path() / "mem.bin"), "bytes");

  try {
    plat.deleteFile("");
    ADD_FAILURE();
  } catch (const plat::PlatformError& e) {
    EXPECT_EQ(e.number(), plat::kErrFileNotFound);
  }
  EXPECT_THROW(plat.deleteFile((dir.path() / "none").string()), plat::PlatformError);
  plat.deleteFile((dir.path() / "mem.bin").string());
  EXPECT_FALSE(fs::exists(dir.path() / "mem.bin"));
  EXPECT_THROW(plat.writeContent((dir.path() / "no" / "x").string(), ReadContent{"b", "", false}),
               plat::PlatformError);
}

}  // namespace
}  // namespace dl
