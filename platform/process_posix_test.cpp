#include "platform/process_posix.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/error.h"
#include "tests/support/errors.h"
#include "tests/support/temp_folder.h"

namespace plat {
namespace {

class PosixProcessesTest : public testsupport::TempFolderTest {
 protected:
  void SetUp() override {
    ::mkdir(path("my dir").c_str(), 0755);
    // Writes its process id and then each argument on a line of its own.
    script("my dir/echo args.sh");
  }
  void script(const std::string& rel) {
    write(rel, "#!/bin/sh\n{ echo $$; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > \"" +
                   path("out") + "\"\n");
    ::chmod(path(rel).c_str(), 0755);
  }
  std::unique_ptr<PosixProcesses> processes(const std::string& program = "/opt/kit/Orvane") {
    return std::make_unique<PosixProcesses>(PosixPathMap({{'D', root_}}), program, root_);
  }
  static int waitFor(uint32_t pid) {
    int status = -1;
    ::waitpid(static_cast<pid_t>(pid), &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

int startError(PosixProcesses& p, const std::string& line) {
  return testsupport::errorNumber([&] { p.start(line, WindowStyle::kNormalFocus); });
}

TEST_F(PosixProcessesTest, StartsAnUnquotedPathWithBlanksAsCreateProcessDoes) {
  auto p = processes();
  const uint32_t pid = p->start("D:\\my dir\\echo args.sh /runtime D:\\Shop\\temp\\110130.BAR " +
                                    quoteArgIfNeeded("E:\\da ta\\") + " \"two words\"",
                                WindowStyle::kMaximizedFocus);
  ASSERT_GT(pid, 0u);
  EXPECT_EQ(waitFor(pid), 0);
  EXPECT_EQ(read("out"), std::to_string(pid) +
                             "\n/runtime\nD:\\Shop\\temp\\110130.BAR\nE:\\da ta\\\ntwo words\n");
}

TEST_F(PosixProcessesTest, QuotedProgramAndExeAppended) {
  auto p = processes();
  uint32_t pid = p->start("\"D:\\my dir\\echo args.sh\"x y", WindowStyle::kHide);
  EXPECT_EQ(waitFor(pid), 0);
  EXPECT_EQ(read("out"), std::to_string(pid) + "\nx\ny\n");
  script("tool.exe");
  pid = p->start("D:\\tool /s", WindowStyle::kNormalFocus);
  EXPECT_EQ(waitFor(pid), 0);
  EXPECT_EQ(read("out"), std::to_string(pid) + "\n/s\n");
}

TEST_F(PosixProcessesTest, MissingProgramsAreFileNotFound) {
  auto p = processes();
  EXPECT_EQ(startError(*p, "D:\\Rundrel.exe"), kErrFileNotFound);
  EXPECT_EQ(startError(*p, "D:\\my dir"), kErrFileNotFound);  // a folder is no program
  EXPECT_EQ(startError(*p, "Q:\\regsvr32.exe /s x"), kErrFileNotFound);
  EXPECT_EQ(startError(*p, "\"D:\\my dir\\missing.sh\" a"), kErrFileNotFound);
  EXPECT_EQ(startError(*p, "   "), kErrInvalidProcedureCall);
}

TEST_F(PosixProcessesTest, AWatchedProgramReportsItsExitStatusOrIsEnded) {
  auto p = processes();
  write("exit3.sh", "#!/bin/sh\nexit 3\n");
  write("sleeper.sh", "#!/bin/sh\nexec sleep 30\n");
  ::chmod(path("exit3.sh").c_str(), 0755);
  ::chmod(path("sleeper.sh").c_str(), 0755);
  auto done = p->startWatched("D:\\exit3.sh", WindowStyle::kHide);
  EXPECT_TRUE(done->waitAwhile(20000));
  EXPECT_EQ(done->exitStatus(), 3u);
  auto slow = p->startWatched("D:\\sleeper.sh", WindowStyle::kHide);
  EXPECT_FALSE(slow->waitAwhile(50));
  EXPECT_FALSE(slow->exitStatus().has_value());
  slow->terminate();
  EXPECT_TRUE(slow->exitStatus().has_value());
  EXPECT_THROW(p->startWatched("D:\\missing.exe", WindowStyle::kHide), PlatformError);
  // What a program has written counts as work done.
  write("writer.sh",
        "#!/bin/sh\nprintf '%0100000d' 0 > \"" + path("written") + "\"\nexec sleep 30\n");
  ::chmod(path("writer.sh").c_str(), 0755);
  auto writer = p->startWatched("D:\\writer.sh", WindowStyle::kHide);
  for (int i = 0; i < 400 && writer->bytesMoved() < 100000; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_GE(writer->bytesMoved(), 100000u);
  writer->terminate();
}

TEST_F(PosixProcessesTest, OneInstancePerProgramPath) {
  auto first = processes();
  EXPECT_FALSE(first->previousInstanceRunning());
  EXPECT_FALSE(first->previousInstanceRunning());  // the first finding stands
  auto second = processes();
  EXPECT_TRUE(second->previousInstanceRunning());
  auto other = processes("/opt/kit/Novaro");
  EXPECT_FALSE(other->previousInstanceRunning());
  first.reset();
  auto third = processes();
  EXPECT_FALSE(third->previousInstanceRunning());
}

TEST_F(PosixProcessesTest, ALockDiesWithItsProcessAndIsNotInherited) {
  auto holder = processes();
  const std::string lock = holder->lockPath();
  // Another process holds the token, then crashes.
  // One process that takes the lock and then sleeps in the same process.
  const uint32_t pid = holder->start(
      "/bin/sh -c \"exec 9>>" + lock + " && /usr/bin/flock 9 && exec /usr/bin/sleep 60\"",
      WindowStyle::kHide);
  bool seen = false;
  for (int i = 0; i < 200 && !seen; ++i) {
    seen = processes()->previousInstanceRunning();
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(seen);
  ::kill(static_cast<pid_t>(pid), SIGKILL);
  ::waitpid(static_cast<pid_t>(pid), nullptr, 0);
  bool freed = false;
  for (int i = 0; i < 200 && !freed; ++i) {
    freed = !processes()->previousInstanceRunning();
    if (!freed) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(freed);

  // A program this instance starts does not inherit its token.
  auto mine = processes();
  ASSERT_FALSE(mine->previousInstanceRunning());
  const uint32_t child = mine->start("/usr/bin/sleep 60", WindowStyle::kHide);
  mine.reset();
  EXPECT_FALSE(processes()->previousInstanceRunning());
  ::kill(static_cast<pid_t>(child), SIGKILL);
  ::waitpid(static_cast<pid_t>(child), nullptr, 0);
}

}  // namespace
}  // namespace plat
