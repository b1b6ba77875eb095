#include "updater/update_run.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "launcher/start_fakes_test.h"
#include "launcher/testing/fakes.h"
#include "platform/error.h"

namespace upd {
namespace {

using launcher::testing::MemFs;
using launcher::testing::ScriptedUi;
using launcher::testing::SteppingClock;

// ---- Bar ---------------------------------------------------------------

TEST(BuildGradient, EntriesWorkedOutByHand) {
  ColorTable t{};
  BuildGradient(t, kBarStops);
  // Each run starts one step past its stop; 21, 43, 64, 85, 107 belong to the
  // later run; 42 and 128 are clamped past their stop.
  const std::vector<std::pair<int, Color>> expected = {
      {0, 0x0006FF},  {21, 0x0086FF}, {22, 0x008CFF},  {42, 0x00FFFF}, {43, 0x00FFF3},
      {64, 0x0CFF00}, {85, 0xFFF300}, {107, 0xFF000C}, {128, 0xFF00FF}};
  for (const auto& [i, c] : expected) EXPECT_EQ(t[static_cast<size_t>(i)], c) << "entry " << i;
}

// One pixel row is enough: every rectangle spans the bar's height.
class RowCanvas : public Canvas {
 public:
  RowCanvas(int w, int h) : row(static_cast<size_t>(w), 0xFFFFFF), w_(w), h_(h) {}
  struct Rect {
    int l, t, r, b;
    Color c;
  };
  std::vector<Rect> rects;
  std::vector<Color> row;
  int width() override { return w_; }
  int height() override { return h_; }
  void fillRect(int l, int t, int r, int b, Color c) override {
    rects.push_back({l, t, r, b, c});
    for (int x = std::max(l, 0); x < std::min(r, w_); ++x) row[static_cast<size_t>(x)] = c;
  }

