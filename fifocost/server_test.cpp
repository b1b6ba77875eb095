// Tallyrun on a year database held by the test run's PostgreSQL server: what
// only a server shows (row locks, connection failures, the copy from a file).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "fifocost/lpart.h"
#include "fifocost/statements.h"
#include "fifocost/testing/ledger.h"
#include "fifocost/testing/year_store.h"

namespace {

namespace fs = std::filesystem;
using fifocost::testing::Ledger;
using fifocost::testing::Line;

Ledger ledger() {
  Ledger l;
  l.docs = {
      {"R1", "2011-01-05", "入货"}, {"S0", "2011-01-06", "销货"}, {"S1", "2011-02-01", "销货"}};
  Line r{"R1", "A001", 5.0, 10.0, 5.0, {}, {}, {}, {}, {}, 0};
  Line settled{"S0", "A001", {}, {}, {}, 1.0, 20.0, 10.0, 10.0, 10.0, -1};
  Line sale{"S1", "a001", {}, {}, {}, 2.0, 50.0, {}, {}, {}, 0};  // the same item in other letters
  l.lines = {r, settled, sale};
  return l;
}

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    store_ = fifocost::testing::makePostgresStore(fifocost::testing::databaseName(name));
    dir_ = fs::temp_directory_path() / ("server_test_" + std::to_string(::getpid()) + "_" + name);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    appDb_ = (dir_ / "Velmora.DLL").string();
    store_->write(ledger());
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs Tallyrun's costing on `dbpath`; the failure's number, or 0.
  int run(const std::string& dbpath, const fifocost::Services& services = {},
          fifocost::ReadMode mode = fifocost::ReadMode::kSnapshot) {
    fs::remove(appDb_);
    fifocost::testing::writeAppDb(appDb_, dbpath, "2011-12-31");
    try {
      fifocost::LPart(appDb_, services, fifocost::Options{.mode = mode});
    } catch (const db::DbError& e) {
      description_ = e.what();
      return e.number();
    }
    return 0;
  }

  std::unique_ptr<fifocost::testing::YearStore> store_;
  fs::path dir_;
  std::string appDb_, description_;
};

// (The statements as written: the snapshot's own grouping of codes is Tallyrun's.)
TEST_F(ServerTest, CostsItemCodesWithoutRegardToLetterCase) {
  ASSERT_EQ(run(store_->dbpath(), {}, fifocost::ReadMode::kPerStatement), 0) << description_;
  const auto after = store_->lines();
  EXPECT_EQ(after[2].cost, 20.0);
  EXPECT_EQ(after[0].available, 3.0);
  EXPECT_EQ(after[1], ledger().lines[1]);  // settled: untouched
}

// Forwards to the year database and calls `onReset` right after the reset,
// while the run's first transaction is open.
class WatchedDatabase : public db::Database {
 public:
  WatchedDatabase(std::unique_ptr<db::Database> inner, std::function<void()> onReset)
      : inner_(std::move(inner)), onReset_(std::move(onReset)) {}
  std::unique_ptr<db::Recordset> openRecordset(const std::string& s) override {
    return inner_->openRecordset(s);
  }
  void execute(const std::string& sql, bool failOnError) override {
    inner_->execute(sql, failOnError);
    if (sql == fifocost::kResetOpenLines) onReset_();
  }
  void beginTrans() override { inner_->beginTrans(); }
  void commitTrans() override { inner_->commitTrans(); }
  void rollback() override { inner_->rollback(); }
  bool inTransaction() override { return inner_->inTransaction(); }
  int64_t dataVersion() override { return inner_->dataVersion(); }
  void close() override { inner_->close(); }

 private:
  std::unique_ptr<db::Database> inner_;
  std::function<void()> onReset_;
};

