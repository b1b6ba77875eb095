#include "fifocost/lpart.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <utility>

#include "fifocost/testing/ledger.h"
#include "fifocost/testing/year_store.h"
#include "tests/support/sql.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using fifocost::ReadMode;
using fifocost::testing::Doc;
using fifocost::testing::Engine;
using fifocost::testing::Ledger;
using fifocost::testing::Line;

Line receipt(const std::string& doc, const std::string& code, double qty, double price) {
  Line l;
  l.doc = doc;
  l.code = code;
  l.quantity = qty;
  l.price = price;
  l.available = qty;
  return l;
}

Line outgoing(const std::string& doc, const std::string& code, double qty, double amount) {
  Line l;
  l.doc = doc;
  l.code = code;
  l.sold = qty;
  l.amount = amount;
  return l;
}

// Every case runs on both engines, in both read modes.
class LPartTest : public ::testing::TestWithParam<std::tuple<Engine, ReadMode>> {
 protected:
  void SetUp() override {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name)
      if (c == '/') c = '_';
    appDb_ = temp_.file("Velmora.DLL").string();
    if (engine() == Engine::kSqlite)
      store_ = fifocost::testing::makeSqliteStore(temp_.file("2011.db").string());
    else
      store_ = fifocost::testing::makePostgresStore(fifocost::testing::databaseName(name));
    yearDb_ = store_->dbpath();
  }

  Engine engine() const { return std::get<0>(GetParam()); }

  void make(const Ledger& ledger, const std::string& cutOff = "2011-12-31") {
    store_->write(ledger);
    fifocost::testing::writeAppDb(appDb_, yearDb_, cutOff);
  }

  fifocost::RunResult run() {
    fifocost::Options options;
    options.mode = std::get<1>(GetParam());
    options.linesPerCommit = 2;
    return fifocost::LPart(appDb_, fifocost::Services{}, options);
  }

  std::vector<Line> lines() { return store_->lines(); }

  // Enters a document of the ledger a second time (the document table then
  // has no key), so that its lines show twice in every join.
  void enterAgain(const std::string& number, const std::string& date, const std::string& category);

  // A run whose year database the test can meddle with.
  template <class Configure>
  void runMeddled(size_t linesPerCommit, Configure configure);

  int failure() {
    try {
      run();
    } catch (const db::DbError& e) {
      description_ = e.what();
      return e.number();
    }
    return 0;
  }

  testsupport::TempFolder temp_{"lpart"};
  std::string appDb_, yearDb_, description_;  // yearDb_: the dbpath naming the store
  std::unique_ptr<fifocost::testing::YearStore> store_;
};

// The line 5 against receipts of 3 at 10.0 and 4 at 12.0, entered out of
// date order so that the date, not the entry, decides.
Ledger workedExample() {
  Ledger l;
  l.docs = {
      {"R2", "2011-01-06", "入货"}, {"R1", "2011-01-05", "入货"}, {"S1", "2011-02-01", "销货"}};
  l.lines = {receipt("R2", "A001", 4, 12.0), receipt("R1", "A001", 3, 10.0),
             outgoing("S1", "A001", 5, 80)};
  return l;
}

TEST_P(LPartTest, WorkedExampleDrawsTheOldestReceiptsFirst) {
  make(workedExample());
  const auto result = run();
  ASSERT_EQ(result.items.size(), 1u);
  EXPECT_EQ(result.items[0].lines, 1u);
  const auto l = lines();
  EXPECT_EQ(l[2].cost, 54.0);
  EXPECT_EQ(l[2].unitCost, 10.8);
  EXPECT_EQ(l[2].profit, 80.0 - 54.0);
  EXPECT_EQ(l[2].settled, -1);
  EXPECT_EQ(l[1].available, 0.0);
  EXPECT_EQ(l[0].available, 2.0);
  EXPECT_EQ(l[0].settled, -1);
  EXPECT_EQ(l[1].settled, -1);
}