 private:
  int w_, h_;
};

TEST(DrawProgressBar, SegmentsAndTheRightEdgeFill) {
  struct Case {
    float f;
    int n;
    bool edgeFill;
  };
  for (const Case& c :
       {Case{2.0f / 8000, 0, false}, Case{0.5f, 64, false}, Case{1.0f, 128, true}}) {
    RowCanvas bar(289, 9);  // seg = 289 / 128 -> 2
    ScriptedUi ui;
    ColorTable colors{};
    EXPECT_EQ(DrawProgressBar(bar, c.f, colors, ui), c.n);
    const size_t segments = static_cast<size_t>(c.n) + 1;
    ASSERT_EQ(bar.rects.size(), segments + (c.edgeFill ? 1 : 0)) << c.f;
    EXPECT_EQ(ui.pumps, c.n + 1);  // before every segment
    const auto& last = bar.rects[segments - 1];
    EXPECT_EQ(last.l, 2 * c.n);
    EXPECT_EQ(last.r, 2 * c.n + 2);
    EXPECT_EQ(last.b, 9);
    EXPECT_EQ(last.c, colors[static_cast<size_t>(c.n)]);
    if (c.edgeFill) {
      const auto& fill = bar.rects.back();
      EXPECT_EQ(fill.l, 258);
      EXPECT_EQ(fill.r, 289);
      EXPECT_EQ(fill.c, 0xFF00FFu);
    }
  }
}

TEST(DrawProgressBar, DrawingOnlyWhatChangedLooksTheSameAtEveryStep) {
  RowCanvas incremental(289, 9);
  ScriptedUi ui;
  ColorTable colors{};
  int drawn = 0;
  for (int k = 2; k <= 8000; ++k) {
    const float f = static_cast<float>(k) / 8000;
    const int n = DrawProgressBar(incremental, f, colors, ui, drawn);
    drawn = std::max(drawn, n + 1);
    RowCanvas whole(289, 9);
    DrawProgressBar(whole, f, colors, ui);
    ASSERT_EQ(incremental.row, whole.row) << "step " << k;
  }
}

// ---- Settings and names -------------------------------------------------

TEST(LoadRunSettings, LinesOfTheSettingsFile) {
  struct Case {
    const char* content;   // nullptr: no file
    const char* dataPath;  // nullptr: a load failure
    const char* prefix;
    const char* site;
  };
  const std::string many = [] {
    std::string s;
    for (int i = 0; i < 32768; ++i) s += "x\r\n";
    return s;
  }();
  const Case cases[] = {
      {nullptr, nullptr, "", ""},
      {many.c_str(), nullptr, "", ""},
      {"", "\\", "", ""},
      {"E:\\data\r\n", "E:\\data\\", "", ""},
      {"E:\\data\\\r\nnet\r\nhttp://s\r\nfourth\r\n", "E:\\data\\", "net", "http://s"},
      {"This locality moves\r\nnet\r\nhttp://s", "D:\\shop\\", "net", "http://s"},
      {"this locality moves\r\n", "this locality moves\\", "", ""},
      {"This locality moves \r\n", "This locality moves \\", "", ""},
  };
  for (const Case& c : cases) {
    MemFs fs;
    if (c.content) fs.addFile("D:\\shop\\server.xml", c.content);
    const std::string label = c.content ? std::string(c.content).substr(0, 40) : "(no file)";
    if (!c.dataPath) {
      EXPECT_THROW(LoadRunSettings(fs, "D:\\shop"), plat::PlatformError) << label;
      continue;
    }
    const RunSettings s = LoadRunSettings(fs, "D:\\shop");
    EXPECT_EQ(s.DataPath, c.dataPath) << label;
    EXPECT_EQ(s.PackagePrefix, c.prefix) << label;
    EXPECT_EQ(s.UpdateSite, c.site) << label;
  }
}

TEST(UpdateNames, StampAddressAndToolCommandLine) {
  EXPECT_EQ(VersionStamp({2011, 5, 24, 9, 57, 5}), "2011.05.24 09.57.05 版本模块");
  EXPECT_EQ(PackageAddress({"E:\\data\\", "net", "http://s"}), "http://s/update/netrar.xml");
  EXPECT_EQ(PackageAddress({"E:\\data\\", "", ""}), "/update/rar.xml");
  EXPECT_EQ(RarCommandLine("D:\\shop", {"E:\\data\\", "net", "x"}),
            "D:\\shop\\rar e -o+ D:\\shop\\netrar.xml E:\\data\\");
  EXPECT_EQ(RarCommandLine("D:\\my shop", {"E:\\my data\\", "net", "x"}),
            "\"D:\\my shop\\rar\" e -o+ \"D:\\my shop\\netrar.xml\" \"E:\\my data\\\\\"");
}

// ---- The run ------------------------------------------------------------

class FakeControl : public DownloadControl {
 public:
  std::string url, folder;
  bool busy = false;
  bool refuseUrl = false;
  int starts = 0;
  void setFileURL(const std::string& u) override {
    if (refuseUrl) throw std::runtime_error("Overflow");
    url = u;
  }
  void setSaveFilePath(const std::string& f) override { folder = f; }
  std::string fileURL() override { return url; }
  bool beginDownload() override {
    if (busy) return false;
    busy = true;
    ++starts;
    return true;
  }
};

class FakeView : public UpdateView {
 public:
  std::vector<std::string> lines, events;
  std::string label, text1, text2;
  RowCanvas canvas{289, 9};
  int appendLine(const std::string& line) override {
    lines.push_back(line);
    return static_cast<int>(lines.size()) - 1;
  }
  int topIndex() const override { return 0; }
  void setTopIndex(int) override {}
  void setLabel(const std::string& text) override { label = text; }
  void setStamps(const std::string& t2, const std::string& t1) override {
    text2 = t2;
    text1 = t1;
  }
  void hideBar() override { events.push_back("hide bar"); }
  void showBar(Color c) override { events.push_back("show bar " + std::to_string(c)); }
  Canvas& bar() override { return canvas; }
  void close() override { events.push_back("close"); }
};

// The archive tool: ends with `status` after `runsFor` looks, or never.
class FakeTool : public plat::Child {
 public:
  FakeTool(std::vector<std::string>& journal, int runsFor, uint32_t status)
      : journal_(journal), left_(runsFor), status_(status) {}
  std::optional<uint32_t> exitStatus() override {
    if (left_ == 0) return status_;
    if (left_ > 0) --left_;
    return std::nullopt;
  }
  bool waitAwhile(int) override { return exitStatus().has_value(); }
  void terminate() override {
    journal_.push_back("tool ended by force");
    left_ = 0;
  }
  // A tool at work writes a little between looks.
  uint64_t bytesMoved() override { return working ? left_ : 0; }
  bool working = false;

