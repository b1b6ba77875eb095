// Orvane.exe end to end under Wine: the splash and its countdown, the
// runtime found through the real registry, the working files, the start of
// the runtime stand-in, and every message on the way.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/xattr.h>

#include <ctime>
#include <fstream>
#include <iterator>

#include "launcher/road.h"
#include "launcher/runtime_check.h"
#include "tests/support/sql.h"
#include "tests/wine/harness.h"

namespace winetest {
namespace {

constexpr milliseconds kWait{30000};
const std::string kOfficeKey = R"(HKLM\Software\Microsoft\Office\)";
const std::string kSecurityKey = R"(HKCU\Software\Microsoft\Office\11.0\Access\Security)";
constexpr int kLabel1Id = 11;

std::string installKey(const std::string& version) {
  return kOfficeKey + version + R"(\Access\InstallRoot)";
}

std::string readField(const fs::path& file, const std::string& field) {
  sqlite3* db = nullptr;
  std::string value;
  if (sqlite3_open_v2(file.string().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, ("SELECT " + field + " FROM usysbookind").c_str(), -1, &st,
                           nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
      value = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    }
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return value;
}

// True while a program started from `windowsExe` runs: a Windows process
// under Wine carries its Windows command line as its own.
bool running(const std::string& windowsExe) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc", ec)) {
    std::ifstream in(e.path() / "cmdline", std::ios::binary);
    const std::string cmd((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (cmd.find(windowsExe) != std::string::npos) return true;
  }
  return false;
}

// A prepared program folder with stand-ins for the registration tool, the
// downloader and the runtime, and a clean registry.
class OrvaneWine : public ::testing::Test {
 protected:
  explicit OrvaneWine(const std::string& appName = "orvane") : app(appName), office("office") {}

  void SetUp() override {
    // A box the last test answered may still be closing: a wait for this
    // test's box must not find it.
    waitWindowGone("#32770", "-", kWait);
    for (const char* v : {"9.0", "10.0", "11.0"}) regDeleteKey(kOfficeKey + v, RegView::k32);
    regDeleteKey(kSecurityKey);
    app.copyBinary("Orvane.exe");
    app.copyBinary("recorder.exe", "regsvr32.exe");
    app.copyBinary("recorder.exe", "Rundrel.exe");
    app.write("DAO360.DLL", "dao");
    app.write("server.xml", "This locality moves\r\n");
    app.write("system.mdw", "workgroup");
    app.write("S.cpl", "picture");
    makeApplicationDatabase(app.file("Velmora.dll"));
    // Workgroup copies of earlier tests would hide where this one puts them.
    for (const char* copy :
         {"system.mdw", "windows/system32/system.mdw", "windows/syswow64/system.mdw"})
      fs::remove(driveC() / copy);
  }

  // Installs the runtime stand-in as `version`, with `decoration` around the
  // folder as it stands in the registry.
  std::string installRuntime(const std::string& version, const ProgramFolder& folder,
                             const std::string& before = "", const std::string& after = "") {
    folder.copyBinary("recorder.exe", "Msaccess.exe");
    const std::string path = folder.winPath() + "\\";
    regAdd(installKey(version), "Path", "REG_SZ", before + path + after, RegView::k32);
    return path;
  }

  WineProcess start() {
    StartOptions options;
    options.cwd = app.path();
    return WineProcess::start({app.file("Orvane.exe").string()}, options);
  }

  std::vector<RecordedStart> starts(const std::string& exe) const {
    return readRecorderLog(app.file(exe + ".log"));
  }

  // The stand-ins run on after the launcher has ended: wait for their record.
  static std::vector<RecordedStart> awaitStart(const fs::path& log) {
    waitUntil([&] { return !readRecorderLog(log).empty(); }, kWait);
    return readRecorderLog(log);
  }
  std::vector<RecordedStart> runtimeStarts(const ProgramFolder& folder) const {
    return awaitStart(folder.file("Msaccess.exe.log"));
  }

  void expectRegistration() {
    const auto reg = awaitStart(app.file("regsvr32.exe.log"));
    ASSERT_EQ(reg.size(), 1u);
    EXPECT_EQ(reg[0].commandLine,
              app.winPath() + "\\regsvr32.exe /s " + app.winPath() + "\\DAO360.DLL");
    EXPECT_EQ(reg[0].show, 1);
  }

  // "REG_DWORD 0x1", or "" when the value is not there.
  std::string level() {
    const auto v = regQuery(kSecurityKey, "Level");
    return v ? v->type + " " + v->data : std::string();
  }

  void expectNothingPrepared() {
    EXPECT_FALSE(app.exists("temp"));
    EXPECT_EQ(level(), "");
    EXPECT_FALSE(office.exists("Msaccess.exe.log"));
  }

  ProgramFolder app;
  ProgramFolder office;
};

TEST_F(OrvaneWine, TypicalDayWithOnly11Installed) {
  const std::string root = installRuntime("11.0", office);
  WineProcess p = start();

  // Loaded at its design size, the window takes the picture's size, centred.
  std::optional<Window> splash;
  ASSERT_TRUE(waitUntil(
      [&] {
        splash = waitWindow("OrvaneIntro", "Orvane", kWait);
        return splash && splash->width == 502 && splash->height == 176;
      },
      kWait))
      << p.err();
  // The fixture's screen is 1280 x 1024 at 96 DPI.
  EXPECT_EQ(splash->x, (1280 - 502) / 2);
  EXPECT_EQ(splash->y, (1024 - 176) / 2);
  // The countdown moves on; a slow look may first see it at (1).
  ASSERT_TRUE(waitUntil(
      [] {
        const auto text = controlText("Orvane", kLabel1Id);
        return text == "正在启动,请稍候(2)" || text == "正在启动,请稍候(1)";
      },
      kWait));
  screenshotWindow("orvane_splash_countdown", *splash);
  EXPECT_EQ(p.wait(kWait), 0);

  expectRegistration();
  const std::string workDb = app.winPath() + "\\temp\\" + dayStamp() + ".BAR";
  const auto runtime = runtimeStarts(office);
  ASSERT_EQ(runtime.size(), 1u);
  EXPECT_EQ(runtime[0].commandLine, root + "Msaccess.exe /runtime " + workDb);
  EXPECT_EQ(runtime[0].show, 3);
  EXPECT_EQ(level(), "REG_DWORD 0x1");
  EXPECT_TRUE(app.exists("temp/" + dayStamp() + ".BMP"));
  // The copy keeps the lower-case extension it was written with; Wine finds
  // it by either name.
  const fs::path copy = app.file("temp/" + dayStamp() + ".bar");
  EXPECT_EQ(readField(copy, "path"), app.winPath());
  EXPECT_EQ(readField(copy, "appath"), app.winPath());
  EXPECT_TRUE(starts("Rundrel.exe").empty());
  // The runtime is a 32-bit program: the workgroup file goes to the system
  // folder it sees, also from this 64-bit launcher.
  const fs::path wow = driveC() / "windows/syswow64/system.mdw";
  ASSERT_TRUE(fs::exists(wow));
  EXPECT_EQ(readBytes(wow), "workgroup");
  EXPECT_FALSE(fs::exists(driveC() / "windows/system32/system.mdw"));
  EXPECT_EQ(readBytes(driveC() / "system.mdw"), "workgroup");
}

TEST_F(OrvaneWine, TempFolderThatIsALinkIsNeverFollowed) {
  installRuntime("11.0", office);
  ProgramFolder elsewhere("elsewhere");
  elsewhere.write("ledger.mdb", "keep me");
  elsewhere.write("sub/notes.txt", "and me");
  fs::create_directory_symlink(elsewhere.path(), app.file("temp"));
  WineProcess p = start();
  // Wine cannot remove a Unix link (it acts on the folder behind it), so the
  // link stays and the start ends with its message; Windows would put a real
  // folder in its place. Nothing behind the link is touched either way.
  if (waitWindow("#32770", "提示", kWait)) waitDialog("提示", kWait, 1);
  EXPECT_EQ(p.wait(kWait), 0) << p.err();
  ASSERT_TRUE(elsewhere.exists("ledger.mdb") && elsewhere.exists("sub/notes.txt"));
  EXPECT_EQ(elsewhere.read("ledger.mdb"), "keep me");
  EXPECT_EQ(elsewhere.read("sub/notes.txt"), "and me");
  EXPECT_FALSE(elsewhere.exists(dayStamp() + ".BMP"));
}

class OrvaneWineChineseFolder : public OrvaneWine {
 protected:
  OrvaneWineChineseFolder() : OrvaneWine("汽修 店") {}
};

TEST_F(OrvaneWineChineseFolder, Version10WinsOver11AndLevelStaysUnder11) {
  ProgramFolder office11("office11");
  const std::string root10 = installRuntime("10.0", office);
  installRuntime("11.0", office11);
  WineProcess p = start();
  EXPECT_EQ(p.wait(kWait), 0);
  const auto runtime = runtimeStarts(office);
  ASSERT_EQ(runtime.size(), 1u);
  // The folder has a blank: the working file's path is quoted.
  EXPECT_EQ(runtime[0].commandLine, root10 + "Msaccess.exe /runtime \"" + app.winPath() +
                                        "\\temp\\" + dayStamp() + ".BAR\"");
  EXPECT_FALSE(office11.exists("Msaccess.exe.log"));
  EXPECT_EQ(level(), "REG_DWORD 0x1");
  EXPECT_FALSE(regKeyExists(R"(HKCU\Software\Microsoft\Office\10.0\Access\Security)"));
}

TEST_F(OrvaneWine, BlanksAroundTheInstallFolderAreTrimmed) {
  const std::string root = installRuntime("11.0", office, "  ", "   ");
  WineProcess p = start();
  EXPECT_EQ(p.wait(kWait), 0);
  const auto runtime = runtimeStarts(office);
  ASSERT_EQ(runtime.size(), 1u);
  EXPECT_EQ(runtime[0].commandLine.rfind(root + "Msaccess.exe /runtime ", 0), 0u)
      << runtime[0].commandLine;
}

TEST_F(OrvaneWine, DamagedRuntimeShowsItsMessageOnly) {
  regAdd(installKey("11.0"), "Path", "REG_SZ", office.winPath() + "\\", RegView::k32);
  WineProcess p = start();
  ASSERT_TRUE(waitWindow("#32770", "提示", kWait)) << p.err();
  if (auto w = waitWindow("#32770", "提示", kWait)) screenshotWindow("orvane_runtime_damaged", *w);
  auto box = waitDialog("提示", kWait, 1);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, launcher::kRuntimeDamagedMessage);
  EXPECT_EQ(box->icon, "exclamation");
  // The splash has hidden: the box has no owner and must not open behind
  // other programs' windows.
  EXPECT_TRUE(box->topmost);
  EXPECT_EQ(box->buttons, std::vector<int>{1});
  EXPECT_EQ(p.wait(kWait), 0);
  EXPECT_FALSE(waitDialog("-", milliseconds(300)));
  expectRegistration();
  expectNothingPrepared();
}

TEST_F(OrvaneWine, MissingRuntimeYesStartsTheDownloaderMinimised) {
  WineProcess p = start();
  ASSERT_TRUE(waitWindow("#32770", "提示", kWait)) << p.err();
  if (auto w = waitWindow("#32770", "提示", kWait))
    screenshotWindow("orvane_runtime_missing_prompt", *w);
  auto box = waitDialog("提示", kWait, 6);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, launcher::kRuntimeMissingPrompt);
  EXPECT_TRUE(box->topmost);
  EXPECT_EQ(box->icon, "none");
  EXPECT_EQ(box->buttons, (std::vector<int>{6, 7}));
  EXPECT_EQ(p.wait(kWait), 0);
  ASSERT_TRUE(waitUntil([&] { return !starts("Rundrel.exe").empty(); }, kWait));
  const auto downloader = starts("Rundrel.exe");
  ASSERT_EQ(downloader.size(), 1u);
  EXPECT_EQ(downloader[0].commandLine, app.winPath() + "\\Rundrel.exe");
  EXPECT_EQ(downloader[0].show, 2);
  expectRegistration();
  expectNothingPrepared();
}

TEST_F(OrvaneWine, MissingRuntimeNoStartsNothing) {
  WineProcess p = start();
  ASSERT_TRUE(waitDialog("提示", kWait, 7)) << p.err();
  EXPECT_EQ(p.wait(kWait), 0);
  EXPECT_FALSE(waitDialog("-", milliseconds(300)));
  EXPECT_TRUE(starts("Rundrel.exe").empty());
  expectNothingPrepared();
}

TEST_F(OrvaneWine, YesWithoutTheDownloaderShowsTheTrapMessage) {
  fs::remove(app.file("Rundrel.exe"));
  WineProcess p = start();
  ASSERT_TRUE(waitDialog("提示", kWait, 6)) << p.err();
  ASSERT_TRUE(waitWindow("#32770", "提示", kWait));
  if (auto w = waitWindow("#32770", "提示", kWait)) screenshotWindow("orvane_check_error", *w);
  auto box = waitDialog("提示", kWait, 1);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, launcher::kCheckRuntimeError);
  EXPECT_EQ(box->icon, "exclamation");
  EXPECT_EQ(p.wait(kWait), 0);
  expectNothingPrepared();
}

