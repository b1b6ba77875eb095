// Novaro.exe end to end under Wine: the real download control from a local
// web server, the archive tool's stand-in (tests/tools/rar_standin.cpp) in
// the program folder, the window's list, label and button driven from
// outside, and every message box on the way.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "tests/wine/harness.h"

namespace winetest {
namespace {

constexpr milliseconds kWait{60000};
constexpr const char* kTitle = "Orvane软件智能升级程序";
constexpr int kLstOutId = 103;
constexpr int kLabel1Id = 104;
constexpr int kCommand1Id = 105;
const std::string kDone = "软件自动升级完成,可以进入正常工作啦!................................";
const std::string kFailed = "升级失败,下次再试......";

// The stand-in archive tool's format: "KITPACK1\n", then name, size, bytes.
std::string makePackage(const std::vector<std::pair<std::string, std::string>>& files) {
  std::string p = "KITPACK1\n";
  for (const auto& [name, bytes] : files)
    p += name + "\n" + std::to_string(bytes.size()) + "\n" + bytes;
  return p;
}

// The update site: /update/<name> serves, refuses, redirects or dawdles,
// as the test sets it; requests are counted.
class Site {
 public:
  enum class Mode { kServe, kMissing, kRedirect, kSlow };
  Site() {
    svr_.Get(R"(/update/(.+))", [this](const httplib::Request& req, httplib::Response& res) {
      ++requests;
      std::lock_guard<std::mutex> lock(mutex_);
      switch (mode_) {
        case Mode::kMissing:
          res.status = 404;
          res.set_content("not here", "text/plain");
          return;
        case Mode::kRedirect:
          res.status = 302;
          res.set_header("Location", url("/elsewhere/" + req.matches[1].str()));
          return;
        case Mode::kServe:
          res.set_content(package_, "application/octet-stream");
          return;
        case Mode::kSlow: {
          auto body = std::make_shared<std::string>(package_);
          res.set_content_provider(body->size(), "application/octet-stream",
                                   [body](size_t offset, size_t, httplib::DataSink& sink) {
                                     // Half at once, the rest after a pause a screenshot can use.
                                     if (offset > 0)
                                       std::this_thread::sleep_for(std::chrono::seconds(3));
                                     const size_t n =
                                         offset == 0 ? body->size() / 2 : body->size() - offset;
                                     return sink.write(body->data() + offset, n);
                                   });
          return;
        }
      }
    });
    port_ = svr_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { svr_.listen_after_bind(); });
    while (!svr_.is_running()) std::this_thread::sleep_for(milliseconds(5));
  }
  ~Site() {
    svr_.stop();
    thread_.join();
  }
  void set(Mode mode, std::string package = {}) {
    std::lock_guard<std::mutex> lock(mutex_);
    mode_ = mode;
    package_ = std::move(package);
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::string url(const std::string& path) const { return base() + path; }
  std::atomic<int> requests{0};

 private:
  httplib::Server svr_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  Mode mode_ = Mode::kServe;
  std::string package_;
};

class NovaroWine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { site = new Site; }
  static void TearDownTestSuite() {
    delete site;
    site = nullptr;
  }

  // A program folder with the updater, the control and the tool's stand-in.
  void install(ProgramFolder& app, const std::string& dataLine, const std::string& prefix = "net") {
    app.copyBinary("Novaro.exe");
    app.copyBinary("Lumvex.ocx");
    app.copyBinary("rar_standin.exe", "rar.exe");
    app.write("server.xml",
              toCodePage936(dataLine + "\r\n" + prefix + "\r\n" + site->base() + "\r\n"));
  }
  WineProcess start(const ProgramFolder& app) {
    return WineProcess::start({app.file("Novaro.exe").string()}, StartOptions{.cwd = app.path()});
  }
  static std::vector<std::string> lines() {
    const RunResult r = uiauto({"lines", kTitle, std::to_string(kLstOutId)});
    std::vector<std::string> out;
    size_t at = 0;
    for (size_t nl; (nl = r.out.find('\n', at)) != std::string::npos; at = nl + 1)
      out.push_back(r.out.substr(at, nl - at));
    return out;
  }
  // Waits for a list line that begins with `head`; returns the whole list.
  static std::vector<std::string> waitLine(const std::string& head) {
    std::vector<std::string> seen;
    waitUntil(
        [&] {
          seen = lines();
          for (const auto& l : seen)
            if (l.rfind(head, 0) == 0) return true;
          return false;
        },
        kWait);
    return seen;
  }
  static bool hasLine(const std::vector<std::string>& all, const std::string& head) {
    for (const auto& l : all)
      if (l.rfind(head, 0) == 0) return true;
    return false;
  }
  static void press() { ASSERT_TRUE(click(kTitle, kCommand1Id)); }