TEST_P(LPartTest, SecondRunChangesNothingAndALaterSaleTakesWhatIsLeft) {
  make(workedExample());
  run();
  const auto first = lines();
  const std::string bytes = store_->fingerprint();
  EXPECT_TRUE(run().nothingToCost);
  EXPECT_EQ(store_->fingerprint(), bytes);

  store_->exec(
      "INSERT INTO 库单 VALUES ('S2', '2011-03-01', '销货');"
      "INSERT INTO 库清单 (发票号, 编号, 销数, 销额) VALUES ('S2', 'A001', 2, 30);");
  run();
  const auto l = lines();
  EXPECT_EQ(l[1], first[1]);  // the used-up receipt and the settled sale stay as they were
  EXPECT_EQ(l[2], first[2]);
  EXPECT_EQ(l[3].cost, 24.0);
  EXPECT_EQ(l[3].unitCost, 12.0);
  EXPECT_EQ(l[3].profit, 6.0);
  EXPECT_EQ(l[0].available, 0.0);
}

TEST_P(LPartTest, ASaleAfterTheCutOffStaysOpen) {
  Ledger l = workedExample();
  l.docs.push_back({"S9", "2011-03-01", "销货"});
  l.lines.push_back(outgoing("S9", "A001", 1, 20));
  l.lines.back().cost = 99;  // a stale figure the reset clears
  make(l, "2011-02-01");
  run();
  const auto after = lines();
  EXPECT_EQ(after[2].cost, 54.0);  // on the cut-off day itself: costed
  EXPECT_EQ(after[3].settled, 0);
  EXPECT_FALSE(after[3].cost);
  EXPECT_FALSE(after[3].unitCost);
  EXPECT_FALSE(after[3].profit);
  EXPECT_EQ(after[0].available, 2.0);
}

TEST_P(LPartTest, WithoutAnOpenSaleNotAByteChanges) {
  Ledger l = workedExample();
  l.lines[2].settled = -1;
  l.lines[2].cost = 1;
  l.docs.push_back({"I1", "2011-02-02", "出货"});
  l.lines.push_back(outgoing("I1", "A001", 1, 0));  // open, but not a sale
  l.docs.push_back({"S2", "2011-02-03", "销货"});
  l.lines.push_back(outgoing("S2", "A001", 0, 0));  // a sale of nothing
  make(l);
  const std::string year = store_->fingerprint();
  const std::string app = fifocost::testing::fileBytes(appDb_);
  EXPECT_TRUE(run().nothingToCost);
  EXPECT_EQ(store_->fingerprint(), year);
  EXPECT_EQ(fifocost::testing::fileBytes(appDb_), app);
  EXPECT_FALSE(fs::exists(yearDb_ + "-journal"));
}

TEST_P(LPartTest, SameDateReceiptsGoOpeningStockFirst) {
  Ledger l;
  l.docs = {
      {"R1", "2011-01-05", "入货"}, {"R0", "2011-01-05", "期初"}, {"S1", "2011-02-01", "销货"}};
  l.lines = {receipt("R1", "A", 5, 20.0), receipt("R0", "A", 5, 10.0), outgoing("S1", "A", 2, 50)};
  make(l);
  run();
  const auto after = lines();
  EXPECT_EQ(after[1].available, 3.0);
  EXPECT_EQ(after[0].available, 5.0);
  EXPECT_EQ(after[0].settled, 0);
  EXPECT_EQ(after[2].cost, 20.0);
}

