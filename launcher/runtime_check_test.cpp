#include "launcher/runtime_check.h"

#include <gtest/gtest.h>

#include "launcher/intro.h"
#include "launcher/road.h"
#include "launcher/start_fakes_test.h"

namespace launcher {
namespace {

using namespace launcher::testing;
using plat::RegRoot;

const std::string kApp = "D:\\Shop";
const std::string kOffice10 = "C:\\Program Files\\Microsoft Office\\Office10\\";
const std::string kOffice11 = "C:\\Program Files\\Microsoft Office\\OFFICE11\\";
std::string installKey(const std::string& v) {
  return "Software\\Microsoft\\Office\\" + v + "\\Access\\InstallRoot";
}

class CheckRuntimeTest : public ::testing::Test {
 protected:
  CheckRuntimeTest() : processes(fs) {
    fs.progDir = kApp;
    fs.addFolder("D:");
    fs.addFolder(kApp);
    fs.addFolder("E:");
    fs.addFolder("E:\\data");
    fs.addFile(kApp + "\\regsvr32.exe", "tool");
    fs.addFile(kApp + "\\DAO360.DLL", "dao");
    fs.addFile(kApp + "\\Rundrel.exe", "downloader");
    fs.addFile(kApp + "\\server.xml", "E:\\data\r\n");
    fs.addFile(kApp + "\\system.mdw", "workgroup");
    fs.addFile(kApp + "\\S.cpl", "picture");
    fs.addFile("E:\\data\\Velmora.dll", "application");
  }

  void installRuntime(const std::string& version, const std::string& folder) {
    registry.putString(RegRoot::kLocalMachine, installKey(version), "Path", folder);
    fs.addFolder(folder.substr(0, folder.size() - 1));
    fs.addFile(folder + "Msaccess.exe", "runtime");
  }

  Launcher make(const std::string& appDir = kApp) {
    Services s{fs, registry, processes, ui, clock};
    s.closeWindow = [this] {
      ++closes;
      events.push_back("close");
    };
    ui.onMessageBox = [this] { events.push_back("box"); };
    return Launcher(std::move(s), appDir);
  }

  std::optional<uint32_t> level() {
    return registry.getDword(RegRoot::kCurrentUser, kSecurityKey, "Level");
  }

  bool prepared() { return fs.hasFile(kApp + "\\temp\\110130.BAR"); }

  // Only the registration tool was started, as the DAO library needs.
  void expectOnlyRegistration() {
    ASSERT_EQ(processes.started.size(), 1u);
    EXPECT_EQ(processes.started[0].commandLine, "D:\\Shop\\regsvr32.exe /s D:\\Shop\\DAO360.DLL");
    EXPECT_EQ(processes.started[0].style, plat::WindowStyle::kNormalFocus);
  }

