#pragma once
// Processes on POSIX.
//
// start(): the command line is read as CreateProcess reads one. A program
// name in quotes ends at the closing quote; an unquoted one is looked for at
// every blank in turn ("C:\Program Files\x.exe /a" tries "C:\Program", then
// "C:\Program Files\x.exe"), each candidate also with ".exe" appended when it
// has no extension, and the first existing regular file wins. The program
// path goes through the file system's path mapping; the arguments after it are
// split by the Windows argument rules (splitCommandLine) and passed unchanged,
// paths included. posix_spawn starts it in the current folder with this
// process's environment; the window style has no meaning here and is ignored.
// The task id is the process id. Nothing waits for the child: whoever needs
// its end (tests) reaps it with waitpid.
//
// previousInstanceRunning(): an exclusive flock on "<lockFolder>/kit-instance-
// <hash of the program path>.lock", held until this object is destroyed. The
// lock dies with its process, so a crashed instance never blocks the next, and
// it is not inherited by started programs (close-on-exec).
#include <sys/types.h>

#include <string>

#include "platform/filesystem_posix.h"
#include "platform/process.h"

namespace plat {

class PosixProcesses : public Processes {
 public:
  PosixProcesses(PosixPathMap paths, std::string programPath, std::string lockFolder);
  ~PosixProcesses() override;
  PosixProcesses(const PosixProcesses&) = delete;
  PosixProcesses& operator=(const PosixProcesses&) = delete;

  uint32_t start(const std::string& commandLine, WindowStyle style) override;
  bool previousInstanceRunning() override;
  // The child is reaped by the returned object (waitpid), not left to others.
  std::unique_ptr<Child> startWatched(const std::string& commandLine, WindowStyle style) override;

  // The lock file previousInstanceRunning uses.
  std::string lockPath() const;

 private:
  pid_t spawn(const std::string& commandLine);

  PosixPathMap paths_;
  std::string programPath_;
  std::string lockFolder_;
  int lockFd_ = -1;
  int answer_ = -1;  // the first call's finding: 0 alone, 1 another instance
};

// makeNativeProcesses() on POSIX: no drive letters, /proc/self/exe as the
// program path, lock files in /tmp.

}  // namespace plat
