// orvane_bench [folder] [megabytes] [rounds]
//
// Times the launcher's work after the splash animation (the runtime check
// with the day's working files, then the launch up to the runtime's start) on
// a prepared program folder whose application database has `megabytes` MB
// (default 50), against a plain copy of that database on the same disk. Each
// round times one plain copy and one start; the report gives the medians and
// their ratio. The folder (default: a fresh one under the current folder) is
// left in place for a look afterwards.
//
// The registration tool and the database runtime are stand-ins: copies of
// this program, which ends at once when started under another name.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "launcher/launcher.h"
#include "launcher/road.h"
#include "launcher/runtime_check.h"
#include "platform/ui.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include "platform/filesystem_posix.h"
#include "platform/process_posix.h"
#include "platform/registry_posix.h"
#include "platform/ui_posix.h"
#endif

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

fs::path selfPath() {
#ifdef _WIN32
  std::wstring buf(32768, L'\0');
  buf.resize(GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size())));
  return fs::path(buf);
#else
  return fs::read_symlink("/proc/self/exe");
#endif
}

// The application database: the settings table and filler rows up to the size.
void makeDatabase(const fs::path& file, int megabytes) {
  sqlite3* db = nullptr;
  if (sqlite3_open(file.string().c_str(), &db) != SQLITE_OK)
    throw std::runtime_error("cannot create " + file.string());
  const std::string sql =
      "PRAGMA page_size=4096; PRAGMA journal_mode=OFF; BEGIN;"
      "CREATE TABLE usysbookind (yearnew TEXT, appath TEXT, path TEXT, dbpath TEXT);"
      "INSERT INTO usysbookind VALUES ('2000-01-01', '', '', '');"
      "CREATE TABLE filler (id INTEGER PRIMARY KEY, data BLOB);"
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
      std::to_string(megabytes * 256) +
      ") INSERT INTO filler SELECT i, randomblob(4000) FROM n; COMMIT;";
  char* err = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    std::string msg = err ? err : "?";
    sqlite3_free(err);
    sqlite3_close(db);
    throw std::runtime_error("cannot fill the database: " + msg);
  }
  sqlite3_close(db);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double secondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// What a start needs in the program folder besides the database.
void prepareFolder(const fs::path& app, const fs::path& office, const fs::path& self) {
  fs::create_directories(app);
  fs::create_directories(office);
  fs::copy_file(self, app / "regsvr32.exe", fs::copy_options::overwrite_existing);
  fs::copy_file(self, office / "Msaccess.exe", fs::copy_options::overwrite_existing);
  auto write = [](const fs::path& p, const std::string& text) {
    FILE* f = std::fopen(p.string().c_str(), "wb");
    if (!f) throw std::runtime_error("cannot write " + p.string());
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  };
  write(app / "server.xml", "This locality moves\r\n");
  write(app / "DAO360.DLL", "dao");
  write(app / "system.mdw", "workgroup");
  write(app / "S.cpl", "picture");
}

int run(const fs::path& root, int megabytes, int rounds) {
  const fs::path app = root / "d" / "Shop";
  const fs::path office = root / "c" / "Office11";
  fs::create_directories(root / "c" / "WINDOWS" / "system32");
  prepareFolder(app, office, selfPath());
  std::cout << "making a " << megabytes << " MB application database in " << app.string()
            << std::endl;
  makeDatabase(app / "Velmora.dll", megabytes);

#ifdef _WIN32
  const std::string appDir = app.string();
  const std::string officeDir = office.string() + "\\";
  {
    HKEY key = nullptr;
    const std::wstring sub = L"Software\\Microsoft\\Office\\11.0\\Access\\InstallRoot";
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, sub.c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key, nullptr) != ERROR_SUCCESS)
      throw std::runtime_error("cannot write the runtime's install folder to the registry");
    const std::wstring value = fs::path(officeDir).wstring();
    RegSetValueExW(key, L"Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
  }
  auto fsys = plat::makeNativeFileSystem();
  auto registry = plat::makeNativeRegistry();
  auto processes = plat::makeNativeProcesses();
  auto ui = plat::makeNativeUi();
