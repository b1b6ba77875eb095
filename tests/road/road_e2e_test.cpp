// The launch road as a Windows program under Wine: real files and folders of
// a program folder, a real SQLite application database, the runtime and its
// failures seen through a recording stand-in and the message boxes a person
// would answer.
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <ctime>
#include <fstream>
#include <map>

#include "launcher/testing/settings_table.h"
#include "tests/wine/harness.h"

namespace {

using std::chrono::milliseconds;
namespace fs = std::filesystem;
using launcher::testing::settingsRow;
using launcher::testing::sql;

const char* kBootProError = "系统启动失败！请查明原因BootPro.err(可能网络有问题)，然后重试本操作。";
const char* kSavePathError = "系统启动失败！原因SavePath.err(可能网络有问题)，重试本操作。";

std::string today(const char* format) {
  std::time_t now = std::time(nullptr);
  char buf[32];
  std::strftime(buf, sizeof buf, format, std::localtime(&now));
  return buf;
}


// Hidden and system as Wine keeps them for a folder on a Unix file system.
std::string dosAttributes(const fs::path& p) {
  char buf[64] = {};
  const ssize_t n = ::getxattr(p.c_str(), "user.DOSATTRIB", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// A program folder laid out as a shop's, with the road driver, and a runtime
// stand-in in an install folder of its own.
struct Shop {
  explicit Shop(const std::string& name) : dir(name) {
    dir.copyBinary("roaddrv.exe");
    dir.write("server.xml", "This locality moves\r\nBK\r\nhttp://127.0.0.1/\r\n");
    dir.write("system.mdw", "workgroup file");
    dir.write("S.cpl", "BM day picture");
    fs::create_directories(dir.file("Office11"));
    dir.copyBinary("recorder.exe", "Office11/Msaccess.exe");
    makeAppDb(dir.file("Velmora.dll"));
  }
  static void makeAppDb(const fs::path& file) {
    sql(file,
        "CREATE TABLE usysbookind (yearnew TEXT, appath TEXT, path TEXT, dbpath TEXT);"
        "INSERT INTO usysbookind VALUES ('2001-01-01', 'old', 'old', 'D:\\2026.db');");
  }
  std::string accessRoot() const { return dir.winPath() + "\\Office11\\"; }
  winetest::WineProcess start() const {
    return winetest::WineProcess::start({dir.file("roaddrv.exe").string(), accessRoot()},
                                        {.cwd = dir.path(), .extraEnv = {}});
  }
  fs::path workDb() const { return dir.file("temp/" + today("%y%m%d") + ".bar"); }
  std::vector<winetest::RecordedStart> runtimeStarts() const {
    return winetest::readRecorderLog(dir.file("Office11/Msaccess.exe.log"));
  }

  winetest::ProgramFolder dir;
};

TEST(LaunchRoadUnderWine, TypicalDay) {
  Shop shop("shop");
  // An existing workgroup file at c:\ is another installation's: untouched.
  const fs::path rootWorkgroup = winetest::driveC() / "system.mdw";
  std::ofstream(rootWorkgroup, std::ios::binary) << "someone else's";

  auto p = shop.start();
  ASSERT_EQ(p.wait(milliseconds(60000)), 0) << p.err();

  const std::string stamp = today("%y%m%d");
  std::vector<std::string> names;
  for (auto& e : fs::directory_iterator(shop.dir.file("temp"))) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{stamp + ".BMP", stamp + ".bar"}));
  EXPECT_EQ(winetest::readBytes(shop.dir.file("temp/" + stamp + ".BMP")), "BM day picture");
  // Hidden and system land in Wine's attribute record; Wine drops the
  // read-only bit of a folder (Windows keeps it without protecting anything).
  EXPECT_EQ(dosAttributes(shop.dir.file("temp")), "0x6");
  EXPECT_EQ(winetest::readBytes(rootWorkgroup), "someone else's");

  auto row = settingsRow(shop.workDb());
  EXPECT_EQ(row["yearnew"], today("%Y-%m-%d"));
  EXPECT_EQ(row["appath"], shop.dir.winPath());
  EXPECT_EQ(row["path"], shop.dir.winPath());
  EXPECT_EQ(row["dbpath"], "D:\\2026.db");

  ASSERT_TRUE(winetest::waitUntil([&] { return !shop.runtimeStarts().empty(); }, milliseconds(20000)));
  auto starts = shop.runtimeStarts();
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].commandLine,
            shop.accessRoot() + "Msaccess.exe /runtime " + shop.dir.winPath() + "\\temp\\" + stamp + ".BAR");
  EXPECT_EQ(starts[0].show, 3);  // maximised
  fs::permissions(shop.dir.file("temp"), fs::perms::owner_all, fs::perm_options::add);
}

TEST(LaunchRoadUnderWine, FolderWithBlanksAndChineseStartsTheRuntimeOnTheRightCopy) {
  Shop shop("My Shop 修理厂");
  auto p = shop.start();
  ASSERT_EQ(p.wait(milliseconds(60000)), 0) << p.err();
  ASSERT_TRUE(winetest::waitUntil([&] { return !shop.runtimeStarts().empty(); }, milliseconds(20000)));
  const std::string stamp = today("%y%m%d");
  EXPECT_EQ(shop.runtimeStarts()[0].commandLine, "\"" + shop.accessRoot() + "Msaccess.exe\" /runtime \"" +
                                                     shop.dir.winPath() + "\\temp\\" + stamp + ".BAR\"");
  EXPECT_EQ(settingsRow(shop.workDb())["path"], shop.dir.winPath());
  fs::permissions(shop.dir.file("temp"), fs::perms::owner_all, fs::perm_options::add);
}

// Failure rows: each shows its message, which a person answers with OK, and
// the runtime is never started.
TEST(LaunchRoadUnderWine, FailuresShowTheirMessageAndStartNothing) {
  struct Case {
    const char* name;
    std::function<void(Shop&)> arrange;
    int exitCode;
    const char* text;
  } cases[] = {
      {"no_settings", [](Shop& s) { fs::remove(s.dir.file("server.xml")); }, 1, kBootProError},
      {"data_folder_unreachable", [](Shop& s) { s.dir.write("server.xml", "Q:\\shared\\data"); }, 1,
       kBootProError},
      {"no_settings_row", [](Shop& s) { sql(s.dir.file("Velmora.dll"), "DELETE FROM usysbookind;"); }, 2,
       kSavePathError},
      {"runtime_missing", [](Shop& s) { fs::remove(s.dir.file("Office11/Msaccess.exe")); }, 1, kBootProError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Shop shop(c.name);
    c.arrange(shop);
    auto p = shop.start();
    auto box = winetest::waitDialog("提示", milliseconds(60000));
    ASSERT_TRUE(box);
    winetest::screenshot(std::string("road_") + c.name);
    box = winetest::waitDialog("提示", milliseconds(10000), 1);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text, c.text);
    EXPECT_EQ(box->icon, "exclamation");
    EXPECT_EQ(box->buttons, std::vector<int>{1});
    EXPECT_EQ(p.wait(milliseconds(30000)), c.exitCode);
    EXPECT_TRUE(shop.runtimeStarts().empty());
    if (fs::exists(shop.dir.file("temp")))
      fs::permissions(shop.dir.file("temp"), fs::perms::owner_all, fs::perm_options::add);
  }
}

}  // namespace