TEST_P(LPartTest, ReceiptsWithoutAPriceAreNeverDrawnAndShortLinesKeepTheirPartialCost) {
  Ledger l;
  l.docs = {{"R1", "2011-01-01", "期初"}, {"R2", "2011-01-02", "入货"},
            {"R3", "2011-01-03", "入货"}, {"S1", "2011-02-01", "销货"},
            {"S2", "2011-02-02", "销货"}, {"S3", "2011-02-02", "销货"}};
  l.lines = {receipt("R1", "A", 4, 0.0), receipt("R2", "A", 4, -1.0), receipt("R3", "A", 2, 7.0),
             outgoing("S1", "A", 4, 40), outgoing("S2", "A", 1, 10),  outgoing("S3", "B", 3, 10)};
  make(l);
  run();
  const auto after = lines();
  EXPECT_EQ(after[0].available, 4.0);
  EXPECT_EQ(after[0].settled, 0);
  EXPECT_EQ(after[1].available, 4.0);
  EXPECT_EQ(after[2].available, 0.0);
  EXPECT_EQ(after[3].cost, 14.0);  // 2 of 4 matched
  EXPECT_EQ(after[3].unitCost, 3.5);
  EXPECT_EQ(after[4].cost, 0.0);  // nothing left
  EXPECT_EQ(after[4].unitCost, 0.0);
  EXPECT_EQ(after[4].settled, -1);
  EXPECT_EQ(after[5].cost, 0.0);  // no receipt at all
  EXPECT_EQ(after[5].profit, 10.0);
}

TEST_P(LPartTest, NegativeAndZeroQuantities) {
  Ledger l;
  l.docs = {{"R1", "2011-01-01", "入货"},
            {"R2", "2011-01-02", "入货"},
            {"S1", "2011-02-01", "销货"},
            {"L1", "2011-02-02", "损溢"},
            {"L2", "2011-02-03", "损溢"}};
  l.lines = {receipt("R1", "A", 2, 10.0), receipt("R2", "A", 3, 12.0), outgoing("S1", "A", 1, 15),
             outgoing("L1", "A", -3, 0), outgoing("L2", "A", 0, 0)};
  make(l);
  run();
  const auto after = lines();
  EXPECT_EQ(after[0].available, 4.0);  // 2 - 1 + 3
  EXPECT_EQ(after[3].cost, -30.0);
  EXPECT_FALSE(after[3].unitCost);
  EXPECT_EQ(after[3].profit, 30.0);
  EXPECT_EQ(after[4].cost, 0.0);
  EXPECT_FALSE(after[4].unitCost);
  EXPECT_FALSE(after[4].profit);  // 销数 0: no gross profit
  EXPECT_EQ(after[4].settled, -1);
  EXPECT_EQ(after[1].available, 3.0);
  EXPECT_EQ(after[1].settled, 0);
}

TEST_P(LPartTest, ItemsAreChosenByTheirOpenSalesAndCodesMayHoldQuotes) {
  Ledger l;
  l.docs = {
      {"R1", "2011-01-01", "入货"}, {"I1", "2011-02-01", "出货"}, {"S1", "2011-02-01", "销货"}};
  l.lines = {receipt("R1", "X", 5, 1.0), outgoing("I1", "X", 1, 0), receipt("R1", "O'B", 5, 2.0),
             outgoing("S1", "O'B", 2, 9), outgoing("I1", "O'B", 1, 0)};
  make(l);
  const auto result = run();
  ASSERT_EQ(result.items.size(), 1u);
  EXPECT_EQ(result.items[0].code, "O'B");
  const auto after = lines();
  EXPECT_EQ(after[1].settled, 0);  // an issue of an item without an open sale
  EXPECT_EQ(after[0].available, 5.0);
  EXPECT_EQ(after[3].cost, 4.0);
  EXPECT_EQ(after[4].cost, 2.0);  // same date as the sale, entered after it: costed after it
  EXPECT_EQ(after[2].available, 2.0);
}

