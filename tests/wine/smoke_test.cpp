// The Wine harness end to end: message boxes are recognised and answered,
// screenshots render Chinese, starts are recorded with their window style,
// the registry views are separate.
#include <gtest/gtest.h>

#include "tests/wine/harness.h"

namespace winetest {
namespace {

constexpr milliseconds kWait{20000};

// Starts msgbox.exe showing one box; returns the process.
WineProcess showBox(const ProgramFolder& dir, int style, const std::string& title,
                    const std::string& text) {
  return WineProcess::start({dir.file("msgbox.exe").string(), std::to_string(style), title, text});
}

TEST(WineSmoke, ExclamationBoxWithChineseTextIsReadAndAnswered) {
  ProgramFolder dir("smoke");
  dir.copyBinary("msgbox.exe");
  // "\n" is msgbox.exe's escape for a line feed.
  WineProcess p = showBox(dir, 48, "提示",
                          "系统启动失败！系统检测到原有数据库组件已被人为更改或删除。\\n\\n注：本系"
                          "统与Office高度集成。");
  auto box = waitDialog("提示", kWait);
  ASSERT_TRUE(box) << p.err();
  EXPECT_EQ(box->title, "提示");
  EXPECT_EQ(
      box->text,
      "系统启动失败！系统检测到原有数据库组件已被人为更改或删除。\n\n注：本系统与Office高度集成。");
  EXPECT_EQ(box->icon, "exclamation");
  EXPECT_EQ(box->buttons, std::vector<int>{1});

  auto window = waitWindow("#32770", "提示", kWait);
  ASSERT_TRUE(window);
  fs::path png = screenshotWindow("wine_smoke_exclamation_box", *window);
  EXPECT_GT(fs::file_size(png), 1000u);

  ASSERT_TRUE(click("提示", 1));
  EXPECT_EQ(p.wait(kWait), 1);  // IDOK
}

TEST(WineSmoke, YesNoQuestionAndIconKindsAreTold) {
  ProgramFolder dir("smoke");
  dir.copyBinary("msgbox.exe");
  struct Case {
    int style;
    const char* icon;
    int press;
  } cases[] = {{4, "none", 6},
               {4, "none", 7},
               {16, "hand", 1},
               {32 + 4, "question", 7},
               {64, "asterisk", 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.style);
    WineProcess p = showBox(dir, c.style, "提示", "你要从我们网站下载安装ACCESS数据库运行组件吗？");
    auto box = waitDialog("提示", kWait, c.press);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->icon, c.icon);
    const std::vector<int> expected = (c.style & 4) ? std::vector<int>{6, 7} : std::vector<int>{1};
    EXPECT_EQ(box->buttons, expected);
    EXPECT_EQ(p.wait(kWait), c.press);
  }
}

TEST(WineSmoke, EmptyTitleMatchesOnlyAnEmptyTitle) {
  ProgramFolder dir("smoke");
  dir.copyBinary("msgbox.exe");
  WineProcess other = showBox(dir, 0, "提示", "other");
  ASSERT_TRUE(waitDialog("提示", kWait));
  WineProcess p = showBox(dir, 16, "", "更新失败");
  auto box = waitDialog("", kWait, 1);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, "更新失败");
  EXPECT_EQ(box->title, "");
  EXPECT_EQ(p.wait(kWait), 1);
  EXPECT_TRUE(other.running());
  ASSERT_TRUE(waitDialog("提示", kWait, 1));
  EXPECT_EQ(other.wait(kWait), 1);
  EXPECT_FALSE(waitDialog("-", milliseconds(300))) << "no dialog is left";
}

