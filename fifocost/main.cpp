// Tallyrun: costs the year ledger named by the application database beside
// the program, then ends. It shows nothing except a failure's description.
#include <exception>
#include <string>

#include "fifocost/appdb.h"
#include "fifocost/lpart.h"
#include "platform/ui.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/filesystem.h"
#else
#include <filesystem>
#endif

namespace {

const char* const kTitle = "Tallyrun";

std::string programFolder() {
#ifdef _WIN32
  return plat::makeNativeFileSystem()->programFolder();
#else
  const std::u8string exe =
      std::filesystem::read_symlink("/proc/self/exe").parent_path().u8string();
  return std::string(exe.begin(), exe.end());
#endif
}

int run() {
  auto ui = plat::makeNativeUi();
  try {
#ifdef _WIN32
    // Windows finds the file whatever the letter case of its name.
    const std::string appDb = programFolder() + "\\" + fifocost::kAppDatabaseName;
#else
    const std::string appDb = fifocost::findBesideProgram(programFolder());
#endif
    fifocost::Services services;
    services.pumpEvents = [&ui] { ui->pumpEvents(); };
    fifocost::LPart(appDb, services);
    return 0;
  } catch (const std::exception& e) {
    ui->messageBox(e.what(), plat::mb::kOk, kTitle);
    return 1;
  }
}

}  // namespace

#ifdef _WIN32
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  return run();
}
#else
int main() {
  return run();
}
#endif