 private:
  std::vector<std::string>& journal_;
  int left_;
  uint32_t status_;
};

class ToolProcesses : public launcher::testing::FakeProcesses {
 public:
  std::vector<std::string>& journal;
  bool missing = false;
  int runsFor = 3;  // -1: hangs
  uint32_t status = 0;
  bool working = false;  // reads and writes while it runs
  explicit ToolProcesses(std::vector<std::string>& j) : journal(j) {}
  std::unique_ptr<plat::Child> startWatched(const std::string& commandLine,
                                            plat::WindowStyle style) override {
    if (missing) throw plat::errorOf(plat::kErrFileNotFound);
    started.push_back({commandLine, style});
    auto tool = std::make_unique<FakeTool>(journal, runsFor, status);
    tool->working = working;
    return tool;
  }
};

class JournalFs : public MemFs {
 public:
  std::vector<std::string>& journal;
  explicit JournalFs(std::vector<std::string>& j) : journal(j) {}
  void deleteFile(const std::string& path) override {
    journal.push_back("delete " + path);
    MemFs::deleteFile(path);
  }
};

class UpdateRunTest : public ::testing::Test {
 protected:
  UpdateRunTest()
      : fs(journal),
        processes(journal),
        run(Services{fs, processes, ui, clock, [this] { journal.push_back("end"); }}, view, control,
            "D:\\shop") {
    fs.addFolder("D:\\shop");
    ui.onMessageBox = [this] { journal.push_back("box " + ui.shown.back().text); };
  }
  void loadAndDownload(int32_t bytes) {
    ASSERT_TRUE(run.Load({2011, 5, 24, 9, 57, 5}, "2011/5/24 9:57:05"));
    run.ExaminesVer();
    fs.addFile("D:\\shop\\netrar.xml", "package");
    run.DLComplete(bytes);
  }

