// Rundrel.exe under Wine with the real download control and a local HTTP
// server: the download that starts the installer, the failures that send
// the user to the manual page, a cancel, and a program folder with a blank
// and Chinese characters. A recorder stands in for the installer (served as
// MSAC2003.exe) and for explorer (explorer.exe in the program folder is
// found first). The list box and label are read from the real window: live
// while a download waits half-way, and as the window is destroyed through
// the uispy hook (the program closes its window and ends inside one handler).
#include <gtest/gtest.h>
#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
#define CPPHTTPLIB_OPENSSL_SUPPORT
#endif
#include <httplib.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "tests/support/loopback_serving.h"
#include "tests/wine/harness.h"

namespace {

using namespace winetest;
using std::chrono::milliseconds;

constexpr const char* kCaption = "在下载ACCESS运行组件库中";
constexpr int kListId = 101;
constexpr int kLabelId = 102;
constexpr int kCancelId = 103;
constexpr size_t kInstallerSize = 1572864;  // 1.5M
const milliseconds kWait(60000);

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The installer: the recorder, padded to a known size (a PE file runs with
// bytes appended to it).
std::string installerBytes() {
  std::string bytes = readBytes(env().winBin / "recorder.exe");
  if (bytes.size() < kInstallerSize) bytes.resize(kInstallerSize, '\0');
  return bytes;
}

// A certificate for 127.0.0.1 that no one vouches for, made for this run.
struct UntrustedCertificate {
  UntrustedCertificate() {
    const fs::path dir = env().state / "rundrel-tls";
    fs::create_directories(dir);
    cert = (dir / "server.pem").string();
    key = (dir / "server.key").string();
    const std::string cmd =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
        " -subj /CN=localhost -addext subjectAltName=IP:127.0.0.1 -keyout " +
        key + " -out " + cert + " 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("openssl failed");
  }
  std::string cert, key;
};

// /MSAC2003.exe at once; /slow/MSAC2003.exe half, then the rest on release();
// /go/MSAC2003.exe redirects to the first; /empty/ an empty body; /missing/ 404.
// HTTPS when given a certificate.
class Server {
 public:
  explicit Server(std::string installer, const UntrustedCertificate* tls = nullptr)
      : installer_(std::move(installer)),
        server_(tls ? std::make_unique<httplib::SSLServer>(tls->cert.c_str(), tls->key.c_str())
                    : std::make_unique<httplib::Server>()),
        svr_(*server_),
        scheme_(tls ? "https" : "http") {
    svr_.Get("/MSAC2003.exe", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(installer_, "application/octet-stream");
    });
    svr_.Get("/slow/MSAC2003.exe", [this](const httplib::Request&, httplib::Response& res) {
      const size_t total = installer_.size(), half = total / 2;
      res.set_content_provider(total, "application/octet-stream",
                               [this, total, half](size_t offset, size_t, httplib::DataSink& sink) {
                                 if (offset >= half) {
                                   std::unique_lock<std::mutex> lock(mutex_);
                                   cv_.wait(lock, [this] { return released_ || stopping_; });
                                   if (!released_) return false;
                                 }
                                 const size_t end = offset < half ? half : total;
                                 return sink.write(installer_.data() + offset, end - offset);
                               });
    });
    svr_.Get("/go/MSAC2003.exe", [this](const httplib::Request&, httplib::Response& res) {
      res.status = 302;
      res.set_header("Location", url("/MSAC2003.exe"));
    });
    svr_.Get("/empty/MSAC2003.exe", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("", "application/octet-stream");
    });
    svr_.Get("/missing/MSAC2003.exe", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content("no such file", "text/plain");
    });
    serving_.emplace(svr_);
  }
  ~Server() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    cv_.notify_all();
    serving_.reset();
  }
  void release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    cv_.notify_all();
  }
  std::string url(const std::string& path) const {
    return scheme_ + "://127.0.0.1:" + std::to_string(serving_->port()) + path;
  }

 private:
  std::string installer_;
  std::unique_ptr<httplib::Server> server_;
  httplib::Server& svr_;
  std::string scheme_;
  std::optional<testsupport::LoopbackServing> serving_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool released_ = false;
  bool stopping_ = false;
};

// What the window held when it was destroyed (uispy's record).
struct LastView {
  std::vector<std::string> lines;
  std::string label;
  bool seen = false;
};

