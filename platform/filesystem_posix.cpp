// File system on POSIX: Windows-style paths mapped onto the tree, DOS
// attributes kept in an extended attribute (see filesystem_posix.h).
#include "platform/filesystem_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <optional>

#include "platform/error.h"
#include "platform/text.h"

namespace plat {
namespace {

constexpr uint32_t kDosBits = attr::kReadOnly | attr::kHidden | attr::kSystem | attr::kArchive;
constexpr uint32_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;

// Closes a descriptor on every path out.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now and reports whether the close succeeded (a late write error).
  bool close() {
    const int r = ::close(fd_);
    fd_ = -1;
    return r == 0;
  }

 private:
  int fd_;
};

std::string parentOf(const std::string& native) {
  std::string p = native;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

bool isFolder(const std::string& native) {
  struct stat st {};
  return ::stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The error a Win32 call would have given for this errno. A missing entry is
// "file not found" when its folder exists and "path not found" otherwise.
[[noreturn]] void throwErrno(int e, const std::string& native) {
  switch (e) {
    case ENOENT:
      throw errorOf(isFolder(parentOf(native)) ? kErrFileNotFound : kErrPathNotFound);
    case ENOTDIR:
      throw errorOf(kErrPathNotFound);
    case EBUSY:
    case ETXTBSY:
      throw errorOf(kErrPermissionDenied);
    case ENOSPC:
    case EDQUOT:
      throw errorOf(kErrDiskFull);
    case EMFILE:
    case ENFILE:
      throw errorOf(kErrTooManyFiles);
    case ENAMETOOLONG:
    case EINVAL:
      throw errorOf(kErrBadFileName);
    default:
      throw errorOf(kErrPathFileAccess);
  }
}

// The stored DOS bits, when the entry has them (links are followed).
std::optional<uint32_t> readDosBits(const std::string& native) {
  char buf[32];
  const ssize_t n = ::getxattr(native.c_str(), kDosAttrName, buf, sizeof buf - 1);
  if (n <= 0) return std::nullopt;
  buf[n] = '\0';
  char* end = nullptr;
  const unsigned long v = std::strtoul(buf, &end, 10);
  if (end == buf) return std::nullopt;
  return static_cast<uint32_t>(v) & kDosBits;
}

// Stores DOS bits; `bits == std::nullopt` removes them. Throws when the file
// system cannot keep bits that matter.
void writeDosBits(const std::string& native, std::optional<uint32_t> bits, bool matters) {
  int r;
  if (bits) {
    const std::string text = std::to_string(*bits);
    r = ::setxattr(native.c_str(), kDosAttrName, text.data(), text.size(), 0);
  } else {
    r = ::removexattr(native.c_str(), kDosAttrName);
    if (r != 0 && errno == ENODATA) r = 0;
  }
  if (r == 0) return;
  const int e = errno;
  if ((e == ENOTSUP || e == EPERM) && !matters) return;
  throwErrno(e, native);
}

uint32_t attributesOfNative(const std::string& native) {
  struct stat lst {};
  if (::lstat(native.c_str(), &lst) != 0) return attr::kInvalid;
  struct stat st = lst;
  const bool link = S_ISLNK(lst.st_mode);
  if (link && ::stat(native.c_str(), &st) != 0) st = lst;  // dangling: the link itself
  const std::optional<uint32_t> stored =
      link && S_ISLNK(st.st_mode) ? std::nullopt : readDosBits(native);
  uint32_t a = 0;
  if (S_ISDIR(st.st_mode)) {
    a = attr::kDirectory | stored.value_or(0);
  } else {
    if ((st.st_mode & S_IWUSR) == 0) a |= attr::kReadOnly;
    a |= stored ? (*stored & ~attr::kReadOnly) : attr::kArchive;
  }
  if (link) a |= attr::kReparsePoint;
  return a == 0 ? attr::kFileNormal : a;
}

class VectorListing : public DirListing {
 public:
  explicit VectorListing(std::vector<std::string> names) : names_(std::move(names)) {}
  std::string next() override { return pos_ < names_.size() ? names_[pos_++] : std::string(); }

 private:
  std::vector<std::string> names_;
  size_t pos_ = 0;
};

}  // namespace

PosixPathMap::PosixPathMap(DriveRoots roots) {
  for (auto& [letter, root] : roots)
    roots_[static_cast<char>(std::toupper(static_cast<unsigned char>(letter)))] = root;
}

std::string PosixPathMap::toNative(const std::string& path) const {
  std::string p = path;
  std::replace(p.begin(), p.end(), '\\', '/');
  if (p.size() >= 2 && p[1] == ':' && std::isalpha(static_cast<unsigned char>(p[0]))) {
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(p[0])));
    const auto it = roots_.find(letter);
    if (it == roots_.end()) throw errorOf(kErrPathNotFound);
    std::string rest = p.substr(2);
    while (!rest.empty() && rest.front() == '/') rest.erase(rest.begin());
    std::string root = it->second;
    if (root.empty() || root.back() != '/') root.push_back('/');
    return root + rest;
  }
  return p;
}

