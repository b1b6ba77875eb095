// The launch road on the real POSIX file system, real SQLite working
// databases, and recorded processes and message boxes.
#include "launcher/road.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "launcher/testing/fakes.h"
#include "platform/filesystem_posix.h"
#include "tests/support/files.h"
#include "tests/support/sql.h"
#include "tests/support/temp_folder.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::FakeProcesses;
using testing::MemRegistry;
using testing::ScriptedUi;
using testing::SteppingClock;
using testsupport::readBytes;
using testsupport::writeBytes;

using testsupport::runSql;

// yearnew, appath, path and dbpath of the first settings row ("NULL" for a
// NULL field); empty when the file or the row is not there.
testsupport::Row settingsRow(const fs::path& file) {
  return testsupport::queryRow(file, "SELECT yearnew, appath, path, dbpath FROM usysbookind");
}

// A file system whose deletions fail for one file, as Windows refuses to
// delete a file another program holds open.
class HeldOpenFs : public plat::PosixFileSystem {
 public:
  using plat::PosixFileSystem::PosixFileSystem;
  std::string heldName;
  void deleteFile(const std::string& path) override {
    if (!heldName.empty() && path.size() >= heldName.size() &&
        path.compare(path.size() - heldName.size(), heldName.size(), heldName) == 0)
      throw plat::PlatformError(plat::kErrPermissionDenied, "Permission denied");
    plat::PosixFileSystem::deleteFile(path);
  }
};

// A program folder D:\Shop with its files, a system directory
// C:\Windows\system32 and the root of drive C:, all in a temp folder.
class RoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = std::make_unique<testsupport::TempFolder>("road");
    root = folder->path();
    ui = ScriptedUi{};
    processes = FakeProcesses{};
    windowCloses = 0;
    fs::create_directories(root / "C" / "Windows" / "system32");
    fs::create_directories(root / "D" / "Shop");
    fileSystem = std::make_unique<HeldOpenFs>(
        plat::PosixPathMap({{'C', (root / "C").string()}, {'D', (root / "D").string()}}),
        "C:\\Windows\\system32", "D:\\Shop");
    writeBytes(shop() / "server.xml", "This locality moves\r\nBK\r\nhttp://update.example\r\n");
    writeBytes(shop() / "system.mdw", "workgroup");
    writeBytes(shop() / "S.cpl", "BMpicture");
    makeAppDb(shop() / "Velmora.dll");
    launcher = std::make_unique<Launcher>(services(), "D:\\Shop");
    events.clear();
    launcher->svc.closeWindow = [this] {
      ++windowCloses;
      events.push_back("close");
    };
    ui.onMessageBox = [this] { events.push_back("box"); };
    launcher->AccessRoot = "C:\\Office11\\";
  }
  void TearDown() override { folder.reset(); }

  fs::path shop() const { return root / "D" / "Shop"; }
  fs::path temp() const { return shop() / "temp"; }
  fs::path workDb() const { return temp() / "110130.BAR"; }

  static void makeAppDb(const fs::path& file, bool withRow = true) {
    fs::create_directories(file.parent_path());
    runSql(file,
           "CREATE TABLE usysbookind (yearnew TEXT, appath TEXT, path TEXT, dbpath TEXT, "
           "shopname TEXT);" +
               std::string(withRow ? "INSERT INTO usysbookind VALUES "
                                     "('2001-01-01', 'old', 'old', 'D:\\Shop\\2011.mdb', '修理厂');"
                                   : ""));
  }

  // Working databases are opened through the same drive mapping as files.
  Services services() {
    Services s{*fileSystem, registry, processes, ui, clock};
    s.openDatabase = [this](const std::string& path) {
      return db::openDatabase(fileSystem->paths().toNative(path), "", db::Durability::kScratch);
    };
    return s;
  }

  BootOutcome runRoad() {
    PrepareWorkFiles(*launcher);
    return BootPro(*launcher);
  }

  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const auto& b : ui.shown) {
      EXPECT_EQ(b.style, 48);
      EXPECT_EQ(b.title, "提示");
      out.push_back(b.text);
    }
    return out;
  }

  std::unique_ptr<testsupport::TempFolder> folder;
  fs::path root;
  std::unique_ptr<HeldOpenFs> fileSystem;
  MemRegistry registry;
  FakeProcesses processes;
  ScriptedUi ui;
  SteppingClock clock;
  std::unique_ptr<Launcher> launcher;
  int windowCloses = 0;
  std::vector<std::string> events;  // window closes and message boxes, in order
};

