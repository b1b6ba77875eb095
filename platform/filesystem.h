#pragma once
// File system services. Paths are UTF-8 and composed the Windows way, with
// "\" separators and drive letters; the POSIX implementation maps them onto
// its own tree (see PosixFileSystem). Every failing operation throws
// plat::PlatformError. Not thread-safe: call from the program's one thread.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace plat {

namespace attr {
inline constexpr uint32_t kNormal = 0;
inline constexpr uint32_t kReadOnly = 1;
inline constexpr uint32_t kHidden = 2;
inline constexpr uint32_t kSystem = 4;
inline constexpr uint32_t kVolume = 8;
inline constexpr uint32_t kDirectory = 16;
inline constexpr uint32_t kArchive = 32;
inline constexpr uint32_t kFileNormal = 128;       // what a file with no other attribute answers
inline constexpr uint32_t kReparsePoint = 1024;    // symbolic links and junctions
inline constexpr uint32_t kInvalid = 0xFFFFFFFFu;  // what asking a missing path answers
// A listing mask that lets every entry through (files, hidden, system, folders).
inline constexpr uint32_t kAllEntries = kReadOnly | kHidden | kSystem | kVolume | kDirectory;
}  // namespace attr

// A running directory listing: names only (no folder part), "." and ".."
// included for folders, an empty name at the end.
class DirListing {
 public:
  virtual ~DirListing() = default;
  virtual std::string next() = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The file-exists test with the normal attribute mask: true only for a
  // file that is neither hidden, system nor a folder.
  virtual bool fileExists(const std::string& path) = 0;
  // Copies, overwriting an existing destination (which must not be read-only).
  virtual void copyFile(const std::string& from, const std::string& to) = 0;
  virtual void deleteFile(const std::string& path) = 0;
  virtual void makeFolder(const std::string& path) = 0;
  virtual void removeFolder(const std::string& path) = 0;  // must be empty
  // Starts a listing. A path ending with "\" lists that folder's entries; any
  // other path names one entry (or a "*"/"?" pattern) in its parent folder, as
  // the Win32 directory search does. Entries are included when their hidden,
  // system and folder bits are all in `mask` (attr::kAllEntries: everything). A missing
  // folder gives an empty listing; an unreachable drive throws.
  virtual std::unique_ptr<DirListing> list(const std::string& folder, uint32_t mask) = 0;
  // attr::kInvalid when the path does not exist (never throws).
  virtual uint32_t getAttributes(const std::string& path) = 0;
  virtual void setAttributes(const std::string& path, uint32_t attributes) = 0;
  // True when the path is a symbolic link or junction (a directory link).
  virtual bool isLink(const std::string& path) = 0;
  // Removes a link itself, never what it points to.
  virtual void removeLink(const std::string& path) = 0;
  // Lines of a text file in the ANSI code page, decoded to UTF-8. A line ends
  // at CR LF or at a lone CR; a lone LF stays in the text. A last line without
  // an end counts as a line; an empty file has no lines.
  virtual std::vector<std::string> readTextLines(const std::string& path) = 0;
  // Writes bytes to a file, creating it when missing; an existing file is cut
  // to the new length.
  virtual void writeFile(const std::string& path, const std::string& bytes) = 0;
  virtual std::string readFile(const std::string& path) = 0;
  // The Windows system directory, without a trailing separator; empty when
  // the platform reports none.
  virtual std::string systemDirectory() = 0;
  // The folder that holds the running program, without a trailing separator
  // except at a drive root.
  virtual std::string programFolder() = 0;
  // True when names that differ only in case are different files (POSIX);
  // false where they reach one file (Windows).
  virtual bool namesAreCaseSensitive() = 0;
};

// The real file system of the platform this was compiled for.
std::unique_ptr<FileSystem> makeNativeFileSystem();

}  // namespace plat