TEST_P(LPartTest, AFailureKeepsTheWholeLinesSavedBeforeIt) {
  Ledger l;
  l.docs = {
      {"R1", "2011-01-01", "入货"}, {"S1", "2011-02-01", "销货"}, {"S2", "2011-02-02", "销货"}};
  l.lines = {receipt("R1", "A", 5, 10.0), outgoing("S1", "A", 2, 30), outgoing("S2", "A", 1, 30)};
  make(l);
  // A server's number column holds numbers only: there the quantity is empty.
  const bool file = engine() == Engine::kSqlite;
  store_->exec(std::string("UPDATE 库清单 SET 销数 = ") + (file ? "'abc'" : "NULL") +
               " WHERE 发票号 = 'S2'");
  EXPECT_EQ(failure(), db::kErrTypeMismatch);
  if (file) {
    EXPECT_NE(description_.find("abc"), std::string::npos);
  }
  const auto after = lines();
  EXPECT_EQ(after[1].cost, 20.0);
  EXPECT_EQ(after[1].settled, -1);
  EXPECT_EQ(after[0].available, 3.0);
  EXPECT_EQ(after[2].settled, 0);
}

TEST_P(LPartTest, FailuresOfTheSettingsAndTheYearDatabase) {
  make(workedExample());
  store_->remove();
  if (engine() == Engine::kSqlite) {
    EXPECT_EQ(failure(), db::kErrFileNotFound);
    EXPECT_NE(description_.find(yearDb_), std::string::npos);
  } else {
    EXPECT_EQ(failure(), db::kErrOdbcConnect);
    EXPECT_NE(description_.find("does not exist"), std::string::npos) << description_;
  }
  testsupport::runSql(appDb_, "DELETE FROM usysbookind");
  EXPECT_EQ(failure(), db::kErrNoCurrentRecord);
  fs::remove(appDb_);
  EXPECT_EQ(failure(), db::kErrFileNotFound);

  // A cut-off that reads as dates piece by piece but not as one date.
  for (const char* cutOff : {"2011-12-31') OR ('1'='1", "2011-12-31#) OR (1=1) OR (#2011-01-01"}) {
    fs::remove(appDb_);
    make(workedExample(), cutOff);
    const std::string bytes = store_->fingerprint();
    EXPECT_EQ(failure(), db::kErrSyntax) << cutOff;
    EXPECT_EQ(store_->fingerprint(), bytes) << cutOff;
  }
}

TEST_P(LPartTest, EveryMovementOfTheCutOffDayCountsAndTimesOrderTheDay) {
  Ledger l;
  l.docs = {{"R1", "2011-01-05", "入货"},          {"R2", "2011-01-06", "入货"},
            {"S1", "2011-02-01 13:00:00", "销货"}, {"S2", "2011-02-01 09:30:00", "销货"},
            {"S3", "2011-02-01 00:00:00", "损溢"}, {"S4", "2011-02-02 00:00:00", "销货"}};
  l.lines = {receipt("R1", "A", 1, 10.0), receipt("R2", "A", 9, 20.0), outgoing("S1", "A", 1, 30),
             outgoing("S2", "A", 1, 30),  outgoing("S3", "A", 1, 0),   outgoing("S4", "A", 1, 30)};
  make(l, "2011-02-01");
  run();
  const auto after = lines();
  EXPECT_EQ(after[4].cost, 10.0);  // midnight comes first and takes the older receipt
  EXPECT_EQ(after[3].cost, 20.0);
  EXPECT_EQ(after[2].cost, 20.0);
  EXPECT_EQ(after[5].settled, 0);  // the next day
  EXPECT_EQ(after[1].available, 7.0);
}

// Rebuilds a table of the year database with other column declarations,
// keeping its rows.
void redeclare(const std::string& yearDb, const std::string& table, const std::string& columns) {
  testsupport::runSql(yearDb, "CREATE TABLE t_new (" + columns +
                                  "); INSERT INTO t_new SELECT * FROM " + table + "; DROP TABLE " +
                                  table + "; ALTER TABLE t_new RENAME TO " + table + ";");
}