TEST(WineSmoke, ClicksReachLabelsButtonsAndTheWindowBehindPlainLabels) {
  ProgramFolder dir("click");
  dir.copyBinary("clickpad.exe");
  const fs::path log = dir.file("events.log");
  WineProcess p =
      WineProcess::start({dir.file("clickpad.exe").string(), "Orvane", toWindowsPath(log)});
  auto window = waitWindow("-", "Orvane", kWait);
  ASSERT_TRUE(window) << p.err();
  EXPECT_EQ(window->className, "KitClickPad");
  auto events = [&] { return fs::exists(log) ? readBytes(log) : std::string(); };

  ASSERT_TRUE(clickAt("Orvane", 30, 25));  // the notifying label
  ASSERT_TRUE(waitUntil([&] { return events() == "label 1001\n"; }, kWait)) << events();
  ASSERT_TRUE(clickAt("Orvane", 30, 65));  // a plain label lets the click through
  ASSERT_TRUE(waitUntil([&] { return events() == "label 1001\ndown 30,65\n"; }, kWait)) << events();
  ASSERT_TRUE(click("Orvane", 1003));
  ASSERT_TRUE(click("Orvane", 1001));
  ASSERT_TRUE(waitUntil(
      [&] { return events() == "label 1001\ndown 30,65\nbutton 1003\nlabel 1001\n"; }, kWait))
      << events();
  EXPECT_EQ(controlText("Orvane", 1001), "点击这里");
  EXPECT_FALSE(click("Orvane", 4242));
  screenshotWindow("wine_smoke_clickpad", *window);

  ASSERT_TRUE(closeWindow("Orvane"));
  EXPECT_EQ(p.wait(kWait), 0);
  EXPECT_TRUE(waitWindowGone("-", "Orvane", milliseconds(2000)));
}

