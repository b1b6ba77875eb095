#pragma once
// The database runtime check that opens the start-up sequence: single
// instance, DAO registration, the runtime's install folder, its macro
// security level, then the day's working files. Window thread only.
#include <string>

#include "launcher/launcher.h"

namespace launcher {

inline constexpr const char* kDaoLibrary = "DAO360.DLL";
inline constexpr const char* kRuntimeDownloader = "Rundrel.exe";
inline constexpr const char* kRuntimeExe = "Msaccess.exe";
// Office versions in the order they are tried; the first found wins.
inline constexpr const char* kOfficeVersions[] = {"10.0", "9.0", "11.0"};
inline constexpr const char* kSecurityKey = "Software\\Microsoft\\Office\\11.0\\Access\\Security";
inline constexpr size_t kInstallRootBuffer = 256;

// "\n" is the single LF character; the pieces are joined exactly as shown.
// clang-format off
inline const std::string kRuntimeMissingPrompt =
    std::string("系统启动失败！系统发现数据库组件没有安装或安装不完整。") + "\n" + "\n" +
    "注意：本系统与Office" + "高度集成，其中Excel,Word和Access三个组件要求为必安装项" + "\n" +
    "      否则本系统将无法正常运行。" + "你要从我们网站下载安装ACCESS数据库运行组件吗？";
inline const std::string kRuntimeDamagedMessage =
    std::string("系统启动失败！系统检测到原有数据库组件已被人为更改或删除，请首先将其修复后再启动本软件。") +
    "\n" + "\n" + "注：本系统与Office" +
    "高度集成，其中Microsoft Excel、Word和Access组件为本系统所要求的必选支持项目。";
// clang-format on
inline constexpr const char* kCheckRuntimeError =
    "系统启动失败！请查明原因(可能网络有问题)，然后重试本操作。";

// The install folder value of one Office version as it lands in a buffer of
// 256 spaces: the value with its NUL over the first bytes when it was read,
// the spaces untouched when the key or value is missing or too long.
std::string ReadInstallRoot(Launcher& l, const std::string& version);

// Returns true when the start may go on; the working files are then
// prepared. On false the user has been told (a second launcher stays
// silent) and the window is closed; the caller ends the launcher.
bool CheckRuntime(Launcher& l);

}  // namespace launcher