void LPartTest::enterAgain(const std::string& number, const std::string& date,
                           const std::string& category) {
  if (engine() == Engine::kSqlite)
    redeclare(yearDb_, "库单", "发票号 TEXT, 日期 DATETIME, 类别 TEXT");
  else
    store_->exec("ALTER TABLE 库单 DROP CONSTRAINT 库单_pkey");
  store_->exec("INSERT INTO 库单 VALUES ('" + number + "', '" + date + "', '" + category + "')");
}

TEST_P(LPartTest, CodesAreOneItemWhateverTheirLetterCaseAndNoCodeIsAnItemOfItsOwn) {
  Ledger l;
  l.docs = {{"R1", "2011-01-01", "入货"}, {"S1", "2011-02-01", "销货"}};
  l.lines = {receipt("R1", "ABC-1", 2, 10.0), receipt("R1", "", 2, 20.0),
             receipt("R1", "none", 2, 30.0),  outgoing("S1", "abc-1", 1, 15),
             outgoing("S1", "", 1, 25),       outgoing("S1", "none", 2, 70),
             outgoing("S1", "Abc-1", 1, 15)};
  make(l);
  store_->exec("UPDATE 库清单 SET 编号 = NULL WHERE 编号 = 'none'");
  const auto result = run();
  EXPECT_EQ(result.items.size(), 3u);
  const auto after = lines();
  EXPECT_EQ(after[3].cost, 10.0);
  EXPECT_EQ(after[6].cost, 10.0);
  EXPECT_EQ(after[0].available, 0.0);
  EXPECT_EQ(after[4].cost, 20.0);  // the empty code from its own receipt, once
  EXPECT_EQ(after[1].available, 1.0);
  EXPECT_EQ(after[5].cost, 60.0);  // no code: from the receipt without one
  EXPECT_EQ(after[2].available, 0.0);
}

TEST_P(LPartTest, AReceiptOfADocumentEnteredTwiceIsDrawnOnce) {
  Ledger l;
  l.docs = {{"R1", "2011-01-01", "入货"},
            {"R2", "2011-01-02", "入货"},
            {"S1", "2011-02-01", "销货"},
            {"S2", "2011-02-02", "销货"}};
  l.lines = {receipt("R1", "A", 5, 10.0), receipt("R2", "A", 5, 20.0), outgoing("S1", "A", 3, 40),
             outgoing("S2", "A", 3, 90)};
  make(l);
  enterAgain("R1", "2011-01-01", "入货");
  run();
  const auto after = lines();
  EXPECT_EQ(after[2].cost, 30.0);
  EXPECT_EQ(after[3].cost, 40.0);  // 2 left at 10.0, 1 at 20.0
  EXPECT_EQ(after[0].available, 0.0);
  EXPECT_EQ(after[1].available, 4.0);
}

TEST_P(LPartTest, ASaleOfADocumentEnteredTwiceIsCostedOnce) {
  Ledger l;
  l.docs = {
      {"R1", "2011-01-01", "入货"}, {"S1", "2011-02-01", "销货"}, {"S2", "2011-02-02", "销货"}};
  l.lines = {receipt("R1", "A", 10, 10.0), outgoing("S1", "A", 3, 40), outgoing("S2", "A", 2, 90)};
  make(l);
  enterAgain("S1", "2011-02-01", "销货");
  run();
  const auto after = lines();
  EXPECT_EQ(after[1].cost, 30.0);
  EXPECT_EQ(after[2].cost, 20.0);
  EXPECT_EQ(after[0].available, 5.0);
}