TEST(WineSmoke, RecorderLogsCommandLineFolderAndWindowStyle) {
  ProgramFolder dir("程序");
  dir.copyBinary("starter.exe");
  dir.copyBinary("recorder.exe", "Msaccess.exe");
  dir.copyBinary("recorder.exe", "Rundrel.exe");
  const std::string app = dir.winPath();
  const std::string line = app + "\\Msaccess.exe /runtime " + app + "\\temp\\110130.BAR";
  RunResult r = run({dir.file("starter.exe").string(), "3", "--wait", line}, kWait,
                    StartOptions{.cwd = dir.path()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  r = run({dir.file("starter.exe").string(), "2", "--wait", app + "\\Rundrel.exe"}, kWait);
  ASSERT_EQ(r.exitCode, 0) << r.err;

  auto access = readRecorderLog(dir.file("Msaccess.exe.log"));
  ASSERT_EQ(access.size(), 1u);
  EXPECT_EQ(access[0].commandLine, line);
  EXPECT_EQ(access[0].show, 3);
  EXPECT_EQ(access[0].cwd, app);
  auto rundrel = readRecorderLog(dir.file("Rundrel.exe.log"));
  ASSERT_EQ(rundrel.size(), 1u);
  EXPECT_EQ(rundrel[0].commandLine, app + "\\Rundrel.exe");
  EXPECT_EQ(rundrel[0].show, 2);
  EXPECT_TRUE(rundrel[0].flags & 1u);  // STARTF_USESHOWWINDOW
}

// Wine differs from Windows here: when CreateProcessW resolves an unquoted
// program path that contains blanks, the started program sees that path
// quoted; the arguments after it arrive unchanged.
TEST(WineSmoke, WineQuotesAnUnquotedProgramPathWithBlanks) {
  ProgramFolder dir("a b");
  dir.copyBinary("starter.exe");
  dir.copyBinary("recorder.exe", "Msaccess.exe");
  const std::string app = dir.winPath();
  const std::string args = " /runtime " + app + "\\temp\\110130.BAR";
  RunResult r =
      run({dir.file("starter.exe").string(), "3", "--wait", app + "\\Msaccess.exe" + args}, kWait);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  auto access = readRecorderLog(dir.file("Msaccess.exe.log"));
  ASSERT_EQ(access.size(), 1u);
  EXPECT_EQ(access[0].commandLine, "\"" + app + "\\Msaccess.exe\"" + args);
}

TEST(WineSmoke, RecorderHoldsExtractsAndReturnsTheGivenExitCode) {
  ProgramFolder dir("hold");
  dir.copyBinary("recorder.exe", "rar.exe");
  dir.write("rar.exe.exitcode", "3");
  dir.write("rar.exe.hold", "");
  dir.write("rar.exe.payload/Velmora.dll", "new database");
  dir.write("netrar.xml", "x");
  fs::create_directories(dir.file("data"));
  WineProcess p = WineProcess::start({dir.file("rar.exe").string(), "e", "-o+",
                                      toWindowsPath(dir.file("netrar.xml")),
                                      toWindowsPath(dir.file("data")) + "\\"});
  ASSERT_TRUE(waitUntil([&] { return !readRecorderLog(dir.file("rar.exe.log")).empty(); }, kWait));
  EXPECT_TRUE(p.running());
  EXPECT_EQ(dir.read("data/Velmora.dll"), "new database");
  // Held without delete sharing: a Windows program cannot delete it now.
  run({"cmd", "/c", "del", toWindowsPath(dir.file("netrar.xml"))}, kWait);
  EXPECT_TRUE(dir.exists("netrar.xml"));
  fs::remove(dir.file("rar.exe.hold"));
  EXPECT_EQ(p.wait(kWait), 3);
}

TEST(WineSmoke, RegistryViewsAndChineseData) {
  const std::string key = R"(HKCU\Software\KitHarnessSmoke)";
  regDeleteKey(key, RegView::k32);
  regDeleteKey(key, RegView::k64);
  regAdd(key, "Path", "REG_SZ", R"(C:\程序 x\ )", RegView::k32);
  regAdd(key, "Level", "REG_DWORD", "1", RegView::k32);
  auto path = regQuery(key, "Path", RegView::k32);
  ASSERT_TRUE(path);
  EXPECT_EQ(path->type, "REG_SZ");
  EXPECT_EQ(path->data, R"(C:\程序 x\ )");
  EXPECT_EQ(regQuery(key, "Level", RegView::k32)->data, "0x1");
  regAdd(key, "", "REG_SZ", "默认值", RegView::k32);
  EXPECT_EQ(regQuery(key, "", RegView::k32)->data, "默认值");
  regDeleteValue(key, "Level", RegView::k32);
  EXPECT_FALSE(regQuery(key, "Level", RegView::k32));
  regDeleteKey(key, RegView::k32);
  EXPECT_FALSE(regKeyExists(key, RegView::k32));

  // HKLM\Software is split into two views; a 32-bit value is not seen by 64-bit programs.
  const std::string lm = R"(HKLM\Software\KitHarnessSmoke)";
  regAdd(lm, "Path", "REG_SZ", "x", RegView::k32);
  EXPECT_TRUE(regQuery(lm, "Path", RegView::k32));
  EXPECT_FALSE(regQuery(lm, "Path", RegView::k64));
  regDeleteKey(lm, RegView::k32);
}

TEST(WineSmoke, PathsRoundTripThroughTheDrives) {
  ProgramFolder onC("c folder", ProgramFolder::Location::kDriveC);
  EXPECT_EQ(onC.winPath().rfind("C:\\kit-runs\\c folder-", 0), 0u) << onC.winPath();
  EXPECT_EQ(toUnixPath(onC.winPath()), fs::canonical(onC.path()));
  ProgramFolder onZ("z");
  EXPECT_EQ(toUnixPath(onZ.winPath()), fs::canonical(onZ.path()));
  mapDrive('d', onZ.path());
  EXPECT_EQ(toUnixPath("D:\\"), fs::canonical(onZ.path()));
  onZ.write("a.txt", "x");
  RunResult r = run({"cmd", "/c", "type", "D:\\a.txt"}, kWait);
  unmapDrive('d');
  EXPECT_EQ(r.out, "x");
}

}  // namespace
}  // namespace winetest
