#include "launcher/road.h"

#include <exception>

#include "launcher/settings_file.h"
#include "platform/error.h"

namespace launcher {
namespace {

constexpr uint32_t kRegDword = 4;

// The copy writes the working database as ".bar" and every later step opens
// ".BAR". Where names ignore case both reach one file and the copy keeps the
// lower-case name the program folder has always shown; a case-sensitive file
// system uses one form for both.
const char* workDbCopyExtension(plat::FileSystem& fs) {
  return fs.namesAreCaseSensitive() ? ".BAR" : ".bar";
}

BootOutcome bootFailure(Launcher& l) {
  l.svc.closeWindow();
  l.svc.ui.messageBox(kBootProError, plat::mb::kExclamation, kTitle);
  return BootOutcome::kFailed;
}

}  // namespace

std::string DayStamp(Launcher& l) {
  return plat::formatYymmdd(l.svc.clock.today());
}

std::string WorkDbPath(Launcher& l, const std::string& dayStamp) {
  return l.AppDir + "\\temp\\" + dayStamp + ".BAR";
}

void ReadSettingsFile(Launcher& l) {
  const std::vector<std::string> lines = ReadSettingsLines(l.svc.fs, l.AppDir);
  l.DataPath = ResolveDataPath(lines.empty() ? std::string() : lines.front(), l.AppDir);
}

void SysPath(Launcher& l) {
  l.SysDir = l.svc.fs.systemDirectory();
}

bool SavePath(Launcher& l, const std::string& workDb) {
  try {
    // The database object closes the file when it goes out of scope, also on
    // failure, so the runtime never meets a database this launcher holds.
    std::unique_ptr<db::Database> database = l.svc.openDatabase(workDb);
    std::unique_ptr<db::Recordset> rs = database->openRecordset("usysbookind");
    rs->edit();
    rs->setField("yearnew", db::Value(plat::formatIsoDate(l.svc.clock.today())));
    rs->setField("appath", db::Value(l.DataPath));
    rs->setField("path", db::Value(l.AppDir));
    rs->update();
    rs->close();
    database->close();
    return true;
  } catch (const std::exception&) {
    l.svc.closeWindow();
    l.svc.ui.messageBox(kSavePathError, plat::mb::kExclamation, kTitle);
    return false;
  }
}

void PrepareWorkFiles(Launcher& l) {
  plat::FileSystem& fs = l.svc.fs;
  try {
    const std::string stamp = DayStamp(l);
    ReadSettingsFile(l);
    SysPath(l);
    ClearTempFolder(l);
    const std::string temp = l.AppDir + "\\temp";
    fs.makeFolder(temp);
    SetAttributesIfPresent(l, temp,
                           plat::attr::kReadOnly | plat::attr::kHidden | plat::attr::kSystem);
    const std::string workgroup = l.AppDir + "\\system.mdw";
    if (!fs.fileExists(l.SysDir + "\\system.mdw"))
      fs.copyFile(workgroup, l.SysDir + "\\system.mdw");
    if (!fs.fileExists("C:\\system.mdw")) fs.copyFile(workgroup, "c:\\system.mdw");
    fs.copyFile(l.AppDir + "\\S.cpl", temp + "\\" + stamp + ".BMP");
    fs.copyFile(l.DataPath + "\\Velmora.dll", temp + "\\" + stamp + workDbCopyExtension(fs));
  } catch (const std::exception&) {
    // Whatever was done stands; BootPro reports a missing working copy.
  }
}

BootOutcome BootPro(Launcher& l) {
  try {
    const std::string workDb = WorkDbPath(l, DayStamp(l));
    if (!l.svc.fs.fileExists(workDb)) return bootFailure(l);
    if (!SavePath(l, workDb)) return BootOutcome::kSavePathFailed;
    // Paths with blanks are quoted: unquoted, the runtime would receive a cut
    // database name and the program path would be open to the search for
    // "C:\Program.exe" and the like. Paths without blanks stay as composed.
    const std::string commandLine = plat::quoteArgIfNeeded(l.AccessRoot + "Msaccess.exe") +
                                    " /runtime " + plat::quoteArgIfNeeded(workDb);
    if (l.svc.processes.start(commandLine, plat::WindowStyle::kMaximizedFocus) == 0) {
      l.svc.ui.beep();
      return bootFailure(l);
    }
    return BootOutcome::kStarted;
  } catch (const std::exception&) {
    return bootFailure(l);
  }
}

void RegisterComponent(Launcher& l, const std::string& file) {
  std::string folder = l.AppDir;
  if (folder.empty() || folder.back() != '\\') folder += '\\';
  l.svc.processes.start(
      plat::quoteArgIfNeeded(folder + "regsvr32.exe") + " /s " + plat::quoteArgIfNeeded(file),
      plat::WindowStyle::kNormalFocus);
}

void ClearTempFolder(Launcher& l) {
  const std::string path = l.AppDir + "\\temp";
  try {
    // A link standing as the temp folder goes by itself: clearing through it
    // would empty (and change the attributes of) a folder outside the program
    // folder. The caller then makes a real folder in its place.
    if (l.svc.fs.isLink(path)) {
      l.svc.fs.removeLink(path);
      return;
    }
    l.svc.fs.setAttributes(path, plat::attr::kNormal);
    RecurseTree(l, path);
  } catch (const std::exception&) {
    // A missing folder or a file held open ends the clearing quietly.
  }
}

void RecurseTree(Launcher& l, const std::string& path) {
  plat::FileSystem& fs = l.svc.fs;
  const std::string prefix = path + "\\";
  std::unique_ptr<plat::DirListing> listing = fs.list(prefix, plat::attr::kAllEntries);
  std::string name = listing->next();
  while (!name.empty()) {
    const std::string entry = prefix + name;
    if (name == "." || name == "..") {
      name = listing->next();
    } else if (fs.isLink(entry)) {
      // A link is removed as itself; following it would delete (or change the
      // attributes of) files outside the temp folder.
      fs.removeLink(entry);
      name = listing->next();
    } else if (const uint32_t a = fs.getAttributes(entry);
               a != plat::attr::kInvalid && (a & plat::attr::kDirectory)) {
      RecurseTree(l, entry);
      listing = fs.list(prefix, plat::attr::kAllEntries);
      name = listing->next();
    } else {
      fs.setAttributes(entry, plat::attr::kNormal);
      fs.deleteFile(entry);
      name = listing->next();
    }
    l.svc.ui.pumpEvents();
  }
  fs.setAttributes(path, plat::attr::kNormal);
  fs.removeFolder(path);
}

void SetAttributesIfPresent(Launcher& l, const std::string& path, uint32_t mask) {
  try {
    if (l.svc.fs.getAttributes(path) == plat::attr::kInvalid) return;
    l.svc.fs.setAttributes(path, mask);
  } catch (const std::exception&) {
  }
}

void EnsureRegKey(Launcher& l, plat::RegRoot root, const std::string& subkey) {
  try {
    l.svc.registry.createKey(root, subkey);
  } catch (const std::exception&) {
  }
}

void PutRegValue(Launcher& l, plat::RegRoot root, const std::string& subkey,
                 const std::string& name, uint32_t value, uint32_t type) {
  if (type != kRegDword) return;  // the launcher writes no other type
  try {
    l.svc.registry.setDword(root, subkey, name, value);
  } catch (const std::exception&) {
  }
}

}  // namespace launcher
