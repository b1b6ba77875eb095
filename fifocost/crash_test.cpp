// Tallyrun killed at random moments and started again ends where one
// uninterrupted run ends, and never leaves a half-costed item behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "fifocost/appdb.h"
#include "fifocost/lpart.h"
#include "fifocost/testing/ledger.h"
#include "fifocost/testing/year_store.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using fifocost::testing::Engine;
using fifocost::testing::Line;
using Clock = std::chrono::steady_clock;

// A program folder: Tallyrun, its application database and the year ledger.
struct Install {
  fs::path dir;
  std::unique_ptr<fifocost::testing::YearStore> year;

  Install(const fs::path& d, const fifocost::testing::Ledger& ledger, Engine engine) : dir(d) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::copy_file(TALLYRUN_PATH, dir / "Tallyrun");
    if (engine == Engine::kSqlite)
      year = fifocost::testing::makeSqliteStore((dir / "2011.db").string());
    else
      year = fifocost::testing::makePostgresStore(
          fifocost::testing::databaseName("crash_" + d.filename().string()));
    year->write(ledger);
    // The name in another letter case, as it may come from a Windows share.
    fifocost::testing::writeAppDb((dir / "velmora.dll").string(), year->dbpath(), "2011-11-30");
  }

  // The program as shipped.
  pid_t start() const {
    const pid_t pid = fork();
    if (pid == 0) {
      execl((dir / "Tallyrun").c_str(), "Tallyrun", static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid;
  }

  // The same run with commits after every 300 lines or so, stopped for good
  // after `line` lines (mid-transaction, saved but not committed): a kill
  // then lands there whatever the machine's speed. The child says so through
  // the pipe; it closes unsaid when the run ends first.
  pid_t startStoppedAt(size_t line, int reportFd) const {
    const pid_t pid = fork();
    if (pid == 0) {
      fifocost::Options options;
      options.linesPerCommit = 300;
      options.secondsPerCommit = 1e9;
      fifocost::Services services;
      services.lineCosted = [&](size_t costed) {
        if (costed != line) return;
        const char c = 1;
        if (write(reportFd, &c, 1) != 1) _exit(2);
        for (;;) pause();
      };
      try {
        fifocost::LPart(fifocost::findBesideProgram(dir.string()), services, options);
      } catch (...) {
        _exit(1);
      }
      _exit(0);
    }
    return pid;
  }

  int runToEnd() const {
    int status = 0;
    waitpid(start(), &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

// The fields Tallyrun writes while costing (gross profit comes at the end).
bool sameCosting(const Line& a, const Line& b) {
  return a.available == b.available && a.unitCost == b.unitCost && a.cost == b.cost &&
         a.settled == b.settled;
}

// Every item is either untouched or costed as the full run costs it; true
// when some are done and some still left.
bool checkWholeItems(const std::vector<Line>& now, const std::vector<Line>& initial,
                     const std::vector<Line>& expected) {
  EXPECT_EQ(now.size(), expected.size());
  if (now.size() != expected.size()) return false;
  std::map<std::string, int> itemState;  // 1 untouched, 2 done, 3 both possible
  for (size_t i = 0; i < now.size(); ++i) {
    EXPECT_GE(now[i].available.value_or(0), 0) << "a receipt drawn beyond what it had, line " << i;
    int s = 0;
    if (sameCosting(now[i], initial[i])) s |= 1;
    if (sameCosting(now[i], expected[i])) s |= 2;
    EXPECT_NE(s, 0) << "line " << i << " of " << now[i].code
                    << " is neither untouched nor costed in full";
    auto [it, fresh] = itemState.emplace(now[i].code, s);
    if (!fresh) {
      it->second &= s;
      EXPECT_NE(it->second, 0) << "item " << now[i].code << " is half costed";
    }
  }
  bool someDone = false, someLeft = false;
  for (const auto& [code, s] : itemState) {
    someDone = someDone || s == 2;
    someLeft = someLeft || s == 1;
  }
  return someDone && someLeft;
}

class CrashSafety : public ::testing::TestWithParam<Engine> {};

TEST_P(CrashSafety, KilledAtRandomMomentsEndsAsOneUninterruptedRun) {
  fifocost::testing::GenParams p;
  // Every line saved on a server is a round trip: a smaller ledger there.
  const bool server = GetParam() == Engine::kPostgres;
  p.lines = server ? 12000 : 80000;
  p.items = server ? 120 : 400;
  p.seed = 7;
  p.oddities = true;
  const auto ledger = fifocost::testing::generate(p);
  const testsupport::TempFolder temp("tallyrun_crash");
  const fs::path& base = temp.path();

  Install reference(base / "reference", ledger, GetParam());
  const auto t0 = Clock::now();
  ASSERT_EQ(reference.runToEnd(), 0);
  const auto runTime = Clock::now() - t0;
  const auto expected = reference.year->lines();
  const auto initial = Install(base / "initial", ledger, GetParam()).year->lines();

  Install killed(base / "killed", ledger, GetParam());
  std::mt19937 rng(20111130);
  // First the run stopped at chosen lines, one to two commits in: each of
  // these rounds leaves some items costed and some not, by construction.
  int partial = 0;
  for (int round = 0; round < 12; ++round) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid =
        killed.startStoppedAt(std::uniform_int_distribution<size_t>(1, 700)(rng), fds[1]);
    close(fds[1]);
    char c = 0;
    const bool stopped = read(fds[0], &c, 1) == 1;
    close(fds[0]);
    if (stopped) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(stopped) << "the run ended before the line it was to stop at, round " << round;
    const bool isPartial = checkWholeItems(killed.year->lines(), initial, expected);
    ASSERT_FALSE(::testing::Test::HasFailure()) << "after round " << round;
    if (isPartial) ++partial;
  }
  EXPECT_GE(partial, 3) << "too few stops came after a commit";
  // Then the program as shipped, killed at random moments of a run's time.
  const auto maxWaitUs = std::chrono::duration_cast<std::chrono::microseconds>(runTime).count();
  const int randomRounds = server ? 4 : 8;
  for (int round = 0; round < randomRounds; ++round) {
    const pid_t pid = killed.start();
    std::this_thread::sleep_for(
        std::chrono::microseconds(std::uniform_int_distribution<long>(0, maxWaitUs)(rng)));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    checkWholeItems(killed.year->lines(), initial, expected);
    ASSERT_FALSE(::testing::Test::HasFailure()) << "after a random kill, round " << round;
  }
  ASSERT_EQ(killed.runToEnd(), 0);
  EXPECT_EQ(killed.year->lines(), expected);
}

// On a server the killed run's connection ends and the server rolls back
// what it had not committed.
INSTANTIATE_TEST_SUITE_P(BothEngines, CrashSafety,
                         ::testing::Values(Engine::kSqlite, Engine::kPostgres),
                         [](const auto& info) {
                           return std::string(info.param == Engine::kSqlite ? "Sqlite"
                                                                            : "Postgres");
                         });

}  // namespace
