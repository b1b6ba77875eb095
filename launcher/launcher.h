#pragma once
// The launcher's state and the services it works through. One Launcher lives
// for one launcher run, on the window's thread. The procedures of the start-up
// road are free functions over it (road.h, runtime_check.h), so that tests
// drive them with fakes and the Windows program with the real services.
#include <functional>
#include <memory>
#include <string>

#include "db/database.h"
#include "platform/clock.h"
#include "platform/filesystem.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/ui.h"

namespace launcher {

struct Services {
  plat::FileSystem& fs;
  plat::Registry& registry;
  plat::Processes& processes;
  plat::Ui& ui;
  plat::Clock& clock;
  // Opens a database file by name (no connect string). The launcher opens
  // only the day's working copy, which every start makes anew from the
  // application database: its commit need not wait for the disk.
  std::function<std::unique_ptr<db::Database>(const std::string&)> openDatabase =
      [](const std::string& path) { return db::openDatabase(path, "", db::Durability::kScratch); };
  // Closes (hides and destroys) the launcher window; a no-op without one.
  std::function<void()> closeWindow = [] {};
};

class Launcher {
 public:
  Launcher(Services services, std::string appDir)
      : svc(std::move(services)), AppDir(std::move(appDir)) {}

  Services svc;
  const std::string AppDir;  // program folder, no trailing separator except at a root
  std::string DataPath;      // data folder, from the settings file
  std::string AccessRoot;    // runtime install folder, with its trailing separator
  std::string SysDir;        // Windows system directory
};

// Titles and texts the launcher shows.
inline constexpr const char* kTitle = "提示";

}  // namespace launcher
