#pragma once
// Starting programs and the previous-instance test.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plat {

// Window styles of a started program.
enum class WindowStyle : int {
  kHide = 0,
  kNormalFocus = 1,
  kMinimizedFocus = 2,
  kMaximizedFocus = 3,
  kNormalNoFocus = 4,
  kMinimizedNoFocus = 6,
};

// A started program its starter watches until it ends. Owned by the
// starter; destroying it neither waits for nor ends the program.
class Child {
 public:
  virtual ~Child() = default;
  // The exit status once the program has ended; nullopt while it runs.
  virtual std::optional<uint32_t> exitStatus() = 0;
  // Returns after at most `timeoutMs`: at once when the program has ended,
  // and (Windows) as soon as a window message waits for the calling thread,
  // so a window thread can wait without going deaf. True when it has ended.
  virtual bool waitAwhile(int timeoutMs) = 0;
  // Ends the program and returns once it has ended.
  virtual void terminate() = 0;
  // What the program has read and written so far, in bytes, where the
  // system tells (0 where it does not): one that moves nothing for long is
  // not at work.
  virtual uint64_t bytesMoved() { return 0; }
};

class Processes {
 public:
  virtual ~Processes() = default;
  // Starts `commandLine` without waiting. Returns the new process's task id;
  // throws PlatformError (file not found, ...) when it cannot be started.
  virtual uint32_t start(const std::string& commandLine, WindowStyle style) = 0;
  // True when another process of this same program (same full path) runs.
  // The first call claims the program's instance token for this process
  // (held while this object lives); later calls repeat the first finding.
  virtual bool previousInstanceRunning() = 0;
  // Starts `commandLine` like start() and keeps a hold on the process so its
  // end and exit status can be seen. Implementations that cannot watch a
  // program throw PlatformError(kErrInvalidProcedureCall).
  virtual std::unique_ptr<Child> startWatched(const std::string& commandLine, WindowStyle style);
};

// Windows: CreateProcessW and a named mutex; POSIX: see PosixProcesses.
std::unique_ptr<Processes> makeNativeProcesses();

// Quotes one command-line argument by the Windows argument rules when it
// contains a blank or a tab (a backslash run before the closing quote is
// doubled); a path without blanks is returned unchanged.
// An empty argument is quoted too, so that it does not vanish.
std::string quoteArgIfNeeded(const std::string& arg);

// Splits a command line into arguments by the same rules (blanks and tabs
// separate outside quotes; 2n backslashes before a quote give n and the quote
// delimits, 2n+1 give n and a literal quote; "" inside quotes is one quote).
std::vector<std::string> splitCommandLine(const std::string& commandLine);

}  // namespace plat
