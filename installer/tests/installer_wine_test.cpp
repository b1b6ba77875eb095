// The kit's installer package under Wine's msiexec: install into a chosen
// folder, the control registered by the package, the installed launcher at
// work, an upgrade that keeps the shop's settings, and a clean removal. And
// the version resources and manifests of the built files, read through the
// version API.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/wine/harness.h"

namespace winetest {
namespace {

constexpr milliseconds kWait{60000};
constexpr milliseconds kMsiWait{300000};
const char* const kPrograms[] = {"Orvane.exe", "Lumvex.ocx", "Novaro.exe", "Rundrel.exe",
                                 "Tallyrun.exe"};
const std::string kClsidKey = R"(HKCR\CLSID\{89168053-A77C-471F-8FDC-E9E04784D4B1})";
const std::string kProgIdKey = R"(HKCR\Lumvex.bkDLControl)";
const std::string kTypeLibKey = R"(HKCR\TypeLib\{C8515966-EF37-46BC-9ECA-50174F0FC111})";
const std::string kKitKey = R"(HKLM\Software\ShopKit)";
const std::string kUninstallKey = R"(HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\)";
const std::string kOfficeKey = R"(HKLM\Software\Microsoft\Office\)";
const std::string kRuntimeKey = kOfficeKey + R"(11.0\Access\InstallRoot)";

// A registry value's text, empty when it is not there.
std::string regText(const std::string& key, const std::string& name = "") {
  const auto v = regQuery(key, name);
  return v ? v->data : std::string();
}

// "1.2.3" -> "1.2.4": the next kit, for the upgrade.
std::string nextVersion(const std::string& version) {
  const size_t dot = version.rfind('.');
  return version.substr(0, dot + 1) + std::to_string(std::stoi(version.substr(dot + 1)) + 1);
}

std::string shell(const std::string& command) {
  std::string out;
  if (FILE* p = popen((command + " 2>&1").c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    if (pclose(p) != 0) ADD_FAILURE() << command << "\n" << out;
  }
  return out;
}

std::string quoted(const fs::path& p) {
  return "'" + p.string() + "'";
}

// Builds the x64 package of `version` from the programs of the Windows build.
fs::path makePackage(const std::string& version) {
  const fs::path out = env().state / "packages" / version;
  const fs::path script =
      fs::path(std::getenv("KIT_SOURCE_DIR")) / "installer" / "make_packages.sh";
  shell(quoted(script) + " " + quoted(env().winBin) + " x64 " + version + " " + quoted(out));
  return out / ("ShopKit-" + version + "-x64.msi");
}

std::string productCode(const fs::path& msi) {
  std::istringstream table(shell("msiinfo export " + quoted(msi) + " Property"));
  for (std::string line; std::getline(table, line);)
    if (line.rfind("ProductCode\t", 0) == 0) return line.substr(12, 38);
  return {};
}

// A Start-menu entry: in the common menu on Windows; Wine's installer puts
// it in the user's.
bool menuEntry(const std::string& name) {
  for (const char* root : {"ProgramData", "users"}) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(driveC() / root, ec), end; it != end; it.increment(ec))
      if (it->path().filename() == name &&
          it->path().parent_path().filename() == "Shop desktop kit")
        return true;
  }
  return false;
}

class InstallerWine : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(dir);
    forgetRuntimes();
  }
  void TearDown() override { forgetRuntimes(); }
  // Other tests of the run may leave runtimes registered in the prefix.
  static void forgetRuntimes() {
    for (const char* v : {"9.0", "10.0", "11.0"}) regDeleteKey(kOfficeKey + v, RegView::k32);
  }

  RunResult msiexec(const std::vector<std::string>& args, const std::string& logName) {
    std::vector<std::string> command{"msiexec"};
    command.insert(command.end(), args.begin(), args.end());
    const fs::path log = env().artifacts / logName;
    fs::create_directories(env().artifacts);
    command.insert(command.end(), {"/qn", "/l*v", toWindowsPath(log)});
    RunResult r = run(command, kMsiWait);
    EXPECT_EQ(r.exitCode, 0) << "see " << log << "\n" << r.err;
    return r;
  }

  void expectProgramsAsBuilt() {
    for (const char* p : kPrograms) {
      ASSERT_TRUE(fs::exists(dir / p)) << p;
      EXPECT_EQ(readBytes(dir / p), readBytes(env().winBin / p)) << p;
    }
  }

  // The installed launcher with the runtime stand-in and the files the kit
  // does not ship.
  void runInstalledLauncher(const ProgramFolder& office) {
    fs::copy_file(env().winBin / "recorder.exe", dir / "regsvr32.exe");
    for (const char* f : {"DAO360.DLL", "system.mdw", "S.cpl"})
      std::ofstream(dir / f) << "stand-in";
    makeApplicationDatabase(dir / "Velmora.dll");
    office.copyBinary("recorder.exe", "Msaccess.exe");
    regAdd(kRuntimeKey, "Path", "REG_SZ", office.winPath() + "\\", RegView::k32);

    WineProcess launcher =
        WineProcess::start({(dir / "Orvane.exe").string()}, StartOptions{.cwd = dir});
    EXPECT_EQ(launcher.wait(kWait), 0) << launcher.err();
    const fs::path log = office.file("Msaccess.exe.log");
    waitUntil([&] { return !readRecorderLog(log).empty(); }, kWait);
    const auto starts = readRecorderLog(log);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].commandLine, office.winPath() + "\\Msaccess.exe /runtime \"" + kDir +
                                         "\\temp\\" + dayStamp() + ".BAR\"");
  }

  const std::string kDir = R"(C:\Shop Kit)";
  const fs::path dir = driveC() / "Shop Kit";
};

