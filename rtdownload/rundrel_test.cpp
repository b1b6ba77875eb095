#include "rtdownload/rundrel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

#include "launcher/testing/fakes.h"
#include "platform/error.h"

namespace rtd {
namespace {

using launcher::testing::FakeProcesses;
using launcher::testing::ScriptedUi;

// Everything the window, the control, the processes and the message boxes
// are asked to do, in one sequence, so that order can be checked across them.
struct Trace {
  std::vector<std::string> steps;
};

struct FakeWindow : RundrelWindow {
  explicit FakeWindow(Trace& t) : trace(t) {}
  Trace& trace;
  std::vector<std::string> lines;
  int top = 0;
  std::string label;
  int appendLine(const std::string& line) override {
    lines.push_back(line);
    trace.steps.push_back("line " + line);
    return static_cast<int>(lines.size()) - 1;
  }
  int topIndex() const override { return top; }
  void setTopIndex(int index) override { top = index; }
  void setLabel(const std::string& text) override { label = text; }
  void setCancelEnabled(bool enabled) override {
    trace.steps.push_back(enabled ? "cancel on" : "cancel off");
  }
  void close() override { trace.steps.push_back("close"); }
  void endProgram() override { trace.steps.push_back("end"); }
};

// The control: records what the window asks of it; a test scripts what it
// raises when the download starts or is cancelled.
struct FakeControl : DownloadControl {
  explicit FakeControl(Trace& t) : trace(t) {}
  Trace& trace;
  std::function<void()> onBegin;
  std::function<void()> onCancel;
  void setFileURL(const std::string& url) override { trace.steps.push_back("FileURL " + url); }
  void setSaveFilePath(const std::string& folder) override {
    trace.steps.push_back("SaveFilePath " + folder);
  }
  bool beginDownload() override {
    trace.steps.push_back("BeginDownload");
    if (onBegin) onBegin();
    return true;
  }
  void cancelDownload() override {
    trace.steps.push_back("CancelDownload");
    if (onCancel) onCancel();
  }
};

class RundrelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui.onMessageBox = [this] { trace.steps.push_back("box " + ui.shown.back().text); };
    processes.onStart = [this](const std::string& commandLine) {
      trace.steps.push_back("start " + commandLine);
      return 7u;
    };
  }
  Rundrel make(const std::string& folder = "D:\\Shop",
               Addresses a = {"http://h/MSAC2003.exe", "https://p/page"}) {
    return Rundrel(window, control, processes, ui, std::move(a), folder);
  }
  Trace trace;
  FakeWindow window{trace};
  FakeControl control{trace};
  FakeProcesses processes;
  ScriptedUi ui;
};

TEST(ChooseAddresses, AVariableSetAndNotEmptyReplacesItsAddress) {
  const struct {
    std::map<std::string, std::string> env;
    Addresses want;
  } cases[] = {
      {{}, {kInstallerUrl, kManualPage}},
      {{{"RUNDREL_URL", ""}, {"RUNDREL_PAGE", ""}}, {kInstallerUrl, kManualPage}},
      {{{"RUNDREL_URL", "http://mirror/MSAC2003.exe"}},
       {"http://mirror/MSAC2003.exe", kManualPage}},
      {{{"RUNDREL_PAGE", "http://mirror/help"}}, {kInstallerUrl, "http://mirror/help"}},
  };
  for (const auto& c : cases) {
    const Addresses got =
        ChooseAddresses([&c](const std::string& name) -> std::optional<std::string> {
          auto it = c.env.find(name);
          if (it == c.env.end()) return std::nullopt;
          return it->second;
        });
    EXPECT_EQ(got.installerUrl, c.want.installerUrl);
    EXPECT_EQ(got.manualPage, c.want.manualPage);
  }
  EXPECT_EQ(std::string(kInstallerUrl).rfind("https://", 0), 0u);
  EXPECT_EQ(std::string(kManualPage).rfind("https://", 0), 0u);
}

TEST_F(RundrelTest, LoadSetsTheControlUpLogsStartsAndEnablesCancel) {
  Rundrel r = make();
  r.load();
  EXPECT_EQ(trace.steps,
            (std::vector<std::string>{"FileURL http://h/MSAC2003.exe", "SaveFilePath D:\\Shop",
                                      "line > 请求下载....", "BeginDownload", "cancel on"}));
  EXPECT_FALSE(r.ended());
  EXPECT_EQ(window.label, "");
}

