#pragma once
// The file system on POSIX, addressed with the Windows-style paths the kit
// composes.
//
// Path mapping: every "\" becomes "/". A drive path "X:\rest" (or "X:rest",
// "X:") maps to the drive's root folder from the table given to the
// constructor, letters matched without case; a drive missing from the table is
// "path not found". A path without a drive is used as it is, so POSIX paths
// work unchanged. File names stay case-sensitive, and a "\" inside a POSIX
// file name cannot be addressed.
//
// Attributes: read-only of a file is its write permission (set: all write
// bits cleared; cleared: the owner's write bit set). Hidden, system and
// archive, and read-only of a folder (which Windows keeps without protecting
// the folder's content), live in the extended attribute "user.kit.dosattr" as
// a decimal number. A file that never had attributes set answers archive, as a
// freshly written Windows file does. Read-only and hidden destinations are
// refused by copy, delete and write as Windows refuses them, whatever the
// caller's privileges. A symbolic link is a link (attr::kReparsePoint).
// On a file system without user extended attributes, setting hidden, system,
// archive or a folder's read-only fails with a path/file access error.
#include <map>
#include <string>

#include "platform/filesystem.h"

namespace plat {

class PosixPathMap {
 public:
  using DriveRoots = std::map<char, std::string>;  // 'C' -> "/srv/c"
  explicit PosixPathMap(DriveRoots roots = {});
  // The POSIX path for a kit path; throws PlatformError kErrPathNotFound for a
  // drive that is not in the table.
  std::string toNative(const std::string& path) const;

 private:
  DriveRoots roots_;
};

inline constexpr const char* kDosAttrName = "user.kit.dosattr";

class PosixFileSystem : public FileSystem {
 public:
  PosixFileSystem(PosixPathMap paths, std::string systemDirectory, std::string programFolder);

  bool fileExists(const std::string& path) override;
  void copyFile(const std::string& from, const std::string& to) override;
  void deleteFile(const std::string& path) override;
  void makeFolder(const std::string& path) override;
  void removeFolder(const std::string& path) override;
  std::unique_ptr<DirListing> list(const std::string& folder, uint32_t mask) override;
  uint32_t getAttributes(const std::string& path) override;
  void setAttributes(const std::string& path, uint32_t attributes) override;
  bool isLink(const std::string& path) override;
  void removeLink(const std::string& path) override;
  std::vector<std::string> readTextLines(const std::string& path) override;
  void writeFile(const std::string& path, const std::string& bytes) override;
  std::string readFile(const std::string& path) override;
  std::string systemDirectory() override { return systemDirectory_; }
  std::string programFolder() override { return programFolder_; }
  bool namesAreCaseSensitive() override { return true; }

  const PosixPathMap& paths() const { return paths_; }

 private:
  PosixPathMap paths_;
  std::string systemDirectory_;
  std::string programFolder_;
};

// makeNativeFileSystem() on POSIX: no drive letters, an empty system
// directory, and the folder of /proc/self/exe as the program folder.

}  // namespace plat