  // Presses the button and follows the installation to the completion box;
  // with `hold` the tool keeps working after the animation until released.
  struct Figures {
    long animationMs = -1;
    long long boxAfterToolMs = -1;
    std::vector<std::string> log;  // lstOut with the bar full (with `hold`)
  };
  Figures runInstallation(ProgramFolder& app, bool hold, const std::string& shot = {}) {
    Figures f;
    if (hold) app.write("rar.exe.hold", "");
    auto watch =
        WineProcess::start({(env().winBin / "uiauto.exe").string(), "watch-text", kTitle,
                            std::to_string(kLabel1Id), "正在安装", "正在安装...100%", "120000"});
    press();
    if (watch.wait(milliseconds(120000)) == 0) {
      const std::string out = watch.out();
      f.animationMs = std::atol(out.substr(out.find("final=") + 6).c_str()) -
                      std::atol(out.substr(out.find("first=") + 6).c_str());
    }
    if (!hold) return f;
    // The bar is full, the tool still works: the window waits with it.
    if (!shot.empty())
      if (auto w = waitWindow("-", kTitle, kWait)) screenshotWindow(shot, *w);
    EXPECT_FALSE(app.exists("rar.exe.ended"));
    EXPECT_TRUE(app.exists("netrar.xml"));
    EXPECT_EQ(controlText(kTitle, kLabel1Id), "正在安装...100%");
    f.log = lines();
    auto boxWatch =
        WineProcess::start({(env().winBin / "uiauto.exe").string(), "time-dialog", "60000"});
    std::this_thread::sleep_for(milliseconds(700));
    EXPECT_FALSE(waitDialog("", milliseconds(10)).has_value());
    fs::remove(app.file("rar.exe.hold"));
    if (boxWatch.wait(kWait) == 0) {
      waitUntil([&] { return app.exists("rar.exe.ended"); }, kWait);
      const long long boxAt = std::atoll(boxWatch.out().c_str());
      const long long toolEnd = std::atoll(app.read("rar.exe.ended").c_str());
      f.boxAfterToolMs = boxAt - toolEnd;
    }
    return f;
  }

  static Site* site;
};
Site* NovaroWine::site = nullptr;

const std::string kDatabase = "application database v2 " + std::string(200000, 'x');

TEST_F(NovaroWine, AWholeUpdateFromPressToCompletionAfterTheToolEnded) {
  ProgramFolder app("novaro");
  ProgramFolder data("data");
  data.write("Velmora.dll", "application database v1");
  install(app, data.winPath());
  const std::string package = makePackage({{"Velmora.dll", kDatabase}, {"新报表.txt", "报表"}});
  site->set(Site::Mode::kSlow, package);
  const int before = site->requests;
  auto p = start(app);
  auto w = waitWindow("-", kTitle, kWait);
  ASSERT_TRUE(w);
  EXPECT_EQ(controlText(kTitle, 101).value_or("").find(" 版本模块"), 19u);
  EXPECT_EQ(controlText(kTitle, 105), "现在进行Novaro");

  // During the download: the log so far, kept as a picture.
  press();
  auto seen = waitLine("> 文件大小为");
  screenshotWindow("novaro_download", *w);
  const Figures f = runInstallation(app, /*hold=*/true, "novaro_full_bar");
  EXPECT_EQ(site->requests - before, 1);

  auto box = waitDialog("", kWait, 1);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, kDone);
  EXPECT_EQ(box->icon, "none");
  EXPECT_TRUE(app.exists("rar.exe.ended"));
  EXPECT_EQ(p.wait(kWait), 0);
  EXPECT_TRUE(f.boxAfterToolMs >= 0);

  seen = f.log;
  const std::string url = site->url("/update/netrar.xml");
  EXPECT_TRUE(hasLine(seen, "> 连接到 ")) << seen.size();
  EXPECT_TRUE(hasLine(seen, "> MIME类型是 application/octet-stream"));
  EXPECT_TRUE(hasLine(seen, "> 开始下载从" + url));
  EXPECT_TRUE(hasLine(
      seen, "> 完成" + std::to_string(package.size() / 1024) + "k下载并保存到" + app.winPath()));
  EXPECT_EQ(data.read("Velmora.dll"), kDatabase);
  EXPECT_EQ(data.read("新报表.txt"), "报表");
  EXPECT_FALSE(app.exists("netrar.xml"));
  const auto tool = readRecorderLog(app.file("rar.exe.log"));
  ASSERT_EQ(tool.size(), 1u);
  EXPECT_EQ(tool[0].commandLine, app.winPath() + "\\rar e -o+ " + app.winPath() + "\\netrar.xml " +
                                     data.winPath() + "\\");
  EXPECT_EQ(tool[0].show, 0);
}

