#include "launcher/settings_file.h"

#include "platform/error.h"

namespace launcher {
namespace {

constexpr size_t kMaxSettingsLines = 32767;

}  // namespace

std::vector<std::string> ReadSettingsLines(plat::FileSystem& fs, const std::string& programFolder) {
  std::vector<std::string> lines = fs.readTextLines(programFolder + "\\server.xml");
  if (lines.size() > kMaxSettingsLines) throw plat::errorOf(plat::kErrOverflow);
  return lines;
}

std::string ResolveDataPath(const std::string& line1, const std::string& programFolder) {
  return line1 == kLocalFolderMarker ? programFolder : line1;
}

}  // namespace launcher
