#include "dlcontrol/posix_host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/error.h"

namespace dl {

namespace {

[[noreturn]] void throwErrno(int err) {
  int number = plat::kErrPathFileAccess;
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      number = plat::kErrPathNotFound;
      break;
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
      number = plat::kErrPermissionDenied;
      break;
    default:
      break;
  }
  throw plat::PlatformError(number, std::strerror(err));
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now so that a failing close (a full disk on some file systems)
  // is reported rather than lost.
  void close() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throwErrno(errno);
  }

 private:
  int fd_;
};

void writeAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      throwErrno(errno);
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
}

// Copies in the kernel where it can, through a bounded buffer where not.
void copyFile(int from, int to) {
  bool kernel = true;
  std::vector<char> buf;
  for (;;) {
    if (kernel) {
      const ssize_t c = ::copy_file_range(from, nullptr, to, nullptr, 64u << 20, 0);
      if (c > 0) continue;
      if (c == 0) return;
      if (errno == EINTR) continue;
      if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
        throwErrno(errno);
      kernel = false;
    }
    if (buf.empty()) buf.resize(1 << 20);
    const ssize_t r = ::read(from, buf.data(), buf.size());
    if (r < 0) {
      if (errno == EINTR) continue;
      throwErrno(errno);
    }
    if (r == 0) return;
    writeAll(to, buf.data(), static_cast<size_t>(r));
  }
}

enum class Moved { kNo, kYes, kTargetGone };

// Renames the content file over the (opened) target when that gives the
// same result as writing it: a plain file with one link on the same file
// system. The content file takes over the target's permission bits. kNo
// when the bytes must be copied instead; kTargetGone when, besides, the
// target's name has been freed and must be created again.
//
// Renaming over an existing file makes ext4 write the new content to disk
// first, which for a large download takes about as long as the download
// itself. A target that writeContent has just created is empty, so there is
// nothing to keep safe: its name is freed first and the rename replaces
// nothing. An older file keeps the file system's protection.
Moved moveInto(const std::string& from, const std::string& target, int targetFd, bool created) {
  struct stat t {};
  struct stat f {};
  if (::fstat(targetFd, &t) != 0 || ::stat(from.c_str(), &f) != 0) return Moved::kNo;
  struct stat link {};
  if (::lstat(target.c_str(), &link) != 0 || !S_ISREG(link.st_mode)) return Moved::kNo;
  if (!S_ISREG(t.st_mode) || t.st_nlink != 1 || t.st_dev != f.st_dev) return Moved::kNo;
  if (::chmod(from.c_str(), t.st_mode & 07777) != 0) return Moved::kNo;
  const bool freed = created && t.st_size == 0 && ::unlink(target.c_str()) == 0;
  if (::rename(from.c_str(), target.c_str()) == 0) return Moved::kYes;
  return freed ? Moved::kTargetGone : Moved::kNo;
}

}  // namespace

std::string posixPath(const std::string& path) {
  std::string p = path;
  for (char& c : p) {
    if (c == '\\') c = '/';
  }
  return p;
}

void PosixControlPlatform::pumpMessages() {
  // Only the tasks waiting now: a task that posts another leaves it for the
  // next round, as with window messages.
  for (size_t n = posted_.size(); n > 0 && !posted_.empty(); --n) {
    auto task = std::move(posted_.front());
    posted_.pop_front();
    task();
  }
  transfer_.pump();
}

void PosixControlPlatform::waitForMessage() {
  if (!posted_.empty()) return;
  transfer_.wait(maxWait);
}

void PosixControlPlatform::writeContent(const std::string& path, const ReadContent& content) {
  if (path.empty()) throw plat::PlatformError(plat::kErrPathNotFound, "Path not found");
  const std::string target = posixPath(path);
  // Opening the target first gives the same failures (missing folder,
  // read-only file) whichever way the bytes then get there.
  bool created = true;
  Fd out(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (out.get() < 0 && errno == EEXIST) {
    created = false;
    out.reset(::open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  }
  if (out.get() < 0) throwErrno(errno);
  if (content.inFile() && content.Movable) {
    switch (moveInto(content.FilePath, target, out.get(), created)) {
      case Moved::kYes:
        out.close();
        return;
      case Moved::kTargetGone:
        out.reset(::open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
        if (out.get() < 0) throwErrno(errno);
        break;
      case Moved::kNo:
        break;
    }
  }
  if (::ftruncate(out.get(), 0) != 0) throwErrno(errno);
  if (content.inFile()) {
    Fd in(::open(content.FilePath.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) throwErrno(errno);
    copyFile(in.get(), out.get());
  } else {
    writeAll(out.get(), content.Bytes.data(), content.Bytes.size());
  }
  out.close();
}

void PosixControlPlatform::deleteFile(const std::string& path) {
  if (path.empty() || ::unlink(posixPath(path).c_str()) != 0) {
    const int err = path.empty() ? ENOENT : errno;
    throw plat::PlatformError(err == ENOENT ? plat::kErrFileNotFound : plat::kErrPathFileAccess,
                              std::strerror(err));
  }
}

void HeadlessSurface::repaint() {
  ++repaints_;
  painted_.clear();
  if (control_) control_->Paint();
}

void HeadlessSurface::fillRect(double x1, double y1, double x2, double y2, OleColor c) {
  painted_.push_back({x1, y1, x2, y2, c});
}

void PosixControlPlatform::criticalMessageBox(const std::string& prompt, const std::string& title) {
  if (onMessageBox) {
    onMessageBox(prompt, title);
  } else {
    std::fprintf(stderr, "[%s] %s\n", title.c_str(), prompt.c_str());
  }
}

}  // namespace dl
