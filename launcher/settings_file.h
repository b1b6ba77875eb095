#pragma once
// The settings file server.xml of the program folder, read by the launcher
// and the updater: text lines in the ANSI code page, by position. Neither
// program writes it. Any thread; the file system object is the caller's.
#include <string>
#include <vector>

#include "platform/filesystem.h"

namespace launcher {

// Line 1 written exactly so stands for the program folder.
inline constexpr const char* kLocalFolderMarker = "This locality moves";

// Every line of `programFolder`\server.xml. Throws plat::PlatformError when
// the file is missing or unreadable, and the overflow error (6) for more than
// 32,767 lines: the programs count them in a 16-bit signed counter.
std::vector<std::string> ReadSettingsLines(plat::FileSystem& fs, const std::string& programFolder);

// Line 1 as a folder: the marker (exact, case-sensitive, untrimmed) becomes
// `programFolder`; any other text is kept unchanged.
std::string ResolveDataPath(const std::string& line1, const std::string& programFolder);

}  // namespace launcher