#else
  // The program folder is D:\Shop, the system folder and the runtime on C:.
  plat::PosixPathMap paths({{'C', (root / "c").string()}, {'D', (root / "d").string()}});
  const std::string appDir = "D:\\Shop";
  const std::string officeDir = "C:\\Office11\\";
  auto fsys = std::make_unique<plat::PosixFileSystem>(paths, "C:\\WINDOWS\\system32", appDir);
  auto registry = std::make_unique<plat::PosixRegistry>((root / "registry.reg").string());
  registry->setString(plat::RegRoot::kLocalMachine,
                      "Software\\Microsoft\\Office\\11.0\\Access\\InstallRoot", "Path", officeDir);
  auto processes =
      std::make_unique<plat::PosixProcesses>(paths, (app / "Orvane.exe").string(), root.string());
  auto ui = std::make_unique<plat::PosixUi>(std::cerr);
#endif
  auto clock = plat::makeNativeClock();

  const std::string db = appDir + "\\Velmora.dll";
  const std::string plain = appDir + "\\plain-copy.dll";
  fsys->copyFile(db, plain);  // brings the file into the cache for both
  fsys->deleteFile(plain);

  // The start makes two programs start (registration, runtime); what one
  // start costs on this system explains much of the difference.
  {
    const auto t0 = Clock::now();
    processes->start(officeDir + "Msaccess.exe", plat::WindowStyle::kHide);
    std::printf("starting one stand-in program: %.3f s\n", secondsSince(t0));
  }

  std::vector<double> copyTimes, startTimes, ratios;
  for (int r = 0; r < rounds; ++r) {
    auto t0 = Clock::now();
    fsys->copyFile(db, plain);
    copyTimes.push_back(secondsSince(t0));
    fsys->deleteFile(plain);

    launcher::Services svc{*fsys, *registry, *processes, *ui, *clock};
#ifndef _WIN32
    svc.openDatabase = [&paths](const std::string& path) {
      return db::openDatabase(paths.toNative(path), "", db::Durability::kScratch);
    };
#endif
    launcher::Launcher l(std::move(svc), appDir);
    t0 = Clock::now();
    const bool checked = launcher::CheckRuntime(l);
    const double checkTime = secondsSince(t0);
    const launcher::BootOutcome outcome =
        checked ? launcher::BootPro(l) : launcher::BootOutcome::kFailed;
    startTimes.push_back(secondsSince(t0));
    if (!checked || outcome != launcher::BootOutcome::kStarted) {
      std::cerr << "round " << r + 1 << ": the start did not reach the runtime\n";
      return 1;
    }
    ratios.push_back(startTimes.back() / copyTimes.back());
    std::printf(
        "round %d: copy %.3f s, start %.3f s (check and working files %.3f s), ratio %.2f\n", r + 1,
        copyTimes.back(), startTimes.back(), checkTime, ratios.back());
  }
  std::printf("median: copy %.3f s, start %.3f s, ratio %.2f (goal: at most 1.3)\n",
              median(copyTimes), median(startTimes), median(startTimes) / median(copyTimes));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Started as a stand-in (regsvr32.exe, Msaccess.exe): nothing to do.
  const std::string self = selfPath().stem().string();
  if (self == "regsvr32" || self == "Msaccess") return 0;
  try {
    const fs::path root = argc > 1 ? fs::absolute(argv[1])
                                   : fs::absolute("orvane-bench-" + std::to_string(
#ifdef _WIN32
                                                                        GetCurrentProcessId()
#else
                                                                        getpid()
#endif
                                                                            ));
    const int megabytes = argc > 2 ? std::atoi(argv[2]) : 50;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
    return run(root, std::max(megabytes, 1), std::max(rounds, 1));
  } catch (const std::exception& e) {
    std::cerr << "orvane_bench: " << e.what() << "\n";
    return 1;
  }
}