TEST_F(OrvaneWine, SecondLauncherEndsSilentlyWhileTheFirstRuns) {
  installRuntime("11.0", office);
  fs::remove(office.file("Msaccess.exe"));  // the first stops at the damaged message
  WineProcess first = start();
  ASSERT_TRUE(waitDialog("提示", kWait)) << first.err();
  WineProcess second = start();
  // The second one shows its own countdown, then ends without a word.
  ASSERT_TRUE(waitWindow("OrvaneIntro", "Orvane", kWait));
  EXPECT_EQ(second.wait(kWait), 0);
  // A stand-in started by either launcher has written its record once it has
  // ended; only then does the count say the second one registered nothing.
  ASSERT_TRUE(waitUntil([&] { return !running(app.winPath() + "\\regsvr32.exe"); }, kWait));
  EXPECT_EQ(starts("regsvr32.exe").size(), 1u);
  ASSERT_TRUE(waitDialog("提示", kWait, 1));
  EXPECT_EQ(first.wait(kWait), 0);
  EXPECT_FALSE(waitDialog("-", milliseconds(300)));
  EXPECT_FALSE(app.exists("temp"));
}

TEST_F(OrvaneWine, LabelClickDuringTheCountdownEndsAtOnce) {
  installRuntime("11.0", office);
  WineProcess p = start();
  ASSERT_TRUE(waitWindow("OrvaneIntro", "Orvane", kWait)) << p.err();
  ASSERT_TRUE(click("Orvane", kLabel1Id));
  EXPECT_EQ(p.wait(milliseconds(2500)), 0);
  EXPECT_FALSE(waitDialog("-", milliseconds(300)));
  EXPECT_FALSE(app.exists("regsvr32.exe.log"));
  expectNothingPrepared();
}