PosixFileSystem::PosixFileSystem(PosixPathMap paths, std::string systemDirectory,
                                 std::string programFolder)
    : paths_(std::move(paths)),
      systemDirectory_(std::move(systemDirectory)),
      programFolder_(std::move(programFolder)) {}

bool PosixFileSystem::fileExists(const std::string& path) {
  std::string native;
  try {
    native = paths_.toNative(path);
  } catch (const PlatformError&) {
    return false;
  }
  if (native.empty()) return false;
  const uint32_t a = attributesOfNative(native);
  if (a == attr::kInvalid) return false;
  return (a & (attr::kHidden | attr::kSystem | attr::kDirectory)) == 0;
}

void PosixFileSystem::copyFile(const std::string& from, const std::string& to) {
  const std::string src = paths_.toNative(from);
  const std::string dst = paths_.toNative(to);
  Fd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) throwErrno(errno, src);
  struct stat sst {};
  if (::fstat(in.get(), &sst) != 0) throwErrno(errno, src);
  if (S_ISDIR(sst.st_mode)) throw errorOf(kErrPathFileAccess);

  struct stat dst_st {};
  if (::stat(dst.c_str(), &dst_st) == 0) {
    if (S_ISDIR(dst_st.st_mode)) throw errorOf(kErrPathFileAccess);
    // Copying a file onto itself would truncate it before reading it.
    if (dst_st.st_dev == sst.st_dev && dst_st.st_ino == sst.st_ino)
      throw errorOf(kErrPermissionDenied);
    const uint32_t a = attributesOfNative(dst);
    if (a != attr::kInvalid && (a & (attr::kReadOnly | attr::kHidden)) != 0)
      throw errorOf(kErrPathFileAccess);
  }

  Fd out(::open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (out.get() < 0) throwErrno(errno, dst);
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(in.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno(errno, src);
    }
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out.get(), buf + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        throwErrno(errno, dst);
      }
      done += w;
    }
  }
  // The copy carries the source's attributes and is marked for archiving.
  const std::optional<uint32_t> bits = readDosBits(src);
  writeDosBits(dst, bits ? std::optional<uint32_t>(*bits | attr::kArchive) : std::nullopt,
               bits && (*bits & (attr::kHidden | attr::kSystem)) != 0);
  if (::fchmod(out.get(), sst.st_mode & 07777) != 0) throwErrno(errno, dst);
  if (!out.close()) throwErrno(errno, dst);
}

void PosixFileSystem::deleteFile(const std::string& path) {
  const std::string native = paths_.toNative(path);
  struct stat lst {};
  if (::lstat(native.c_str(), &lst) != 0) throwErrno(errno, native);
  if (S_ISDIR(lst.st_mode)) throw errorOf(kErrPathFileAccess);
  if (!S_ISLNK(lst.st_mode) && (lst.st_mode & S_IWUSR) == 0) throw errorOf(kErrPathFileAccess);
  if (::unlink(native.c_str()) != 0) throwErrno(errno, native);
}

void PosixFileSystem::makeFolder(const std::string& path) {
  const std::string native = paths_.toNative(path);
  if (::mkdir(native.c_str(), 0777) != 0) {
    const int e = errno;
    if (e == ENOENT) throw errorOf(kErrPathNotFound);
    throwErrno(e, native);
  }
}

void PosixFileSystem::removeFolder(const std::string& path) {
  const std::string native = paths_.toNative(path);
  struct stat lst {};
  if (::lstat(native.c_str(), &lst) != 0) throw errorOf(kErrPathNotFound);
  if (S_ISLNK(lst.st_mode)) {
    // A link to a folder is removed as a folder would be: the link goes.
    if (!isFolder(native)) throw errorOf(kErrPathNotFound);
    if (::unlink(native.c_str()) != 0) throwErrno(errno, native);
    return;
  }
  if (!S_ISDIR(lst.st_mode)) throw errorOf(kErrPathNotFound);
  if ((readDosBits(native).value_or(0) & attr::kReadOnly) != 0) throw errorOf(kErrPathFileAccess);
  if (::rmdir(native.c_str()) != 0) {
    const int e = errno;
    if (e == ENOENT) throw errorOf(kErrPathNotFound);
    throwErrno(e, native);
  }
}