TEST_P(LPartTest, AReceiptWithNothingLeftInATextColumnIsNotDrawnAgain) {
  if (engine() == Engine::kPostgres) GTEST_SKIP() << "the server's schema keeps 销合 a number";
  make(workedExample());
  redeclare(yearDb_, "库清单",
            "序号 INTEGER PRIMARY KEY, 发票号 TEXT, 编号 TEXT, 数量 REAL, 进价 REAL, 销合 TEXT, "
            "销数 REAL, 销额 REAL, "
            "本价 REAL, 成本 REAL, 毛利 REAL, 问题 INTEGER NOT NULL DEFAULT 0");
  run();
  const auto after = lines();
  EXPECT_EQ(after[2].cost, 54.0);
  EXPECT_EQ(after[1].available, 0.0);
  EXPECT_EQ(after[0].available, 2.0);
}

TEST_P(LPartTest, AFailureInsideALineTakesBackItsDraws) {
  if (engine() == Engine::kPostgres) GTEST_SKIP() << "a server's number column holds numbers only";
  Ledger l;
  l.docs = {{"R1", "2011-01-01", "入货"},
            {"R2", "2011-01-02", "入货"},
            {"S1", "2011-02-01", "销货"},
            {"S2", "2011-02-02", "销货"}};
  l.lines = {receipt("R1", "A", 3, 10.0), receipt("R2", "A", 4, 12.0), outgoing("S1", "A", 1, 15),
             outgoing("S2", "A", 5, 80)};
  make(l);
  // Text in a number column passes "进价 > 0" in the engine but is no price.
  store_->exec("UPDATE 库清单 SET 进价 = 'abc' WHERE 发票号 = 'R2'");
  EXPECT_EQ(failure(), db::kErrTypeMismatch);
  const auto after = lines();
  EXPECT_EQ(after[2].cost, 10.0);  // the whole line before the failure stays
  EXPECT_EQ(after[2].settled, -1);
  EXPECT_EQ(after[0].available, 2.0);  // drawn by that line only, not by the failing one
  EXPECT_EQ(after[0].settled, -1);
  EXPECT_EQ(after[1].available, 4.0);
  EXPECT_EQ(after[1].settled, 0);
  EXPECT_EQ(after[3].settled, 0);
  EXPECT_FALSE(after[3].cost);
}

TEST_P(LPartTest, AFailureKeepsWhatEarlierLinesOfTheItemDrewFromOneReceipt) {
  if (engine() == Engine::kPostgres) GTEST_SKIP() << "a server's number column holds numbers only";
  Ledger l;
  l.docs = {{"R1", "2011-01-01", "入货"},
            {"R2", "2011-01-02", "入货"},
            {"S1", "2011-02-01", "销货"},
            {"S2", "2011-02-02", "销货"},
            {"S3", "2011-02-03", "销货"}};
  l.lines = {receipt("R1", "A", 10, 10.0), receipt("R2", "A", 4, 12.0), outgoing("S1", "A", 1, 15),
             outgoing("S2", "A", 2, 30), outgoing("S3", "A", 8, 99)};
  make(l);
  store_->exec("UPDATE 库清单 SET 进价 = 'abc' WHERE 发票号 = 'R2'");
  EXPECT_EQ(failure(), db::kErrTypeMismatch);
  const auto after = lines();
  EXPECT_EQ(after[0].available, 7.0);  // S1 and S2 drew 3; S3's draw of the other 7 is taken back
  EXPECT_EQ(after[0].settled, -1);
  EXPECT_EQ(after[3].cost, 20.0);
  EXPECT_EQ(after[3].settled, -1);
  EXPECT_EQ(after[4].settled, 0);
  EXPECT_FALSE(after[4].cost);
}

// The year database with a hand in its transactions: another user's commit
// right after the run's first one, commits or rollbacks the engine refuses.
class MeddledDatabase : public db::Database {
 public:
  explicit MeddledDatabase(std::unique_ptr<db::Database> inner) : inner_(std::move(inner)) {}
  std::function<void()> afterFirstCommit;
  int commitsToRefuse = 0;  // outermost commits that fail, the transaction left open
  int rollbacksToRefuse = 0;