LastView lastView(const ProgramFolder& dir) {
  LastView v;
  if (!dir.exists("spy.log")) return v;
  for (const std::string& l : splitLines(dir.read("spy.log"))) {
    if (l == std::string("window\t") + kCaption) v.seen = true;
    const std::string line = "line\t" + std::to_string(kListId) + "\t";
    const std::string label = "text\t" + std::to_string(kLabelId) + "\t";
    if (l.rfind(line, 0) == 0) v.lines.push_back(l.substr(line.size()));
    if (l.rfind(label, 0) == 0) v.label = l.substr(label.size());
  }
  return v;
}

// The starts a recorder logged; waits for the first, since a started
// program may write its line after the program that started it has ended.
std::vector<RecordedStart> starts(const ProgramFolder& dir, const std::string& exe) {
  const fs::path log = dir.file(exe + ".log");
  waitUntil([&] { return fs::exists(log) && fs::file_size(log) > 0; }, milliseconds(20000));
  return fs::exists(log) ? readRecorderLog(log) : std::vector<RecordedStart>{};
}

class RundrelWine : public ::testing::Test {
 protected:
  // One hook for the whole run: it reaches every program started later.
  static void SetUpTestSuite() {
    spy_ = new WineProcess(WineProcess::start({(env().winBin / "uiauto.exe").string(), "spy",
                                               toWindowsPath(env().winBin / "uispy.dll")}));
    ASSERT_TRUE(waitUntil([] { return spy_->out().find("ready") != std::string::npos; }, kWait))
        << spy_->err();
  }
  static void TearDownTestSuite() {
    delete spy_;
    spy_ = nullptr;
  }

  std::unique_ptr<ProgramFolder> folder(const std::string& name) {
    auto dir = std::make_unique<ProgramFolder>(name);
    dir->copyBinary("Rundrel.exe");
    dir->copyBinary("Lumvex.ocx");
    dir->copyBinary("recorder.exe", "explorer.exe");
    return dir;
  }

  WineProcess start(const ProgramFolder& dir, const std::string& url) {
    return WineProcess::start({dir.file("Rundrel.exe").string()},
                              {.cwd = dir.path(),
                               .extraEnv = {{"RUNDREL_URL", url},
                                            {"RUNDREL_PAGE", page()},
                                            {"UISPY_LOG", dir.winPath() + "\\spy.log"}}});
  }

  std::string page() const { return server_.url("/manual.html"); }

  // Waits until a download that stops half-way shows it in the label.
  void waitHalfWay() {
    std::optional<std::string> label;
    ASSERT_TRUE(waitUntil(
        [&] {
          label = controlText(kCaption, kLabelId);
          return label && *label == "50% of 1.5M";
        },
        kWait))
        << (label ? *label : "<no window>");
  }

  static WineProcess* spy_;
  std::string installer_ = installerBytes();
  Server server_{installer_};
};

WineProcess* RundrelWine::spy_ = nullptr;

TEST_F(RundrelWine, DownloadsStartsTheInstallerMinimisedAndEndsWithoutWaitingForIt) {
  auto dir = folder("rundrel");
  dir->write("MSAC2003.exe.hold", "");  // the installer keeps running
  WineProcess p = start(*dir, server_.url("/slow/MSAC2003.exe"));
  auto window = waitWindow("-", kCaption, kWait);
  ASSERT_TRUE(window) << p.err();
  waitHalfWay();
  RunResult live = uiauto({"lines", kCaption, std::to_string(kListId)});
  EXPECT_EQ(splitLines(live.out),
            (std::vector<std::string>{"> 请求下载....", "> 连接到服务器中... ",
                                      "> 文件大小为1.5M (1572864 bytes)",
                                      "> 正在开始下载中....请等待!"}));
  EXPECT_EQ(controlText(kCaption, kCancelId), "取 消");
  screenshotWindow("rundrel_downloading", *window);

  server_.release();
  EXPECT_EQ(p.wait(kWait), 0);
  EXPECT_FALSE(waitWindow("-", kCaption, milliseconds(0)));
  const auto started = starts(*dir, "MSAC2003.exe");
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].commandLine, dir->winPath() + "\\MSAC2003.exe");
  EXPECT_EQ(started[0].show, 2);
  EXPECT_EQ(readBytes(dir->file("MSAC2003.exe")), installer_);
  const LastView last = lastView(*dir);
  ASSERT_TRUE(last.seen);
  EXPECT_EQ(last.lines.back(), "> 完成1.5M下载并保存到" + dir->winPath());
  EXPECT_EQ(last.lines.size(), 5u);
  EXPECT_EQ(last.label, "100% of 1.5M");
  EXPECT_FALSE(dir->exists("explorer.exe.log"));
  fs::remove(dir->file("MSAC2003.exe.hold"));
}