TEST_F(RundrelTest, AStartRefusedInsideBeginDownloadEndsBeforeTheWindowIsShown) {
  Rundrel r = make();
  control.onBegin = [&r] {
    r.DLError(dl::bkDLError::bkDLEUnavailable, "no route");
    r.DLComplete(0);
  };
  r.load();
  EXPECT_TRUE(r.ended());
  EXPECT_EQ(std::count(trace.steps.begin(), trace.steps.end(), "cancel on"), 0);
  ASSERT_EQ(processes.started.size(), 1u);
  EXPECT_EQ(processes.started[0].commandLine, "explorer https://p/page");
}

TEST_F(RundrelTest, AFailedDownloadLogsClosesTellsTheUserOpensThePageAndEnds) {
  const struct {
    std::string page, command;
  } cases[] = {{"https://p/page", "explorer https://p/page"},
               {"http://127.0.0.1:8080/手动 下载.html",
                "explorer \"http://127.0.0.1:8080/手动 下载.html\""}};
  for (const auto& c : cases) {
    trace.steps.clear();
    window.lines.clear();
    ui.shown.clear();
    processes.started.clear();
    Rundrel r = make("D:\\Shop", {"http://h/MSAC2003.exe", c.page});
    r.load();
    trace.steps.clear();
    r.DLConnected("127.0.0.1");
    r.DLError(dl::bkDLError::bkDLERedirect, "Redirected to http://elsewhere/x.exe");
    r.DLComplete(0);
    // A second failure report from the control changes nothing.
    r.DLError(dl::bkDLError::bkDLEZeroLength, "Zero bytes retrieved");
    r.DLComplete(0);
    EXPECT_EQ(trace.steps,
              (std::vector<std::string>{
                  "line > 连接到服务器中... ",
                  "line > 错误 - 重定向: Redirected to http://elsewhere/x.exe", "cancel off",
                  "line > 下载失败", "close", "box 你未自动连接网络服务器,请手动下载安装!",
                  "start " + c.command, "end"}));
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].style, plat::mb::kOk);
    EXPECT_EQ(ui.shown[0].title, "");
    ASSERT_EQ(processes.started.size(), 1u);
    EXPECT_EQ(processes.started[0].style, plat::WindowStyle::kMinimizedFocus);
  }
}

TEST_F(RundrelTest, ASavedInstallerIsStartedFromTheProgramFolderAndTheWindowCloses) {
  const struct {
    std::string folder, command;
  } cases[] = {{"D:\\Shop", "D:\\Shop\\MSAC2003.exe"},
               {"D:\\修车 店", "\"D:\\修车 店\\MSAC2003.exe\""}};
  for (const auto& c : cases) {
    trace.steps.clear();
    processes.started.clear();
    Rundrel r = make(c.folder);
    r.load();
    r.DLFileSize(1572864);
    r.DLBeginDownload();
    r.DLProgress(0.456f, 717000, 1572864);
    EXPECT_EQ(window.label, "46% of 1.5M");
    trace.steps.clear();
    r.DLComplete(1572864);
    EXPECT_EQ(trace.steps,
              (std::vector<std::string>{"cancel off", "line > 完成1.5M下载并保存到" + c.folder,
                                        "start " + c.command, "close", "end"}));
    ASSERT_EQ(processes.started.size(), 1u);
    EXPECT_EQ(processes.started[0].style, plat::WindowStyle::kMinimizedFocus);
    EXPECT_TRUE(ui.shown.empty());
  }
}

TEST_F(RundrelTest, AnInstallerThatCannotStartIsReportedAndTheProgramStillEnds) {
  processes.onStart = [](const std::string&) -> uint32_t {
    throw plat::errorOf(plat::kErrFileNotFound);
  };
  Rundrel r = make();
  r.load();
  r.DLComplete(100);
  ASSERT_EQ(ui.shown.size(), 1u);
  EXPECT_EQ(ui.shown[0].text, "File not found");
  EXPECT_EQ(trace.steps.back(), "end");
}

TEST_F(RundrelTest, CancelLogsClosesAndEndsWithoutNoticeOrStart) {
  Rundrel r = make();
  control.onCancel = [&r] { r.DLCanceled(); };
  r.load();
  trace.steps.clear();
  r.cancelClicked();
  EXPECT_EQ(trace.steps,
            (std::vector<std::string>{"CancelDownload", "line > 取消下载", "close", "end"}));
  EXPECT_TRUE(ui.shown.empty());
  EXPECT_TRUE(processes.started.empty());
}

}  // namespace
}  // namespace rtd