  std::unique_ptr<db::Recordset> openRecordset(const std::string& source) override {
    return inner_->openRecordset(source);
  }
  void execute(const std::string& sql, bool failOnError) override {
    inner_->execute(sql, failOnError);
  }
  void beginTrans() override {
    inner_->beginTrans();
    ++depth_;
  }
  void commitTrans() override {
    if (depth_ == 1 && commitsToRefuse > 0 && commitsToRefuse--)
      throw db::DbError(db::kErrLocked, "The database is locked (refused commit).");
    inner_->commitTrans();
    if (--depth_ == 0 && afterFirstCommit) std::exchange(afterFirstCommit, nullptr)();
  }
  void rollback() override {
    if (rollbacksToRefuse > 0 && rollbacksToRefuse--)
      throw db::DbError(db::kErrEngine, "refused rollback");
    inner_->rollback();
    --depth_;
  }
  int64_t dataVersion() override { return inner_->dataVersion(); }
  bool inTransaction() override {
    if (!inner_->inTransaction()) depth_ = 0;
    return depth_ > 0;
  }
  void close() override { inner_->close(); }

 private:
  std::unique_ptr<db::Database> inner_;
  int depth_ = 0;
};

template <class Configure>
void LPartTest::runMeddled(size_t linesPerCommit, Configure configure) {
  fifocost::Services services;
  services.openDatabase = [&](const std::string& path,
                              const std::string& connect) -> std::unique_ptr<db::Database> {
    auto inner = db::openDatabase(path, connect);
    if (path != yearDb_) return inner;
    auto year = std::make_unique<MeddledDatabase>(std::move(inner));
    configure(*year);
    return year;
  };
  fifocost::Options options;
  options.mode = std::get<1>(GetParam());
  options.linesPerCommit = linesPerCommit;
  fifocost::LPart(appDb_, services, options);
}

TEST_P(LPartTest, AnotherUsersCommitBetweenItemsIsSeen) {
  Ledger l;
  l.docs = {
      {"R1", "2011-01-01", "入货"}, {"R2", "2011-01-02", "入货"}, {"S1", "2011-02-01", "销货"}};
  l.lines = {receipt("R1", "A", 5, 10.0), receipt("R1", "B", 5, 10.0), receipt("R2", "B", 5, 20.0),
             outgoing("S1", "A", 1, 15), outgoing("S1", "B", 2, 50)};
  make(l);
  runMeddled(1, [&](MeddledDatabase& year) {
    year.afterFirstCommit = [&] {
      // B's older receipt is withdrawn and a cheaper, still older one entered.
      store_->exec(
          "UPDATE 库清单 SET 进价 = 0 WHERE 编号 = 'B' AND 发票号 = 'R1';"
          "INSERT INTO 库单 VALUES ('R0', '2010-12-31', '期初');"
          "INSERT INTO 库清单 (发票号, 编号, 数量, 进价, 销合, 问题) VALUES ('R0', "
          "'B', 1, 1, 1, 0);");
    };
  });
  const auto after = lines();
  EXPECT_EQ(after[3].cost, 10.0);
  EXPECT_EQ(after[4].cost, 21.0);  // 1 at 1.0 from the new receipt, 1 at 20.0
  EXPECT_EQ(after[1].available, 5.0);
  EXPECT_EQ(after[2].available, 4.0);
  EXPECT_EQ(after[5].available, 0.0);
}

TEST_P(LPartTest, ACommitRefusedOnceAndThenTakenLetsTheRunGoOn) {
  make(workedExample());
  runMeddled(1, [](MeddledDatabase& year) { year.commitsToRefuse = 1; });
  EXPECT_EQ(lines()[2].cost, 54.0);

  // Refused on the retry too: that failure is shown and nothing is half done.
  fs::remove(appDb_);
  make(workedExample());
  const auto before = lines();
  try {
    runMeddled(1, [](MeddledDatabase& year) { year.commitsToRefuse = 2; });
    ADD_FAILURE() << "no failure shown";
  } catch (const db::DbError& e) {
    EXPECT_EQ(e.number(), db::kErrLocked);
  }
  EXPECT_EQ(lines(), before);
}