TEST_F(RoadTest, TypicalDayPreparesWorkingFilesAndStartsTheRuntime) {
  ASSERT_EQ(runRoad(), BootOutcome::kStarted);

  EXPECT_EQ(launcher->DataPath, "D:\\Shop");
  EXPECT_EQ(launcher->SysDir, "C:\\Windows\\system32");
  EXPECT_EQ(fileSystem->getAttributes("D:\\Shop\\temp"), 16u | 7u);
  EXPECT_EQ(readBytes(temp() / "110130.BMP"), "BMpicture");
  EXPECT_EQ(readBytes(root / "C" / "Windows" / "system32" / "system.mdw"), "workgroup");
  EXPECT_EQ(readBytes(root / "C" / "system.mdw"), "workgroup");
  std::vector<std::string> names;
  for (auto& e : fs::directory_iterator(temp())) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"110130.BAR", "110130.BMP"}));

  auto row = settingsRow(workDb());
  EXPECT_EQ(row["yearnew"], "2011-01-30");
  EXPECT_EQ(row["appath"], "D:\\Shop");
  EXPECT_EQ(row["path"], "D:\\Shop");
  EXPECT_EQ(row["dbpath"], "D:\\Shop\\2011.mdb");  // other fields stay
  // The application database itself is never written.
  EXPECT_EQ(settingsRow(shop() / "Velmora.dll")["appath"], "old");

  ASSERT_EQ(processes.started.size(), 1u);
  EXPECT_EQ(processes.started[0].commandLine,
            "C:\\Office11\\Msaccess.exe /runtime D:\\Shop\\temp\\110130.BAR");
  EXPECT_EQ(processes.started[0].style, plat::WindowStyle::kMaximizedFocus);
  EXPECT_TRUE(ui.shown.empty());
  EXPECT_EQ(windowCloses, 0);
}

TEST_F(RoadTest, BlanksInPathsAreQuotedSoTheRuntimeGetsTheWholeName) {
  fs::create_directories(root / "D" / "My Shop");
  for (const char* f : {"server.xml", "system.mdw", "S.cpl", "Velmora.dll"})
    fs::copy_file(shop() / f, root / "D" / "My Shop" / f);
  Launcher spaced(services(), "D:\\My Shop");
  spaced.AccessRoot = "C:\\Program Files\\Microsoft Office\\OFFICE11\\";
  PrepareWorkFiles(spaced);
  ASSERT_EQ(BootPro(spaced), BootOutcome::kStarted);
  EXPECT_EQ(processes.started.back().commandLine,
            "\"C:\\Program Files\\Microsoft Office\\OFFICE11\\Msaccess.exe\" /runtime "
            "\"D:\\My Shop\\temp\\110130.BAR\"");
  EXPECT_EQ(settingsRow(root / "D" / "My Shop" / "temp" / "110130.BAR")["path"], "D:\\My Shop");
}

TEST_F(RoadTest, SettingsFileFirstLineRules) {
  struct Case {
    std::string file;
    std::string dataPath;
  } cases[] = {
      {"This locality moves", "D:\\Shop"},                       // one line, no line end
      {"this locality moves\r\n", "this locality moves"},        // other case: a folder path
      {"This locality moves \r\n", "This locality moves "},      // trailing blank kept
      {"\\\\server\\data\rBK\r", "\\\\server\\data"},            // a lone CR ends a line
      {"D:\\Data\nBK\nhttp://x\n", "D:\\Data\nBK\nhttp://x\n"},  // lone LFs stay
      {"", ""},
      {"\r\nsecond", ""},
  };
  for (const auto& c : cases) {
    writeBytes(shop() / "server.xml", c.file);
    launcher->DataPath = "stale";
    ReadSettingsFile(*launcher);
    EXPECT_EQ(launcher->DataPath, c.dataPath) << c.file;
  }
}