TEST_F(ServerTest, AnotherUserUpdatesAnUntouchedRowDuringARunWithoutWaiting) {
  bool untouchedSaved = false;
  std::string touchedError;
  fifocost::Services services;
  services.openDatabase = [&](const std::string& path,
                              const std::string& connect) -> std::unique_ptr<db::Database> {
    auto inner = db::openDatabase(path, connect);
    if (path != store_->dbpath()) return inner;
    return std::make_unique<WatchedDatabase>(std::move(inner), [&] {
      // Waiting would fail after the lock timeout instead of hanging the test.
      store_->exec("SET lock_timeout = '5s'; UPDATE 库清单 SET 销额 = 21 WHERE 发票号 = 'S0'");
      untouchedSaved = true;
      try {
        store_->exec("SET lock_timeout = '200ms'; UPDATE 库清单 SET 销额 = 51 WHERE 发票号 = 'S1'");
      } catch (const std::exception& e) {
        touchedError = e.what();
      }
    });
  };
  ASSERT_EQ(run(store_->dbpath(), services), 0) << description_;
  EXPECT_TRUE(untouchedSaved);
  EXPECT_NE(touchedError.find("lock timeout"), std::string::npos)
      << "a row the run reset is locked: " << touchedError;
  const auto after = store_->lines();
  EXPECT_EQ(after[1].amount, 21.0);
  EXPECT_EQ(after[1].profit, 11.0);  // the gross profit comes after the other user's commit
  EXPECT_EQ(after[2].amount, 50.0);
}

TEST_F(ServerTest, ConnectionFailuresAreReportedAndWriteNothing) {
  const auto server = fifocost::testing::pgServer();
  const std::string db =
      fifocost::testing::databaseName("ConnectionFailuresAreReportedAndWriteNothing");
  std::string noDriver = server.odbcPath(db);
  noDriver.replace(0, noDriver.find(";Server="), "ODBC");
  const struct {
    std::string dbpath;
    int number;
    const char* says;
  } cases[] = {
      {noDriver, db::kErrOdbcConnect, "Data source name not found"},
      {server.odbcPath(db, "wrong-secret"), db::kErrOdbcConnect, "password authentication failed"},
      {server.odbcPath("no_such_database"), db::kErrOdbcConnect, "does not exist"},
      {"ODBC;Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=1;Database=x;Uid=u;Pwd=p;",
       db::kErrOdbcConnect, "refused"},
  };
  const std::string before = store_->fingerprint();
  for (const auto& c : cases) {
    EXPECT_EQ(run(c.dbpath), c.number) << c.dbpath;
    EXPECT_NE(description_.find(c.says), std::string::npos) << description_;
    EXPECT_EQ(description_.find("wrong-secret"), std::string::npos) << "the password is not shown";
  }
  EXPECT_EQ(store_->fingerprint(), before);

  store_->exec("DROP TABLE 库单");
  const auto lines = store_->lines();
  EXPECT_EQ(run(store_->dbpath()), db::kErrNoSuchTable);
  EXPECT_NE(description_.find("库单"), std::string::npos) << description_;
  EXPECT_EQ(store_->lines(), lines);
}

TEST_F(ServerTest, TheCopyOfAFileKeepsEveryLineAndItsOrder) {
  fifocost::testing::GenParams p;
  p.lines = 300;
  p.oddities = true;
  const Ledger generated = fifocost::testing::generate(p);
  const std::string file = (dir_ / "2011.db").string();
  fifocost::testing::writeYearDb(file, generated);
  const auto server = fifocost::testing::pgServer();
  store_->exec("DROP TABLE 库清单; DROP TABLE 库单");
  const std::string db = fifocost::testing::databaseName("TheCopyOfAFileKeepsEveryLineAndItsOrder");
  const std::string command = "PGPASSWORD='" + server.password + "' '" + KIT_COPY_SCRIPT + "' '" +
                              file + "' 'host=" + server.host + " port=" + server.port +
                              " user=" + server.user + " dbname=" + db + "' >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_TRUE(store_->lines() == fifocost::testing::readLines(file)) << "the copy differs";
}

}  // namespace