  MemFs fs;
  MemRegistry registry;
  MemProcesses processes;
  ScriptedUi ui;
  SteppingClock clock;
  int closes = 0;
  std::vector<std::string> events;  // window closes and message boxes, in order
};

TEST_F(CheckRuntimeTest, OnlyVersion11FoundAfterTheEarlierVersionsAreRead) {
  installRuntime("11.0", kOffice11);
  Launcher l = make();
  EXPECT_TRUE(CheckRuntime(l));
  EXPECT_EQ(l.AccessRoot, kOffice11);
  EXPECT_EQ(registry.queried,
            (std::vector<std::string>{installKey("10.0"), installKey("9.0"), installKey("11.0")}));
  EXPECT_EQ(level(), 1u);
  expectOnlyRegistration();
  EXPECT_TRUE(prepared());
  EXPECT_EQ(l.DataPath, "E:\\data");
  EXPECT_TRUE(ui.shown.empty());
  EXPECT_EQ(closes, 0);
}

TEST_F(CheckRuntimeTest, EarliestListedVersionWinsAndLevelStaysUnder11) {
  installRuntime("10.0", kOffice10);
  installRuntime("11.0", kOffice11);
  Launcher l = make();
  EXPECT_TRUE(CheckRuntime(l));
  EXPECT_EQ(l.AccessRoot, kOffice10);
  EXPECT_EQ(registry.queried, std::vector<std::string>{installKey("10.0")});
  EXPECT_EQ(level(), 1u);
  EXPECT_FALSE(registry.getDword(RegRoot::kCurrentUser,
                                 "Software\\Microsoft\\Office\\10.0\\Access\\Security", "Level"));
}

TEST_F(CheckRuntimeTest, EmptyMissingAndOverlongValuesCountAsNotFound) {
  // 10.0: the key exists with an empty value; 9.0: a value longer than the
  // buffer; 11.0: the key without the value. Nothing is found.
  registry.putString(RegRoot::kLocalMachine, installKey("10.0"), "Path", "");
  registry.putString(RegRoot::kLocalMachine, installKey("9.0"), "Path",
                     "C:\\" + std::string(300, 'x') + "\\");
  registry.putString(RegRoot::kLocalMachine, installKey("11.0"), "Other", kOffice11);
  ui.answers = {plat::mb::kIdNo};
  Launcher l = make();
  EXPECT_FALSE(CheckRuntime(l));
  ASSERT_EQ(ui.shown.size(), 1u);
  EXPECT_EQ(ui.shown[0].text, kRuntimeMissingPrompt);
}

TEST_F(CheckRuntimeTest, ReadInstallRootKeepsTheBufferRule) {
  registry.putString(RegRoot::kLocalMachine, installKey("11.0"), "Path", "C:\\Office\\");
  Launcher l = make();
  const std::string found = ReadInstallRoot(l, "11.0");
  ASSERT_EQ(found.size(), kInstallRootBuffer);
  EXPECT_EQ(found.substr(0, 12), std::string("C:\\Office\\") + '\0' + ' ');
  EXPECT_EQ(found.find_first_not_of(' ', 11), std::string::npos);
  EXPECT_EQ(ReadInstallRoot(l, "10.0"), std::string(kInstallRootBuffer, ' '));
}

TEST_F(CheckRuntimeTest, BlanksAroundTheFolderAreTrimmed) {
  registry.putString(RegRoot::kLocalMachine, installKey("11.0"), "Path", "  " + kOffice11 + "   ");
  fs.addFile(kOffice11 + "Msaccess.exe", "runtime");
  Launcher l = make();
  EXPECT_TRUE(CheckRuntime(l));
  EXPECT_EQ(l.AccessRoot, kOffice11);
}

TEST_F(CheckRuntimeTest, DamagedRuntimeIsReportedWithoutPrompt) {
  registry.putString(RegRoot::kLocalMachine, installKey("11.0"), "Path", kOffice11);
  Launcher l = make();
  EXPECT_FALSE(CheckRuntime(l));
  ASSERT_EQ(ui.shown.size(), 1u);
  EXPECT_EQ(
      ui.shown[0].text,
      "系统启动失败！系统检测到原有数据库组件已被人为更改或删除，请首先将其修复后再启动本软件。"
      "\n\n注：本系统与Office高度集成，其中Microsoft Excel、Word和Access组件为本系统所要求的"
      "必选支持项目。");
  EXPECT_EQ(ui.shown[0].style, 48);
  EXPECT_EQ(ui.shown[0].title, "提示");
  EXPECT_EQ(ui.beeps, 1);
  EXPECT_EQ(closes, 1);
  EXPECT_FALSE(level());
  EXPECT_FALSE(prepared());
  expectOnlyRegistration();
}

TEST_F(CheckRuntimeTest, MissingRuntimeYesStartsTheDownloaderMinimised) {
  ui.answers = {plat::mb::kIdYes};
  Launcher l = make();
  EXPECT_FALSE(CheckRuntime(l));
  ASSERT_EQ(ui.shown.size(), 1u);
  EXPECT_EQ(
      ui.shown[0].text,
      "系统启动失败！系统发现数据库组件没有安装或安装不完整。\n\n注意：本系统与Office高度集成，"
      "其中Excel,Word和Access三个组件要求为必安装项\n      否则本系统将无法正常运行。"
      "你要从我们网站下载安装ACCESS数据库运行组件吗？");
  EXPECT_EQ(ui.shown[0].style, 4);
  EXPECT_EQ(ui.shown[0].title, "提示");
  EXPECT_EQ(ui.beeps, 1);
  ASSERT_EQ(processes.started.size(), 2u);
  EXPECT_EQ(processes.started[1].commandLine, "D:\\Shop\\Rundrel.exe");
  EXPECT_EQ(processes.started[1].style, plat::WindowStyle::kMinimizedFocus);
  EXPECT_EQ(closes, 1);
  EXPECT_FALSE(level());
  EXPECT_FALSE(prepared());
}

TEST_F(CheckRuntimeTest, MissingRuntimeNoStartsNothing) {
  ui.answers = {plat::mb::kIdNo};
  Launcher l = make();
  EXPECT_FALSE(CheckRuntime(l));
  expectOnlyRegistration();
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(fs.changes.empty());
}

TEST_F(CheckRuntimeTest, DownloaderMissingGoesToTheTrap) {
  fs.files.erase(lower(kApp + "\\Rundrel.exe"));
  ui.answers = {plat::mb::kIdYes};
  Launcher l = make();
  EXPECT_FALSE(CheckRuntime(l));
  ASSERT_EQ(ui.shown.size(), 2u);
  EXPECT_EQ(ui.shown[1].text, "系统启动失败！请查明原因(可能网络有问题)，然后重试本操作。");
  EXPECT_EQ(ui.shown[1].style, 48);
  EXPECT_EQ(ui.shown[1].title, "提示");
  EXPECT_GE(closes, 1);
  EXPECT_FALSE(prepared());
}

TEST_F(CheckRuntimeTest, RegistrationToolMissingGoesToTheTrapBeforeTheRegistry) {
  installRuntime("11.0", kOffice11);
  fs.files.erase(lower(kApp + "\\regsvr32.exe"));
  Launcher l = make();
  EXPECT_FALSE(CheckRuntime(l));
  ASSERT_EQ(ui.shown.size(), 1u);
  EXPECT_EQ(ui.shown[0].text, kCheckRuntimeError);
  // The trap shows its message while the window still stands, then closes it.
  EXPECT_EQ(events, (std::vector<std::string>{"box", "close"}));
  EXPECT_TRUE(registry.queried.empty());
  EXPECT_FALSE(level());
  EXPECT_FALSE(prepared());
}

TEST_F(CheckRuntimeTest, SecondLauncherIsSilentAndTouchesNothing) {
  installRuntime("11.0", kOffice11);
  processes.previous = true;
  Launcher l = make();
  EXPECT_FALSE(CheckRuntime(l));
  EXPECT_TRUE(ui.shown.empty());
  EXPECT_EQ(ui.beeps, 0);
  EXPECT_TRUE(processes.started.empty());
  EXPECT_TRUE(registry.queried.empty());
  EXPECT_TRUE(registry.changes.empty());
  EXPECT_TRUE(fs.changes.empty());
  EXPECT_EQ(closes, 1);
}

TEST_F(CheckRuntimeTest, ProgramFolderWithBlanksQuotesTheDownloader) {
  const std::string app = "D:\\Repair Shop";
  fs.addFolder(app);
  fs.addFile(app + "\\regsvr32.exe", "tool");
  fs.addFile(app + "\\Rundrel.exe", "downloader");
  ui.answers = {plat::mb::kIdYes};
  Launcher l = make(app);
  EXPECT_FALSE(CheckRuntime(l));
  ASSERT_EQ(processes.started.size(), 2u);
  EXPECT_EQ(processes.started[1].commandLine, "\"D:\\Repair Shop\\Rundrel.exe\"");
}

// The splash window's logic over the real runtime check: a click while the
// animation runs ends everything before any check, file or start.
class NullWindow : public IntroWindow {
 public:
  void show() override {}
  void place(const TwipRect&) override {}
  void setCaption(const std::string&) override {}
  bool startTimer(int, int) override { return true; }
  void stopTimer(int) override {}
  void hide() override { ++hides; }
  void close() override {}
  void endLauncher() override {}
  int hides = 0;
};

TEST_F(CheckRuntimeTest, ClickDuringTheAnimationLeavesEverythingUntouched) {
  installRuntime("11.0", kOffice11);
  Launcher l = make();
  NullWindow window;
  IntroLogic intro(window, ui, clock, {0, 0, 15360, 11520},
                   {[&] { return CheckRuntime(l); }, [&] { BootPro(l); }});
  intro.load();
  ui.onPump = [&] {
    if (ui.pumps == 10) intro.labelClick();
  };
  intro.startTick();
  EXPECT_TRUE(intro.ended());
  EXPECT_EQ(window.hides, 0);
  EXPECT_TRUE(processes.started.empty());
  EXPECT_TRUE(registry.queried.empty());
  EXPECT_TRUE(registry.changes.empty());
  EXPECT_TRUE(fs.changes.empty());
  EXPECT_TRUE(ui.shown.empty());
}

}  // namespace
}  // namespace launcher
