// The harness's own parsing and path rules, without Wine.
#include "tests/wine/harness.h"

#include <gtest/gtest.h>

#include "tests/support/temp_folder.h"

namespace winetest {
namespace {

TEST(HarnessPaths, DriveCInsideThePrefixZElsewhere) {
  fs::path prefix = "/s/wine/prefix";
  EXPECT_EQ(toWindowsPath("/s/wine/prefix/drive_c/windows/system32", prefix),
            "C:\\windows\\system32");
  EXPECT_EQ(toWindowsPath("/s/wine/prefix/drive_c", prefix), "C:\\");
  EXPECT_EQ(toWindowsPath("/s/wine/runs/a b/程序", prefix), "Z:\\s\\wine\\runs\\a b\\程序");
  // A sibling whose name only starts like drive_c is not on C:.
  EXPECT_EQ(toWindowsPath("/s/wine/prefix/drive_cx/f", prefix), "Z:\\s\\wine\\prefix\\drive_cx\\f");
  EXPECT_EQ(toWindowsPath("/s/wine/prefix/drive_c/x/../y", prefix), "C:\\y");
}

TEST(HarnessParsing, RegQueryOutput) {
  const std::string out =
      "\nHKEY_LOCAL_MACHINE\\Software\\Microsoft\\Office\\11.0\\Access\\InstallRoot\n"
      "    Path    REG_SZ    C:\\Program Files\\Office 11\\  \n"
      "    Level    REG_DWORD    0x1\n"
      "    (默认)    REG_SZ    默认\n\n";
  auto path = parseRegQuery(out, "Path");
  ASSERT_TRUE(path);
  EXPECT_EQ(path->type, "REG_SZ");
  EXPECT_EQ(path->data, "C:\\Program Files\\Office 11\\  ");
  EXPECT_EQ(parseRegQuery(out, "Level")->data, "0x1");
  EXPECT_EQ(parseRegQuery(out, "")->data, "默认");
  EXPECT_FALSE(parseRegQuery(out, "Missing"));
  EXPECT_EQ(parseRegQuery("    (Default)    REG_SZ    d\n", "")->data, "d");
}

TEST(HarnessParsing, DialogRecord) {
  Dialog d =
      parseDialog("title=提示\ntext=第一行\\n\\n  第二行 C:\\\\x\nicon=exclamation\nbuttons=6,7\n");
  EXPECT_EQ(d.title, "提示");
  EXPECT_EQ(d.text, "第一行\n\n  第二行 C:\\x");
  EXPECT_EQ(d.icon, "exclamation");
  EXPECT_EQ(d.buttons, (std::vector<int>{6, 7}));
  EXPECT_TRUE(parseDialog("title=\ntext=\nicon=none\nbuttons=\n").buttons.empty());
}

TEST(HarnessParsing, RecorderLogKeepsTheCommandLineVerbatim) {
  auto starts = parseRecorderLog(
      "pid=12\tshow=3\tflags=0x1\tcwd=Z:\\a b\tcmdline=C:\\O\\Msaccess.exe /runtime "
      "D:\\S\\temp\\110130.BAR\n"
      "pid=13\tshow=-1\tflags=0x0\tcwd=C:\\\tcmdline=\"x y.exe\"\targ=1\r\n");
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(starts[0].pid, 12);
  EXPECT_EQ(starts[0].show, 3);
  EXPECT_EQ(starts[0].flags, 1u);
  EXPECT_EQ(starts[0].cwd, "Z:\\a b");
  EXPECT_EQ(starts[0].commandLine, "C:\\O\\Msaccess.exe /runtime D:\\S\\temp\\110130.BAR");
  EXPECT_EQ(starts[1].show, -1);
  EXPECT_EQ(starts[1].commandLine, "\"x y.exe\"\targ=1");
}

TEST(HarnessFiles, ReadTextDecodesUtf16Utf8AndCodePage936) {
  const testsupport::TempFolder dir("harness_test");
  auto write = [&](const char* name, const std::string& bytes) {
    dir.write(name, bytes);
    return dir.file(name);
  };
  EXPECT_EQ(readText(write("u16", std::string("\xFF\xFE\xD0\x63\x3A\x79", 6))), "提示");
  EXPECT_EQ(readText(write("u8bom", "\xEF\xBB\xBF提示")), "提示");
  EXPECT_EQ(readText(write("u8", "提示")), "提示");
  EXPECT_EQ(readText(write("gbk", toCodePage936("提示"))), "提示");
}

}  // namespace
}  // namespace winetest