TEST_F(RoadTest, SettingsFileLineCountLimit) {
  std::string lines;
  for (int i = 0; i < 32767; ++i) lines += "D:\\Data\r\n";
  writeBytes(shop() / "server.xml", lines);
  EXPECT_NO_THROW(ReadSettingsFile(*launcher));
  writeBytes(shop() / "server.xml", lines + "extra\r\n");
  EXPECT_THROW(ReadSettingsFile(*launcher), plat::PlatformError);
}

TEST_F(RoadTest, DataFolderWithTrailingSeparatorAndSharedFolder) {
  makeAppDb(root / "D" / "Data" / "Velmora.dll");
  writeBytes(shop() / "server.xml", "D:\\Data\\\r\n");
  ASSERT_EQ(runRoad(), BootOutcome::kStarted);
  EXPECT_EQ(settingsRow(workDb())["appath"], "D:\\Data\\");
}

TEST_F(RoadTest, FailuresBeforeTheWorkingCopyReportBootProErr) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
  } cases[] = {
      {"settings file missing", [&] { fs::remove(shop() / "server.xml"); }},
      {"lone LF settings", [&] { writeBytes(shop() / "server.xml", "D:\\Shop\nx\n"); }},
      {"marker in other case", [&] { writeBytes(shop() / "server.xml", "THIS LOCALITY MOVES"); }},
      {"workgroup file missing while due", [&] { fs::remove(shop() / "system.mdw"); }},
      {"picture missing", [&] { fs::remove(shop() / "S.cpl"); }},
      {"data folder unreachable", [&] { writeBytes(shop() / "server.xml", "E:\\Shared"); }},
      {"application database missing", [&] { fs::remove(shop() / "Velmora.dll"); }},
  };
  for (const auto& c : cases) {
    TearDown();
    SetUp();
    c.arrange();
    EXPECT_EQ(runRoad(), BootOutcome::kFailed) << c.what;
    EXPECT_EQ(messages(), std::vector<std::string>{kBootProError}) << c.what;
    // The window goes before the message, so the box stands alone.
    EXPECT_EQ(events, (std::vector<std::string>{"close", "box"})) << c.what;
    EXPECT_TRUE(processes.started.empty()) << c.what;
    EXPECT_FALSE(fs::exists(workDb())) << c.what;
  }
}

TEST_F(RoadTest, ExistingWorkgroupFilesAreLeftUntouched) {
  writeBytes(root / "C" / "system.mdw", "other content");
  writeBytes(root / "C" / "Windows" / "system32" / "system.mdw", "sys content");
  fs::remove(shop() / "system.mdw");  // not needed when both copies exist
  ASSERT_EQ(runRoad(), BootOutcome::kStarted);
  EXPECT_EQ(readBytes(root / "C" / "system.mdw"), "other content");
  EXPECT_EQ(readBytes(root / "C" / "Windows" / "system32" / "system.mdw"), "sys content");
}

TEST_F(RoadTest, TempFolderIsRebuiltFromScratchEachStart) {
  ASSERT_EQ(runRoad(), BootOutcome::kStarted);
  // Yesterday's set, plus read-only and hidden files and a subfolder.
  clock.date = {2011, 1, 31};
  fs::create_directories(temp() / "sub" / "deeper");
  writeBytes(temp() / "sub" / "deeper" / "x.tmp", "x");
  writeBytes(temp() / "ro.txt", "r");
  writeBytes(temp() / "hidden.txt", "h");
  fileSystem->setAttributes("D:\\Shop\\temp\\ro.txt", plat::attr::kReadOnly);
  fileSystem->setAttributes("D:\\Shop\\temp\\hidden.txt",
                            plat::attr::kHidden | plat::attr::kSystem);
  fileSystem->setAttributes("D:\\Shop\\temp\\sub", plat::attr::kReadOnly | plat::attr::kHidden);
  fileSystem->setAttributes("D:\\Shop\\temp", 7);
  ASSERT_EQ(runRoad(), BootOutcome::kStarted);
  std::vector<std::string> names;
  for (auto& e : fs::directory_iterator(temp())) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"110131.BAR", "110131.BMP"}));
  EXPECT_EQ(processes.started.back().commandLine,
            "C:\\Office11\\Msaccess.exe /runtime D:\\Shop\\temp\\110131.BAR");
}