TEST_F(NovaroWine, AFailingOrMissingToolEndsInTheFailureMessage) {
  for (const bool missing : {false, true}) {
    ProgramFolder app("novaro");
    ProgramFolder data("data");
    install(app, data.winPath());
    if (missing)
      fs::remove(app.file("rar.exe"));
    else
      app.write("rar.exe.exitcode", "3");
    site->set(Site::Mode::kServe, makePackage({{"Velmora.dll", "new"}}));
    auto p = start(app);
    ASSERT_TRUE(waitWindow("-", kTitle, kWait));
    press();
    auto box = waitDialog("", kWait, 1);
    ASSERT_TRUE(box) << missing;
    EXPECT_EQ(box->text, kFailed);
    EXPECT_EQ(box->icon, "hand");
    EXPECT_EQ(p.wait(kWait), 0);
    EXPECT_FALSE(app.exists("netrar.xml")) << missing;
    EXPECT_FALSE(waitDialog("", milliseconds(300)).has_value());
  }
}

TEST_F(NovaroWine, AMissingPackageAndARedirectLeaveTheWindowReadyForTheNextPress) {
  ProgramFolder app("novaro");
  ProgramFolder data("data");
  install(app, data.winPath());
  auto p = start(app);
  ASSERT_TRUE(waitWindow("-", kTitle, kWait));
  site->set(Site::Mode::kMissing);
  press();
  auto seen = waitLine("> 错误 - 不明错误: ");
  EXPECT_TRUE(hasLine(seen, "> 错误 - 不明错误: The server answered with HTTP status 404"));
  site->set(Site::Mode::kRedirect);
  press();
  seen = waitLine("> 错误 - 重定向: ");
  EXPECT_TRUE(
      hasLine(seen, "> 错误 - 重定向: Redirected to " + site->url("/elsewhere/netrar.xml")));
  EXPECT_FALSE(waitDialog("-", milliseconds(200)).has_value());
  site->set(Site::Mode::kServe, makePackage({{"Velmora.dll", "new"}}));
  runInstallation(app, /*hold=*/false);
  auto box = waitDialog("", kWait, 1);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, kDone);
  EXPECT_EQ(p.wait(kWait), 0);
  EXPECT_EQ(data.read("Velmora.dll"), "new");
}

TEST_F(NovaroWine, WithoutSettingsFileTheRunEndsAtOnce) {
  ProgramFolder app("novaro");
  install(app, "x");
  fs::remove(app.file("server.xml"));
  auto p = start(app);
  auto box = waitDialog("", kWait, 1);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, "没发现新版可升级!");
  EXPECT_EQ(box->icon, "hand");
  EXPECT_EQ(p.wait(kWait), 0);
}

TEST_F(NovaroWine, TheProgramFolderAsDataFolderWithABlankAndChineseAndTwoQuickPresses) {
  ProgramFolder app("新 程序");
  install(app, "This locality moves");
  app.write("Velmora.dll", "old");
  site->set(Site::Mode::kSlow, makePackage({{"Velmora.dll", "从网站来的新版"}}));
  const int before = site->requests;
  auto p = start(app);
  ASSERT_TRUE(waitWindow("-", kTitle, kWait));
  press();
  press();
  auto box = waitDialog("", kWait, 1);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, kDone);
  EXPECT_EQ(p.wait(kWait), 0);
  EXPECT_EQ(site->requests - before, 1);
  EXPECT_EQ(app.read("Velmora.dll"), "从网站来的新版");
  const auto tool = readRecorderLog(app.file("rar.exe.log"));
  ASSERT_EQ(tool.size(), 1u);
  EXPECT_EQ(tool[0].commandLine, "\"" + app.winPath() + "\\rar\" e -o+ \"" + app.winPath() +
                                     "\\netrar.xml\" \"" + app.winPath() + "\\\\\"");
}

// ./run bench updater: the animation's length and how soon the completion
// box follows the tool's end. Figures only; nothing is asserted on time.
TEST_F(NovaroWine, Benchmark) {
  if (!std::getenv("KIT_BENCH")) GTEST_SKIP() << "set KIT_BENCH=1";
  for (int round = 0; round < 3; ++round) {
    ProgramFolder app("novaro");
    ProgramFolder data("data");
    install(app, data.winPath());
    site->set(Site::Mode::kServe, makePackage({{"Velmora.dll", "new"}}));
    auto p = start(app);
    ASSERT_TRUE(waitWindow("-", kTitle, kWait));
    const Figures f = runInstallation(app, /*hold=*/true);
    waitDialog("", kWait, 1);
    p.wait(kWait);
    std::printf(
        "round %d: animation of 7999 steps %ld ms (goal < 5000); completion box %lld ms after the "
        "tool "
        "ended (goal < 1000)\n",
        round + 1, f.animationMs, f.boxAfterToolMs);
  }
}

}  // namespace
}  // namespace winetest