TEST_P(LPartTest, ARollbackRefusedAfterAFailureLeavesThatFailureShown) {
  if (engine() == Engine::kPostgres) GTEST_SKIP() << "a server's number column holds numbers only";
  make(workedExample());
  store_->exec("UPDATE 库清单 SET 进价 = 'abc' WHERE 发票号 = 'R2'");
  try {
    runMeddled(1, [](MeddledDatabase& year) { year.rollbacksToRefuse = 1; });
    ADD_FAILURE() << "no failure shown";
  } catch (const db::DbError& e) {
    EXPECT_EQ(e.number(), db::kErrTypeMismatch);
  }
  const auto after = lines();
  EXPECT_EQ(after[2].settled, 0);
  EXPECT_EQ(after[1].available, 3.0);  // no half line kept
}

INSTANTIATE_TEST_SUITE_P(
    BothEnginesAndReadModes, LPartTest,
    ::testing::Combine(::testing::Values(Engine::kSqlite, Engine::kPostgres),
                       ::testing::Values(ReadMode::kSnapshot, ReadMode::kPerStatement)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param) == Engine::kSqlite ? "Sqlite" : "Postgres") +
             (std::get<1>(info.param) == ReadMode::kSnapshot ? "Snapshot" : "PerStatement");
    });

TEST(LPartStatements, AreWrittenInTheOriginalDialect) {
  EXPECT_EQ(fifocost::outgoingLinesQuery(db::Value(std::string("A001")), "2012-01-01"),
            "SELECT 库清单.编号, 库单.日期, 库单.类别, 库清单.销数, 库清单.本价, 库清单.成本, "
            "库清单.毛利, 库清单.问题 "
            "FROM 库单 INNER JOIN 库清单 ON 库单.发票号 = 库清单.发票号 WHERE "
            "(((库清单.编号)='A001') AND "
            "((库单.日期)<#2012-01-01#) AND ((库单.类别)='销货' Or (库单.类别)='出货' Or "
            "(库单.类别)='损溢') AND "
            "((库清单.问题)=0)) ORDER BY 库单.日期;");
  EXPECT_EQ(fifocost::openReceiptsQuery(db::Value(std::string("O'B"))),
            "SELECT 库清单.编号, 库单.日期, 库单.类别, 库清单.数量, 库清单.进价, 库清单.销合, "
            "库清单.问题 FROM 库单 "
            "INNER JOIN 库清单 ON 库单.发票号 = 库清单.发票号 WHERE (((库清单.编号)='O''B') AND "
            "((库单.类别)='期初' "
            "Or (库单.类别)='入货') AND ((库清单.进价)>0) AND ((库清单.销合)>0)) ORDER BY "
            "库单.日期, 库单.类别;");
}

TEST(LPartNumbers, QuantitiesAreReadAsText) {
  EXPECT_EQ(fifocost::toNumber(db::Value(std::string(" 2.5 ")), "销数"), 2.5);
  EXPECT_EQ(fifocost::toNumber(db::Value(int64_t{-3}), "销数"), -3.0);
  EXPECT_EQ(fifocost::toNumber(db::Value(std::string("1e2")), "销数"), 100.0);
  EXPECT_EQ(fifocost::toNumber(db::Value(0.1 + 0.2), "销数"), 0.3);  // fifteen digits, as text
  for (const char* bad : {"", "abc", "1.2.3", "nan", "inf", "0x10", "5kg", "-", "1e400", "-1e400"})
    EXPECT_THROW(fifocost::toNumber(db::Value(std::string(bad)), "销数"), db::DbError) << bad;
  EXPECT_THROW(fifocost::toNumber(db::Value(db::Null{}), "销数"), db::DbError);
}

}  // namespace