// The working files of the day: the settings row the runtime reads, the
// picture, the hidden system temp folder, and another installation's
// workgroup file at C:\ left as it is.
TEST_F(OrvaneWine, WorkingFilesOfTheDay) {
  const fs::path rootWorkgroup = driveC() / "system.mdw";
  testsupport::writeBytes(rootWorkgroup, "someone else's");
  testsupport::runSql(app.file("Velmora.dll"), "UPDATE usysbookind SET dbpath = 'D:\\2026.db'");
  installRuntime("11.0", office);
  WineProcess p = start();
  EXPECT_EQ(p.wait(kWait), 0) << p.err();
  ASSERT_EQ(runtimeStarts(office).size(), 1u);

  const auto row = testsupport::queryRow(app.file("temp/" + dayStamp() + ".bar"),
                                         "SELECT yearnew, dbpath FROM usysbookind");
  char today[16];
  const std::time_t now = std::time(nullptr);
  std::strftime(today, sizeof today, "%Y-%m-%d", std::localtime(&now));
  EXPECT_EQ(row, (testsupport::Row{{"yearnew", today}, {"dbpath", "D:\\2026.db"}}));
  EXPECT_EQ(readBytes(app.file("temp/" + dayStamp() + ".BMP")), "picture");
  // Hidden and system land in Wine's attribute record; Wine drops the
  // read-only bit of a folder (Windows keeps it without protecting anything).
  char bits[16] = {};
  ::getxattr(app.file("temp").c_str(), "user.DOSATTRIB", bits, sizeof bits - 1);
  EXPECT_STREQ(bits, "0x6");
  EXPECT_EQ(readBytes(rootWorkgroup), "someone else's");
  fs::remove(rootWorkgroup);
}

