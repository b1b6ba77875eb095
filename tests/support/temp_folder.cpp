#include "tests/support/temp_folder.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdlib>
#include <stdexcept>

#include "tests/support/files.h"

namespace testsupport {

void removeTree(const fs::path& folder) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink()) ::chmod(it->path().c_str(), 0755);
  }
  fs::remove_all(folder, ec);
}

TempFolder::TempFolder(const std::string& prefix) {
  std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a folder like " + pattern);
  path_ = pattern;
}

TempFolder::~TempFolder() {
  const char* keep = std::getenv("KIT_KEEP_TEMP");
  if (keep && std::string(keep) == "1") return;
  removeTree(path_);
}

void TempFolder::write(const std::string& relative, const std::string& bytes) const {
  writeBytes(file(relative), bytes);
}

std::string TempFolder::read(const std::string& relative) const {
  return readBytes(file(relative));
}

}  // namespace testsupport