TEST_F(InstallerWine, InstallRunUpgradeAndRemove) {
  const fs::path first = makePackage(KIT_VERSION);
  const fs::path second = makePackage(nextVersion(KIT_VERSION));
  ASSERT_TRUE(fs::exists(first) && fs::exists(second));
  const std::string firstCode = productCode(first), secondCode = productCode(second);
  ASSERT_FALSE(firstCode.empty());
  ASSERT_NE(firstCode, secondCode);
  const fs::path sample =
      fs::path(std::getenv("KIT_SOURCE_DIR")) / "installer" / "sample" / "server.xml";

  // Installed into the folder asked for, with the control registered by the
  // package and the Start-menu entries.
  msiexec({"/i", toWindowsPath(first), "INSTALLDIR=" + kDir}, "installer_first.log");
  expectProgramsAsBuilt();
  EXPECT_EQ(readBytes(dir / "server.xml"), readBytes(sample));
  EXPECT_FALSE(fs::exists(driveC() / "ShopKit"));
  EXPECT_EQ(regText(kKitKey, "InstallDir"), kDir + "\\");
  EXPECT_EQ(regText(kClsidKey + R"(\InprocServer32)"), kDir + R"(\Lumvex.ocx)");
  EXPECT_EQ(regText(kClsidKey + R"(\InprocServer32)", "ThreadingModel"), "Apartment");
  EXPECT_TRUE(regKeyExists(kClsidKey + R"(\Control)"));
  EXPECT_EQ(regText(kProgIdKey + R"(\CLSID)"), "{89168053-A77C-471F-8FDC-E9E04784D4B1}");
  EXPECT_EQ(regText(kTypeLibKey + R"(\3.0\0\win64)"), kDir + R"(\Lumvex.ocx)");
  EXPECT_TRUE(menuEntry("Orvane.lnk"));
  EXPECT_TRUE(menuEntry("Novaro.lnk"));

  // A fresh process creates the control by its ProgID.
  {
    ProgramFolder host("host");
    host.copyBinary("lumvex_probe.exe");
    RunResult r =
        run({host.file("lumvex_probe.exe").string(), "defaults", host.winPath() + "\\probe.log"},
            kWait, StartOptions{.cwd = host.path()});
    EXPECT_EQ(r.exitCode, 0) << (host.exists("probe.log") ? host.read("probe.log") : r.err);
  }

  ProgramFolder office("office");
  runInstalledLauncher(office);

  // The next kit, installed over it without naming the folder: the shop's
  // settings stay, the programs are the new package's.
  const std::string settings = "\\\\server\\shop\r\nnet\r\nhttp://updates.example\r\n";
  { std::ofstream(dir / "server.xml", std::ios::binary) << settings; }
  std::ofstream(dir / "Orvane.exe", std::ios::binary | std::ios::trunc) << "damaged";
  msiexec({"/i", toWindowsPath(second)}, "installer_upgrade.log");
  expectProgramsAsBuilt();
  EXPECT_EQ(readBytes(dir / "server.xml"), settings);
  EXPECT_FALSE(fs::exists(driveC() / "ShopKit"));
  EXPECT_FALSE(regKeyExists(kUninstallKey + firstCode));
  EXPECT_TRUE(regKeyExists(kUninstallKey + secondCode));

  // Removal takes the programs, the registration and the menu entries; the
  // settings and the data stay.
  msiexec({"/x", secondCode}, "installer_remove.log");
  for (const char* p : kPrograms) EXPECT_FALSE(fs::exists(dir / p)) << p;
  EXPECT_EQ(readBytes(dir / "server.xml"), settings);
  EXPECT_TRUE(fs::exists(dir / "Velmora.dll"));
  EXPECT_TRUE(fs::exists(dir / "temp" / (dayStamp() + ".BMP")));
  EXPECT_FALSE(regKeyExists(kClsidKey));
  EXPECT_FALSE(regKeyExists(kProgIdKey));
  EXPECT_FALSE(regKeyExists(kTypeLibKey));
  EXPECT_FALSE(regQuery(kKitKey, "InstallDir"));
  EXPECT_FALSE(menuEntry("Orvane.lnk"));
  EXPECT_FALSE(regKeyExists(kUninstallKey + secondCode));
}

