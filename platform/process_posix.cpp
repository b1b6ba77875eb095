// Starting programs and the previous-instance test on POSIX.
#include "platform/process_posix.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform/error.h"

extern char** environ;

namespace plat {
namespace {

bool isRegularFile(const std::string& native) {
  struct stat st {};
  return ::stat(native.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool hasExtension(const std::string& path) {
  const size_t sep = path.find_last_of("\\/");
  const size_t dot = path.rfind('.');
  return dot != std::string::npos && (sep == std::string::npos || dot > sep);
}

// The native path of the program `candidate` names, or empty.
std::string resolveProgram(const PosixPathMap& paths, const std::string& candidate) {
  if (candidate.empty()) return std::string();
  std::string native;
  try {
    native = paths.toNative(candidate);
  } catch (const PlatformError&) {
    return std::string();
  }
  if (isRegularFile(native)) return native;
  if (!hasExtension(candidate) && isRegularFile(native + ".exe")) return native + ".exe";
  return std::string();
}

uint64_t fnv1a(const std::string& s) {
  uint64_t h = 1469598103934665603ull;
  for (const unsigned char c : s) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

}  // namespace

PosixProcesses::PosixProcesses(PosixPathMap paths, std::string programPath, std::string lockFolder)
    : paths_(std::move(paths)),
      programPath_(std::move(programPath)),
      lockFolder_(std::move(lockFolder)) {}

PosixProcesses::~PosixProcesses() {
  if (lockFd_ >= 0) ::close(lockFd_);
}

pid_t PosixProcesses::spawn(const std::string& commandLine) {
  size_t begin = commandLine.find_first_not_of(" \t");
  if (begin == std::string::npos) throw errorOf(kErrInvalidProcedureCall);
  std::string program;
  std::string rest;
  if (commandLine[begin] == '"') {
    const size_t close = commandLine.find('"', begin + 1);
    const size_t end = close == std::string::npos ? commandLine.size() : close;
    program = resolveProgram(paths_, commandLine.substr(begin + 1, end - begin - 1));
    rest = close == std::string::npos ? std::string() : commandLine.substr(close + 1);
  } else {
    size_t pos = begin;
    for (;;) {
      const size_t blank = commandLine.find_first_of(" \t", pos);
      const size_t end = blank == std::string::npos ? commandLine.size() : blank;
      program = resolveProgram(paths_, commandLine.substr(begin, end - begin));
      if (!program.empty()) {
        rest = commandLine.substr(end);
        break;
      }
      if (blank == std::string::npos) break;
      pos = blank + 1;
    }
  }
  if (program.empty()) throw errorOf(kErrFileNotFound);

  std::vector<std::string> args = splitCommandLine(rest);
  args.insert(args.begin(), program);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = 0;
  const int r = ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
  if (r != 0) {
    if (r == ENOENT || r == ENOTDIR) throw errorOf(kErrFileNotFound);
    if (r == EACCES || r == EPERM) throw errorOf(kErrPermissionDenied);
    throw errorOf(kErrInvalidProcedureCall);
  }
  return pid;
}

uint32_t PosixProcesses::start(const std::string& commandLine, WindowStyle /*style*/) {
  return static_cast<uint32_t>(spawn(commandLine));
}

namespace {

// Reaps its child: once waitpid has answered, the status is kept.
class PosixChild : public Child {
 public:
  explicit PosixChild(pid_t pid) : pid_(pid) {}
  ~PosixChild() override {
    // A child nobody reaps stays a zombie; reap it if it has ended already.
    if (!status_) exitStatus();
  }

  std::optional<uint32_t> exitStatus() override {
    if (status_) return status_;
    int st = 0;
    const pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? static_cast<uint32_t>(WEXITSTATUS(st)) : 1u;
    } else if (r < 0) {
      status_ = 1u;  // not ours to wait for any more: count it as ended badly
    }
    return status_;
  }

  bool waitAwhile(int timeoutMs) override {
    // No window messages here: poll in small steps.
    for (int waited = 0;; waited += 5) {
      if (exitStatus()) return true;
      if (waited >= timeoutMs) return false;
      ::usleep(5000);
    }
  }

  void terminate() override {
    if (exitStatus()) return;
    ::kill(pid_, SIGKILL);
    int st = 0;
    if (::waitpid(pid_, &st, 0) == pid_) status_ = 1u;
  }

  uint64_t bytesMoved() override {
    // Characters read and written through any call, cached or not.
    std::ifstream io("/proc/" + std::to_string(pid_) + "/io");
    std::string key;
    uint64_t value = 0, moved = 0;
    while (io >> key >> value)
      if (key == "rchar:" || key == "wchar:") moved += value;
    return moved;
  }

 private:
  pid_t pid_;
  std::optional<uint32_t> status_;
};

}  // namespace

std::unique_ptr<Child> PosixProcesses::startWatched(const std::string& commandLine,
                                                    WindowStyle /*style*/) {
  return std::make_unique<PosixChild>(spawn(commandLine));
}

std::string PosixProcesses::lockPath() const {
  char hex[32];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(fnv1a(programPath_)));
  std::string folder = lockFolder_.empty() ? std::string("/tmp") : lockFolder_;
  if (folder.back() != '/') folder.push_back('/');
  return folder + "kit-instance-" + hex + ".lock";
}

bool PosixProcesses::previousInstanceRunning() {
  if (answer_ >= 0) return answer_ == 1;
  const std::string path = lockPath();
  lockFd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (lockFd_ < 0) {
    // Without a lock file nothing can be told; do not keep the program from
    // starting because of it.
    answer_ = 0;
    return false;
  }
  if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0) {
    answer_ = 0;
  } else {
    answer_ = errno == EWOULDBLOCK ? 1 : 0;
    ::close(lockFd_);
    lockFd_ = -1;
  }
  return answer_ == 1;
}

std::unique_ptr<Processes> makeNativeProcesses() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string exe = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  return std::make_unique<PosixProcesses>(PosixPathMap{}, exe, "/tmp");
}

}  // namespace plat
