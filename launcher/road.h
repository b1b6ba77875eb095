#pragma once
// The launch road: settings file, working files and the start of the
// database runtime, and the small registration and clean-up services the
// runtime check uses. Window thread only.
#include <cstdint>
#include <string>

#include "launcher/launcher.h"

namespace launcher {

// How BootPro ended; the launcher ends in every case.
enum class BootOutcome { kStarted, kFailed, kSavePathFailed };

inline constexpr const char* kSavePathError =
    "系统启动失败！原因SavePath.err(可能网络有问题)，重试本操作。";
inline constexpr const char* kBootProError =
    "系统启动失败！请查明原因BootPro.err(可能网络有问题)，然后重试本操作。";

// Reads line 1 of AppDir\server.xml into DataPath ("This locality moves"
// standing for AppDir). Throws on a missing/unreadable file or too many lines.
void ReadSettingsFile(Launcher& l);
void SysPath(Launcher& l);
// Writes yearnew, appath and path into usysbookind of the working database.
// On failure closes the window, shows the SavePath.err message and returns false.
bool SavePath(Launcher& l, const std::string& workDb);
// Never reports: stops silently at the first failing step.
void PrepareWorkFiles(Launcher& l);
BootOutcome BootPro(Launcher& l);

// Starts AppDir's regsvr32.exe on `file` without waiting; start errors go to the caller.
void RegisterComponent(Launcher& l, const std::string& file);
void ClearTempFolder(Launcher& l);
// Deletes the folder and everything in it; throws at the first entry that
// cannot be removed. Directory links are removed, never followed.
void RecurseTree(Launcher& l, const std::string& path);
void SetAttributesIfPresent(Launcher& l, const std::string& path, uint32_t mask);
void EnsureRegKey(Launcher& l, plat::RegRoot root, const std::string& subkey);
void PutRegValue(Launcher& l, plat::RegRoot root, const std::string& subkey,
                 const std::string& name, uint32_t value, uint32_t type);

// "yymmdd" of today, and the day's working file names.
std::string DayStamp(Launcher& l);
std::string WorkDbPath(Launcher& l, const std::string& dayStamp);

}  // namespace launcher