std::unique_ptr<DirListing> PosixFileSystem::list(const std::string& folder, uint32_t mask) {
  const std::string native = paths_.toNative(folder);
  std::string dir;
  std::string pattern;
  if (native.empty()) return std::make_unique<VectorListing>(std::vector<std::string>{});
  if (folder.back() == '\\' || folder.back() == '/' || native.back() == '/') {
    dir = native;
    pattern = "*";
  } else {
    dir = parentOf(native);
    const size_t slash = native.rfind('/');
    pattern = slash == std::string::npos ? native : native.substr(slash + 1);
    if (pattern == "*.*") pattern = "*";
  }
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) {
    const int e = errno;
    if (e == ENOENT || e == ENOTDIR)
      return std::make_unique<VectorListing>(std::vector<std::string>{});
    throwErrno(e, dir);
  }
  std::vector<std::string> names;
  while (const dirent* ent = ::readdir(d)) names.emplace_back(ent->d_name);
  ::closedir(d);
  // Folders list "." and ".." first, then the names in a stable order.
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    const int ra = a == "." ? 0 : a == ".." ? 1 : 2;
    const int rb = b == "." ? 0 : b == ".." ? 1 : 2;
    return ra != rb ? ra < rb : a < b;
  });
  std::string base = dir;
  if (base.back() != '/') base.push_back('/');
  std::vector<std::string> out;
  for (const std::string& name : names) {
    if (pattern != "*" && ::fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) != 0) continue;
    const uint32_t a = attributesOfNative(base + name);
    if (a == attr::kInvalid) continue;
    if ((a & (attr::kHidden | attr::kSystem | attr::kDirectory) & ~mask) != 0) continue;
    out.push_back(name);
  }
  return std::make_unique<VectorListing>(std::move(out));
}

uint32_t PosixFileSystem::getAttributes(const std::string& path) {
  try {
    const std::string native = paths_.toNative(path);
    return native.empty() ? attr::kInvalid : attributesOfNative(native);
  } catch (const PlatformError&) {
    return attr::kInvalid;
  }
}

void PosixFileSystem::setAttributes(const std::string& path, uint32_t attributes) {
  const std::string native = paths_.toNative(path);
  struct stat st {};
  if (::stat(native.c_str(), &st) != 0) throwErrno(errno, native);
  const uint32_t wanted = attributes & kDosBits;
  if (S_ISDIR(st.st_mode)) {
    writeDosBits(native, wanted == 0 ? std::nullopt : std::optional<uint32_t>(wanted),
                 (wanted & ~attr::kArchive) != 0);
    return;
  }
  // The bits go in while the file is still writable, so that an owner
  // without privileges may store them on a read-only file too.
  if ((st.st_mode & S_IWUSR) == 0 && ::chmod(native.c_str(), st.st_mode | S_IWUSR) != 0)
    throwErrno(errno, native);
  writeDosBits(native, wanted & ~attr::kReadOnly, (wanted & (attr::kHidden | attr::kSystem)) != 0);
  const mode_t mode =
      (wanted & attr::kReadOnly) != 0 ? (st.st_mode & ~kWriteBits) : (st.st_mode | S_IWUSR);
  if (::chmod(native.c_str(), mode & 07777) != 0) throwErrno(errno, native);
}

bool PosixFileSystem::isLink(const std::string& path) {
  try {
    const std::string native = paths_.toNative(path);
    struct stat lst {};
    return ::lstat(native.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode);
  } catch (const PlatformError&) {
    return false;
  }
}

void PosixFileSystem::removeLink(const std::string& path) {
  const std::string native = paths_.toNative(path);
  struct stat lst {};
  if (::lstat(native.c_str(), &lst) != 0) throwErrno(errno, native);
  if (!S_ISLNK(lst.st_mode)) throw errorOf(kErrInvalidProcedureCall);
  if (::unlink(native.c_str()) != 0) throwErrno(errno, native);
}

std::vector<std::string> PosixFileSystem::readTextLines(const std::string& path) {
  // Decoded whole, then split: CR is never a trail byte of the multi-byte
  // code pages, and one conversion is far cheaper than one per line.
  return splitLinesCr(ansiToUtf8(readFile(path)));
}

void PosixFileSystem::writeFile(const std::string& path, const std::string& bytes) {
  const std::string native = paths_.toNative(path);
  struct stat st {};
  if (::stat(native.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode) || (st.st_mode & S_IWUSR) == 0) throw errorOf(kErrPathFileAccess);
  }
  Fd out(::open(native.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (out.get() < 0) {
    const int e = errno;
    if (e == ENOENT) throw errorOf(kErrPathNotFound);
    throwErrno(e, native);
  }
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t w = ::write(out.get(), bytes.data() + done, bytes.size() - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      throwErrno(errno, native);
    }
    done += static_cast<size_t>(w);
  }
  if (!out.close()) throwErrno(errno, native);
}

std::string PosixFileSystem::readFile(const std::string& path) {
  const std::string native = paths_.toNative(path);
  Fd in(::open(native.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) throwErrno(errno, native);
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) throwErrno(errno, native);
  if (S_ISDIR(st.st_mode)) throw errorOf(kErrPathFileAccess);
  std::string bytes;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(in.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno(errno, native);
    }
    if (n == 0) break;
    bytes.append(buf, static_cast<size_t>(n));
  }
  return bytes;
}

std::unique_ptr<FileSystem> makeNativeFileSystem() {
  std::string folder;
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n > 0) {
    buf[n] = '\0';
    folder = parentOf(buf);
  }
  return std::make_unique<PosixFileSystem>(PosixPathMap{}, std::string(), folder);
}

}  // namespace plat
