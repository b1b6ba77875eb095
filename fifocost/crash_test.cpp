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
      year = fifocost::testing::makePostgresStore(fifocost::testing::databaseName("crash_" + d.filename().string()));
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

  // The same run with commits after every few items, so that a kill finds
  // many commits behind it.
  pid_t startSmallCommits() const {
    const pid_t pid = fork();
    if (pid == 0) {
      fifocost::Options options;
      options.linesPerCommit = 300;
      options.secondsPerCommit = 0.02;
      try {
        fifocost::LPart(fifocost::findBesideProgram(dir.string()), fifocost::Services{}, options);
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
  return a.available == b.available && a.unitCost == b.unitCost && a.cost == b.cost && a.settled == b.settled;
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
  const fs::path base = fs::temp_directory_path() / ("tallyrun_crash_" + std::to_string(::getpid()));

  Install reference(base / "reference", ledger, GetParam());
  const auto t0 = Clock::now();
  ASSERT_EQ(reference.runToEnd(), 0);
  const auto runTime = Clock::now() - t0;
  const auto expected = reference.year->lines();
  const auto initial = Install(base / "initial", ledger, GetParam()).year->lines();

  Install killed(base / "killed", ledger, GetParam());
  std::mt19937 rng(20111130);
  const auto maxWaitUs = std::chrono::duration_cast<std::chrono::microseconds>(runTime).count();
  int kills = 0;
  int partial = 0;  // rounds that stopped between two items
  const int rounds = server ? 16 : 30;
  for (int round = 0; round < rounds; ++round) {
    const pid_t pid = round % 4 == 3 ? killed.start() : killed.startSmallCommits();
    std::this_thread::sleep_for(
        std::chrono::microseconds(std::uniform_int_distribution<long>(0, maxWaitUs)(rng)));
    if (kill(pid, SIGKILL) == 0) ++kills;
    int status = 0;
    waitpid(pid, &status, 0);

    const auto now = killed.year->lines();
    ASSERT_EQ(now.size(), expected.size());
    // Every item is either untouched or costed as the full run costs it.
    std::map<std::string, int> itemState;  // 1 untouched, 2 done, 3 both possible
    for (size_t i = 0; i < now.size(); ++i) {
      ASSERT_GE(now[i].available.value_or(0), 0) << "a receipt drawn beyond what it had, line " << i;
      int s = 0;
      if (sameCosting(now[i], initial[i])) s |= 1;
      if (sameCosting(now[i], expected[i])) s |= 2;
      ASSERT_NE(s, 0) << "line " << i << " of " << now[i].code << " is neither untouched nor costed in full";
      auto [it, fresh] = itemState.emplace(now[i].code, s);
      if (!fresh) {
        it->second &= s;
        ASSERT_NE(it->second, 0) << "item " << now[i].code << " is half costed after round " << round;
      }
    }
    bool someDone = false, someLeft = false;
    for (const auto& [code, s] : itemState) {
      someDone = someDone || s == 2;
      someLeft = someLeft || s == 1;
    }
    if (someDone && someLeft) ++partial;
  }
  EXPECT_GE(kills, 10) << "too few runs were still going when killed";
  EXPECT_GE(partial, 3) << "too few kills came between commits";
  ASSERT_EQ(killed.runToEnd(), 0);
  EXPECT_EQ(killed.year->lines(), expected);
  fs::remove_all(base);
}

// On a server the killed run's connection ends and the server rolls back
// what it had not committed.
INSTANTIATE_TEST_SUITE_P(BothEngines, CrashSafety, ::testing::Values(Engine::kSqlite, Engine::kPostgres),
                         [](const auto& info) {
                           return std::string(info.param == Engine::kSqlite ? "Sqlite" : "Postgres");
                         });

}  // namespace