// What the version API reads from each built file.
TEST(InstallerWineVersions, EveryFileCarriesTheKitVersion) {
  const std::string version = std::string(KIT_VERSION) + ".0";
  ProgramFolder tool("verinfo");
  tool.copyBinary("verinfo.exe");
  for (const std::string name : kPrograms) {
    SCOPED_TRACE(name);
    RunResult r = run({tool.file("verinfo.exe").string(), toWindowsPath(env().winBin / name),
                       tool.winPath() + "\\" + name + ".txt"},
                      kWait);
    ASSERT_EQ(r.exitCode, 0) << tool.read(name + ".txt") << r.err;
    std::map<std::string, std::string> info;
    std::istringstream lines(tool.read(name + ".txt"));
    for (std::string line; std::getline(lines, line);)
      info[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    EXPECT_EQ(info["FixedFileVersion"], version);
    EXPECT_EQ(info["FixedProductVersion"], version);
    EXPECT_EQ(info["FileVersion"], version);
    EXPECT_EQ(info["ProductVersion"], version);
    EXPECT_EQ(info["ProductName"], KIT_PRODUCT_NAME);
    EXPECT_EQ(info["CompanyName"], KIT_COMPANY_NAME);
    EXPECT_EQ(info["OriginalFilename"], name);
    const bool program = name.ends_with(".exe");
    EXPECT_EQ(info["FileType"], program ? "1" : "2");  // VFT_APP, VFT_DLL
    EXPECT_EQ(info.count("OLESelfRegister"), program ? 0u : 1u);
    const std::string& manifest = info["Manifest"];
    if (!program) {
      EXPECT_EQ(manifest, "");
      continue;
    }
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
              std::string::npos);
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(manifest.find(">true</dpiAware>"), std::string::npos);
    EXPECT_EQ(manifest.find("activeCodePage"), std::string::npos);
  }
}

}  // namespace
}  // namespace winetest