TEST_F(RundrelWine, AFailedDownloadTellsTheUserAndOpensTheManualPage) {
  // The installer is run once saved: a server whose certificate does not
  // check out must not be able to hand one over.
  UntrustedCertificate tls;
  Server impostor(installer_, &tls);
  const struct {
    std::string url;
    std::string errorLine;  // the start of the error line
  } cases[] = {
      {server_.url("/go/MSAC2003.exe"),
       "> 错误 - 重定向: Redirected to " + server_.url("/MSAC2003.exe")},
      {server_.url("/empty/MSAC2003.exe"), "> 错误 - 没有字节返回: Zero bytes retrieved"},
      {server_.url("/missing/MSAC2003.exe"),
       "> 错误 - 不明错误: The server answered with HTTP status 404"},
      {"http://127.0.0.1:1/MSAC2003.exe", "> 错误 - 不明错误: "},  // nothing listens there
      {impostor.url("/MSAC2003.exe"), "> 错误 - 不明错误: The server's certificate is not valid"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    auto dir = folder("rundrel");
    WineProcess p = start(*dir, c.url);
    auto box = waitDialog("-", kWait, 1);
    ASSERT_TRUE(box) << p.err();
    EXPECT_EQ(box->title, "");
    EXPECT_EQ(box->text, "你未自动连接网络服务器,请手动下载安装!");
    EXPECT_EQ(box->buttons, std::vector<int>{1});
    EXPECT_EQ(p.wait(kWait), 0);
    const auto opened = starts(*dir, "explorer.exe");
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].commandLine, "explorer " + page());
    EXPECT_EQ(opened[0].show, 2);
    EXPECT_FALSE(dir->exists("MSAC2003.exe.log"));
    EXPECT_FALSE(dir->exists("MSAC2003.exe"));
    const LastView last = lastView(*dir);
    ASSERT_GE(last.lines.size(), 3u) << ::testing::PrintToString(last.lines);
    EXPECT_EQ(last.lines.front(), "> 请求下载....");
    EXPECT_EQ(last.lines[last.lines.size() - 2].rfind(c.errorLine, 0), 0u)
        << ::testing::PrintToString(last.lines);
    EXPECT_EQ(last.lines.back(), "> 下载失败");
  }
}

TEST_F(RundrelWine, CancelEndsWithoutNoticeOrStart) {
  auto dir = folder("rundrel");
  WineProcess p = start(*dir, server_.url("/slow/MSAC2003.exe"));
  ASSERT_TRUE(waitWindow("-", kCaption, kWait)) << p.err();
  waitHalfWay();
  ASSERT_TRUE(click(kCaption, kCancelId));
  EXPECT_EQ(p.wait(kWait), 0);  // a message box would hold it
  EXPECT_EQ(lastView(*dir).lines.back(), "> 取消下载");
  EXPECT_FALSE(dir->exists("MSAC2003.exe.log"));
  EXPECT_FALSE(dir->exists("explorer.exe.log"));
}

TEST_F(RundrelWine, WithoutTheControlBesideItRundrelSaysSoAndEnds) {
  ProgramFolder dir("rundrel");
  dir.copyBinary("Rundrel.exe");
  WineProcess p = start(dir, server_.url("/MSAC2003.exe"));
  auto box = waitDialog("Rundrel", kWait, 1);
  ASSERT_TRUE(box) << p.err();
  EXPECT_NE(box->text.find("Lumvex.ocx"), std::string::npos) << box->text;
  EXPECT_EQ(p.wait(kWait), 1);
  EXPECT_FALSE(dir.exists("MSAC2003.exe"));
}

TEST_F(RundrelWine, AProgramFolderWithABlankStartsTheInstallerItSaved) {
  auto dir = folder("修车 店铺");
  WineProcess p = start(*dir, server_.url("/MSAC2003.exe"));
  EXPECT_EQ(p.wait(kWait), 0);
  const auto started = starts(*dir, "MSAC2003.exe");
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].commandLine, "\"" + dir->winPath() + "\\MSAC2003.exe\"");
  EXPECT_EQ(lastView(*dir).lines.back(), "> 完成1.5M下载并保存到" + dir->winPath());
}

}  // namespace