  std::vector<std::string> journal;
  JournalFs fs;
  ToolProcesses processes;
  ScriptedUi ui;
  SteppingClock clock;
  FakeView view;
  FakeControl control;
  UpdateRun run;
  void SetUp() override { fs.addFile("D:\\shop\\server.xml", "E:\\data\r\nnet\r\nhttp://s\r\n"); }
};

TEST_F(UpdateRunTest, AWholeUpdateEndsWithTheMessageOnlyAfterTheToolEnded) {
  bool closableWhileInstalling = false;
  ui.onPump = [&] { closableWhileInstalling |= run.mayClose(); };
  loadAndDownload(1536);
  EXPECT_FALSE(closableWhileInstalling);
  EXPECT_EQ(view.text1, "2011.05.24 09.57.05 版本模块");
  EXPECT_EQ(view.text2, "2011/5/24 9:57:05");
  EXPECT_EQ(control.url, "http://s/update/netrar.xml");
  EXPECT_EQ(control.folder, "D:\\shop");
  EXPECT_EQ(view.lines.back(), "> 完成1k下载并保存到D:\\shop");
  ASSERT_EQ(processes.started.size(), 1u);
  EXPECT_EQ(processes.started[0].commandLine,
            "D:\\shop\\rar e -o+ D:\\shop\\netrar.xml E:\\data\\");
  EXPECT_EQ(processes.started[0].style, plat::WindowStyle::kHide);
  EXPECT_EQ(view.label, "正在安装...100%");
  EXPECT_EQ(view.events, (std::vector<std::string>{"hide bar", "show bar 16777215", "close"}));
  EXPECT_EQ(journal, (std::vector<std::string>{"delete D:\\shop\\netrar.xml",
                                               "box " + std::string(kUpdateDone), "end"}));
  EXPECT_EQ(ui.shown.back().style, plat::mb::kOk);
  EXPECT_EQ(ui.shown.back().title, "");
  EXPECT_EQ(run.state(), RunState::Finished);
}

TEST_F(UpdateRunTest, AToolThatFailsOrCannotStartOrHangsIsAFailedUpdate) {
  struct Case {
    const char* name;
    bool missing;
    int runsFor;
    uint32_t status;
    bool forced;
  };
  for (const Case& c : {Case{"exit 3", false, 2, 3, false}, Case{"missing", true, 0, 0, false},
                        Case{"hangs", false, -1, 0, true}}) {
    journal.clear();
    ui.shown.clear();
    fs.files.erase("d:\\shop\\netrar.xml");
    processes.missing = c.missing;
    processes.runsFor = c.runsFor;
    processes.status = c.status;
    clock.step = 0.05;  // the hanging tool meets the limit after some thousand looks
    UpdateRun r(Services{fs, processes, ui, clock, [this] { journal.push_back("end"); }}, view,
                control, "D:\\shop");
    control.busy = false;
    ASSERT_TRUE(r.Load({}, ""));
    r.ExaminesVer();
    fs.addFile("D:\\shop\\netrar.xml", "package");
    r.DLComplete(100);
    std::vector<std::string> expected = {"delete D:\\shop\\netrar.xml",
                                         "box " + std::string(kUpdateFailed), "end"};
    if (c.forced) expected.insert(expected.begin(), "tool ended by force");
    EXPECT_EQ(journal, expected) << c.name;
    ASSERT_FALSE(ui.shown.empty());
    EXPECT_EQ(ui.shown.back().style, plat::mb::kCritical) << c.name;
    EXPECT_EQ(ui.shown.back().title, "") << c.name;
  }
}

// A tool still reading and writing is waited for past the limit: ended, it
// would leave a file of the data folder cut short.
TEST_F(UpdateRunTest, AToolStillAtWorkIsWaitedForPastTheLimit) {
  processes.runsFor = 40000;  // 2000 s of looks
  processes.working = true;
  clock.step = 0.05;
  loadAndDownload(100);
  EXPECT_EQ(journal, (std::vector<std::string>{"delete D:\\shop\\netrar.xml",
                                               "box " + std::string(kUpdateDone), "end"}));
}

TEST_F(UpdateRunTest, LoadFailureEndsTheProgram) {
  fs.files.clear();
  EXPECT_FALSE(run.Load({}, ""));
  ASSERT_EQ(ui.shown.size(), 1u);
  EXPECT_EQ(ui.shown[0].text, kNoNewVersion);
  EXPECT_EQ(ui.shown[0].style, plat::mb::kCritical);
  EXPECT_EQ(ui.shown[0].title, "");
  EXPECT_EQ(journal.back(), "end");
}

TEST_F(UpdateRunTest, StartFailureShowsItsBoxAndTheWindowWaits) {
  ASSERT_TRUE(run.Load({}, ""));
  control.refuseUrl = true;
  run.ExaminesVer();
  ASSERT_EQ(ui.shown.size(), 1u);
  EXPECT_EQ(ui.shown[0].text, kStartFailed);
  EXPECT_EQ(ui.shown[0].style, plat::mb::kOk);
  EXPECT_EQ(ui.shown[0].title, kProgramTitle);
  EXPECT_EQ(run.state(), RunState::Idle);
  control.refuseUrl = false;
  run.ExaminesVer();
  run.ExaminesVer();  // busy: refused without a word
  EXPECT_EQ(control.starts, 1);
  EXPECT_EQ(ui.shown.size(), 1u);
  run.DLError(dl::bkDLERedirect, "Redirected to x");
  run.DLComplete(0);
  EXPECT_EQ(view.lines.back(), "> 错误 - 重定向: Redirected to x");
  EXPECT_EQ(run.state(), RunState::Idle);
  EXPECT_TRUE(processes.started.empty());
}

}  // namespace
}  // namespace upd
