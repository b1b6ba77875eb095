#pragma once
// In-memory file system and processes for the start-up tests (the other
// stand-ins are shared with the road's tests in launcher/testing/fakes.h).
// Paths are compared without case, as on the target platform; every change
// to files, registry and processes is logged so a test can assert that
// nothing was touched.
#include <algorithm>
#include <cctype>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "launcher/launcher.h"
#include "launcher/testing/fakes.h"
#include "platform/error.h"

namespace launcher::testing {

inline std::string parentOf(const std::string& path) {
  const auto cut = path.find_last_of('\\');
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

class MemFs : public plat::FileSystem {
 public:
  bool namesAreCaseSensitive() override { return false; }  // keys are lower case
  std::map<std::string, std::string> files;                // lower-case path -> content
  std::map<std::string, uint32_t> attrs;                   // lower-case path -> attributes
  std::set<std::string> folders;                           // lower-case paths; "c:" is a drive root
  std::vector<std::string> changes;
  std::string sysDir = "C:\\WINDOWS\\system32";
  std::string progDir;

  MemFs() {
    addFolder("C:");
    addFolder("C:\\WINDOWS");
    addFolder(sysDir);
  }
  void addFolder(const std::string& p) { folders.insert(lower(p)); }
  void addFile(const std::string& p, const std::string& content) { files[lower(p)] = content; }
  bool hasFile(const std::string& p) const { return files.count(lower(p)) > 0; }

  bool fileExists(const std::string& path) override {
    const std::string k = lower(path);
    if (!files.count(k)) return false;
    const auto a = attrs.count(k) ? attrs.at(k) : 0u;
    return (a & (plat::attr::kHidden | plat::attr::kSystem)) == 0;
  }
  void copyFile(const std::string& from, const std::string& to) override {
    if (!files.count(lower(from)))
      throw plat::PlatformError(plat::kErrFileNotFound, "File not found");
    if (!folders.count(lower(parentOf(to))))
      throw plat::PlatformError(plat::kErrPathNotFound, "Path not found");
    files[lower(to)] = files[lower(from)];
    changes.push_back("copy " + from + " -> " + to);
  }
  void deleteFile(const std::string& path) override {
    if (!files.erase(lower(path)))
      throw plat::PlatformError(plat::kErrFileNotFound, "File not found");
    attrs.erase(lower(path));
    changes.push_back("delete " + path);
  }
  void makeFolder(const std::string& path) override {
    if (folders.count(lower(path)))
      throw plat::PlatformError(plat::kErrPathFileAccess, "Path/File access error");
    if (!folders.count(lower(parentOf(path))))
      throw plat::PlatformError(plat::kErrPathNotFound, "Path not found");
    folders.insert(lower(path));
    changes.push_back("mkdir " + path);
  }
  void removeFolder(const std::string& path) override {
    const std::string k = lower(path);
    if (!folders.count(k)) throw plat::PlatformError(plat::kErrPathNotFound, "Path not found");
    for (const auto& [f, c] : files)
      if (parentOf(f) == k)
        throw plat::PlatformError(plat::kErrPathFileAccess, "Path/File access error");
    folders.erase(k);
    changes.push_back("rmdir " + path);
  }
  class Listing : public plat::DirListing {
   public:
    explicit Listing(std::vector<std::string> names) : names_(std::move(names)) {}
    std::string next() override { return i_ < names_.size() ? names_[i_++] : std::string(); }

   private:
    std::vector<std::string> names_;
    size_t i_ = 0;
  };
  std::unique_ptr<plat::DirListing> list(const std::string& folder, uint32_t) override {
    std::string k = lower(folder);
    if (!k.empty() && k.back() == '\\') k.pop_back();
    if (!folders.count(k)) throw plat::PlatformError(plat::kErrPathNotFound, "Path not found");
    std::vector<std::string> names{".", ".."};
    for (const auto& [f, c] : files)
      if (parentOf(f) == k) names.push_back(f.substr(k.size() + 1));
    for (const auto& d : folders)
      if (parentOf(d) == k) names.push_back(d.substr(k.size() + 1));
    return std::make_unique<Listing>(names);
  }
  uint32_t getAttributes(const std::string& path) override {
    const std::string k = lower(path);
    const uint32_t a = attrs.count(k) ? attrs.at(k) : 0u;
    if (folders.count(k)) return a | plat::attr::kDirectory;
    if (files.count(k)) return a;
    return plat::attr::kInvalid;
  }
  void setAttributes(const std::string& path, uint32_t a) override {
    if (getAttributes(path) == plat::attr::kInvalid)
      throw plat::PlatformError(plat::kErrFileNotFound, "File not found");
    attrs[lower(path)] = a & ~plat::attr::kDirectory;
    changes.push_back("attrib " + path + " " + std::to_string(a));
  }
  bool isLink(const std::string&) override { return false; }
  void removeLink(const std::string&) override {
    throw plat::PlatformError(plat::kErrPathFileAccess, "Path/File access error");
  }
  std::vector<std::string> readTextLines(const std::string& path) override {
    const std::string k = lower(path);
    if (!files.count(k)) throw plat::PlatformError(plat::kErrFileNotFound, "File not found");
    std::vector<std::string> lines;
    std::string text = files[k], line;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\r') {
        lines.push_back(line);
        line.clear();
        if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      } else {
        line.push_back(text[i]);
      }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
  }
  void writeFile(const std::string& path, const std::string& bytes) override {
    files[lower(path)] = bytes;
    changes.push_back("write " + path);
  }
  std::string readFile(const std::string& path) override {
    if (!files.count(lower(path)))
      throw plat::PlatformError(plat::kErrFileNotFound, "File not found");
    return files[lower(path)];
  }
  std::string systemDirectory() override { return sysDir; }
  std::string programFolder() override { return progDir; }
};

// Starts only programs whose file is in the MemFs.
class MemProcesses : public plat::Processes {
 public:
  explicit MemProcesses(MemFs& fs) : fs_(fs) {}
  struct Start {
    std::string commandLine;
    plat::WindowStyle style;
  };
  std::vector<Start> started;
  bool previous = false;
  uint32_t nextId = 100;

  uint32_t start(const std::string& commandLine, plat::WindowStyle style) override {
    std::string program;
    if (!commandLine.empty() && commandLine[0] == '"') {
      program = commandLine.substr(1, commandLine.find('"', 1) - 1);
    } else {
      program = commandLine.substr(0, commandLine.find(' '));
    }
    if (!fs_.hasFile(program)) throw plat::PlatformError(plat::kErrFileNotFound, "File not found");
    started.push_back({commandLine, style});
    return nextId++;
  }
  bool previousInstanceRunning() override { return previous; }

 private:
  MemFs& fs_;
};

}  // namespace launcher::testing