TEST_F(RoadTest, FileHeldOpenStopsClearingAndBootGoesOnWithTheDaysCopy) {
  ASSERT_EQ(runRoad(), BootOutcome::kStarted);
  // The runtime started earlier today still holds the working database.
  fileSystem->heldName = "110130.BAR";
  runSql(workDb(), "UPDATE usysbookind SET shopname = 'kept';");
  ASSERT_EQ(runRoad(), BootOutcome::kStarted);
  EXPECT_EQ(settingsRow(workDb())["dbpath"], "D:\\Shop\\2011.mdb");
  EXPECT_TRUE(ui.shown.empty());
  EXPECT_EQ(processes.started.size(), 2u);

  // On a new day the held file is yesterday's, and today's copy is missing.
  clock.date = {2011, 1, 31};
  EXPECT_EQ(runRoad(), BootOutcome::kFailed);
  EXPECT_EQ(messages(), std::vector<std::string>{kBootProError});
}

TEST_F(RoadTest, MidnightBetweenPreparationAndLaunch) {
  PrepareWorkFiles(*launcher);
  clock.date = {2011, 1, 31};
  EXPECT_EQ(BootPro(*launcher), BootOutcome::kFailed);
  EXPECT_EQ(messages(), std::vector<std::string>{kBootProError});
  EXPECT_TRUE(processes.started.empty());
}

TEST_F(RoadTest, SavePathFailuresShowTheirOwnMessage) {
  struct Case {
    const char* what;
    std::string setup;
  } cases[] = {
      {"no row", "DELETE FROM usysbookind;"},
      {"no table", "DROP TABLE usysbookind;"},
      {"field missing", "ALTER TABLE usysbookind DROP COLUMN appath;"},
  };
  for (const auto& c : cases) {
    TearDown();
    SetUp();
    runSql(shop() / "Velmora.dll", c.setup);
    EXPECT_EQ(runRoad(), BootOutcome::kSavePathFailed) << c.what;
    EXPECT_EQ(messages(), std::vector<std::string>{kSavePathError}) << c.what;
    EXPECT_EQ(events, (std::vector<std::string>{"close", "box"})) << c.what;
    EXPECT_TRUE(processes.started.empty()) << c.what;
  }
  // Not a database at all.
  TearDown();
  SetUp();
  writeBytes(shop() / "Velmora.dll", std::string(4096, 'x'));
  EXPECT_EQ(runRoad(), BootOutcome::kSavePathFailed);
  EXPECT_EQ(messages(), std::vector<std::string>{kSavePathError});
}

TEST_F(RoadTest, RuntimeThatCannotStart) {
  processes.onStart = [](const std::string&) -> uint32_t {
    throw plat::PlatformError(plat::kErrFileNotFound, "File not found");
  };
  EXPECT_EQ(runRoad(), BootOutcome::kFailed);
  EXPECT_EQ(messages(), std::vector<std::string>{kBootProError});
  EXPECT_EQ(ui.beeps, 0);

  processes.onStart = [](const std::string&) { return 0u; };
  EXPECT_EQ(runRoad(), BootOutcome::kFailed);
  EXPECT_EQ(ui.beeps, 1);
  EXPECT_EQ(ui.shown.size(), 2u);
}

