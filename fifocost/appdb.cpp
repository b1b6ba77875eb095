#include "fifocost/appdb.h"

#include <filesystem>
#include <system_error>

namespace fifocost {
namespace {

namespace fs = std::filesystem;

bool equalIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

fs::path fromUtf8(const std::string& s) {
  return fs::path(std::u8string(s.begin(), s.end()));
}

std::string toUtf8(const fs::path& p) {
  const std::u8string u = p.u8string();
  return std::string(u.begin(), u.end());
}

}  // namespace

std::string findBesideProgram(const std::string& folder, const std::string& name) {
  const fs::path dir = fromUtf8(folder);
  const fs::path exact = dir / fromUtf8(name);
  std::error_code ec;
  if (fs::exists(exact, ec)) return toUtf8(exact);
  std::string best;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string entry = toUtf8(it->path().filename());
    if (equalIgnoringAsciiCase(entry, name) && (best.empty() || entry < best)) best = entry;
  }
  return toUtf8(best.empty() ? exact : dir / fromUtf8(best));
}

}  // namespace fifocost