// Working files that cannot be made: the message a person answers with OK,
// and no runtime.
struct WorkFilesFailure {
  const char* name;
  void (*arrange)(const ProgramFolder& app);
  const char* text;
};

class OrvaneWineWorkFilesFailure : public OrvaneWine,
                                   public ::testing::WithParamInterface<WorkFilesFailure> {};

TEST_P(OrvaneWineWorkFilesFailure, ShowsItsMessageAndStartsNothing) {
  installRuntime("11.0", office);
  GetParam().arrange(app);
  WineProcess p = start();
  ASSERT_TRUE(waitWindow("#32770", "提示", kWait)) << p.err();
  if (auto w = waitWindow("#32770", "提示", kWait))
    screenshotWindow(std::string("orvane_") + GetParam().name, *w);
  auto box = waitDialog("提示", kWait, 1);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, GetParam().text);
  EXPECT_EQ(box->icon, "exclamation");
  EXPECT_EQ(box->buttons, std::vector<int>{1});
  EXPECT_EQ(p.wait(kWait), 0);
  EXPECT_FALSE(office.exists("Msaccess.exe.log"));
}

INSTANTIATE_TEST_SUITE_P(Cases, OrvaneWineWorkFilesFailure,
                         ::testing::Values(WorkFilesFailure{"no_settings_file",
                                                            [](const ProgramFolder& app) {
                                                              fs::remove(app.file("server.xml"));
                                                            },
                                                            launcher::kBootProError},
                                           WorkFilesFailure{"data_folder_unreachable",
                                                            [](const ProgramFolder& app) {
                                                              app.write("server.xml",
                                                                        "Q:\\shared\\data");
                                                            },
                                                            launcher::kBootProError},
                                           WorkFilesFailure{"no_settings_row",
                                                            [](const ProgramFolder& app) {
                                                              testsupport::runSql(
                                                                  app.file("Velmora.dll"),
                                                                  "DELETE FROM usysbookind;");
                                                            },
                                                            launcher::kSavePathError}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace winetest