TEST_F(RoadTest, RegisterComponentUsesTheProgramFoldersTool) {
  RegisterComponent(*launcher, "D:\\Shop\\DAO360.DLL");
  Launcher atRoot(services(), "D:\\");
  RegisterComponent(atRoot, atRoot.AppDir + "\\" + "DAO360.DLL");
  Launcher spaced(services(), "D:\\My Shop");
  RegisterComponent(spaced, spaced.AppDir + "\\DAO360.DLL");
  ASSERT_EQ(processes.started.size(), 3u);
  EXPECT_EQ(processes.started[0].commandLine, "D:\\Shop\\regsvr32.exe /s D:\\Shop\\DAO360.DLL");
  EXPECT_EQ(processes.started[0].style, plat::WindowStyle::kNormalFocus);
  EXPECT_EQ(processes.started[1].commandLine, "D:\\regsvr32.exe /s D:\\\\DAO360.DLL");
  EXPECT_EQ(processes.started[2].commandLine,
            "\"D:\\My Shop\\regsvr32.exe\" /s \"D:\\My Shop\\DAO360.DLL\"");

  processes.onStart = [](const std::string&) -> uint32_t {
    throw plat::PlatformError(plat::kErrFileNotFound, "File not found");
  };
  EXPECT_THROW(RegisterComponent(*launcher, "D:\\Shop\\DAO360.DLL"), plat::PlatformError);
}

TEST_F(RoadTest, ClearingNeverFollowsALinkOutOfTheTempFolder) {
  writeBytes(root / "precious" / "ledger.mdb", "keep me");
  fs::create_directories(temp());
  fs::create_directory_symlink(root / "precious", temp() / "link");
  fs::create_symlink(root / "precious" / "ledger.mdb", temp() / "filelink");
  ::chmod((root / "precious" / "ledger.mdb").c_str(), 0444);
  ClearTempFolder(*launcher);
  EXPECT_FALSE(fs::exists(temp()));
  EXPECT_EQ(readBytes(root / "precious" / "ledger.mdb"), "keep me");
  EXPECT_EQ(fs::status(root / "precious" / "ledger.mdb").permissions() & fs::perms::owner_write,
            fs::perms::none);
}

TEST_F(RoadTest, TempFolderThatIsALinkIsReplacedNeverFollowed) {
  const fs::path outside = root / "elsewhere";
  writeBytes(outside / "ledger.mdb", "keep me");
  writeBytes(outside / "sub" / "notes.txt", "and me");
  fileSystem->setAttributes(outside.string(), plat::attr::kHidden);
  fs::create_directory_symlink(outside, temp());

  ASSERT_EQ(runRoad(), BootOutcome::kStarted);
  EXPECT_FALSE(fs::is_symlink(temp()));
  EXPECT_TRUE(fs::is_directory(temp()));
  EXPECT_TRUE(fs::exists(workDb()));
  EXPECT_EQ(readBytes(outside / "ledger.mdb"), "keep me");
  EXPECT_EQ(readBytes(outside / "sub" / "notes.txt"), "and me");
  EXPECT_EQ(fileSystem->getAttributes(outside.string()),
            plat::attr::kDirectory | plat::attr::kHidden);
  EXPECT_FALSE(fs::exists(outside / "110130.BAR"));
}

TEST_F(RoadTest, SmallServicesSwallowTheirErrors) {
  ClearTempFolder(*launcher);  // no temp folder yet: nothing happens
  SetAttributesIfPresent(*launcher, "D:\\Shop\\nothing-here", 7);
  EXPECT_EQ(fileSystem->getAttributes("D:\\Shop\\nothing-here"), plat::attr::kInvalid);

  const std::string key = "Software\\Microsoft\\Office\\11.0\\Access\\Security";
  PutRegValue(*launcher, plat::RegRoot::kCurrentUser, key, "Level", 1, 4);
  EXPECT_FALSE(registry.getDword(plat::RegRoot::kCurrentUser, key, "Level"));
  EnsureRegKey(*launcher, plat::RegRoot::kCurrentUser, key);
  PutRegValue(*launcher, plat::RegRoot::kCurrentUser, key, "Level", 1, 4);
  EXPECT_EQ(registry.getDword(plat::RegRoot::kCurrentUser, key, "Level"), 1u);
  EXPECT_TRUE(ui.shown.empty());
}

}  // namespace
}  // namespace launcher
