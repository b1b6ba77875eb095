#include "db/database.h"

#include <gtest/gtest.h>
#include <unicode/uclean.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "tests/support/errors.h"
#include "tests/support/sql.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

class DatabaseTest : public testsupport::TempFolderTest {
 protected:
  // A database file made with plain SQLite, outside the layer under test.
  std::string makeDb(const std::string& name, const std::string& script) const {
    testsupport::runSql(path(name), script);
    return path(name);
  }
};

using testsupport::errorNumber;
using testsupport::queryText;

const char* kSettings =
    "CREATE TABLE usysbookind (id INTEGER PRIMARY KEY, yearnew DATETIME, appath TEXT, path TEXT, "
    "dbpath TEXT);"
    "INSERT INTO usysbookind (yearnew, appath, path, dbpath) VALUES ('2011-01-01', 'old', 'old', "
    "'x.db');"
    "INSERT INTO usysbookind (yearnew, appath, path, dbpath) VALUES ('2012-01-01', 'second', "
    "'second', 'y');";

TEST_F(DatabaseTest, EditsTheFirstRowOfATableByFieldName) {
  const std::string file = makeDb("work.db", kSettings);
  auto database = db::openDatabase(file);
  auto rs = database->openRecordset("usysbookind");
  EXPECT_EQ(rs->recordCount(), 2);
  rs->edit();
  rs->setField("yearnew", db::Value(std::string("2026-12-08")));
  rs->setField("APPATH", db::Value(std::string("\\\\server\\数据")));
  rs->setField("path", db::Value(std::string("C:\\Program Files\\店")));
  rs->update();
  EXPECT_EQ(db::valueToText(rs->field("appath")), "\\\\server\\数据");
  rs->close();
  database->close();
  EXPECT_EQ(queryText(file, "SELECT yearnew, appath, path FROM usysbookind ORDER BY id"),
            "2026-12-08|\\\\server\\数据|C:\\Program Files\\店\n2012-01-01|second|second");
}

TEST_F(DatabaseTest, AnEditIsStoredOnlyByUpdate) {
  const std::string file = makeDb("work.db", kSettings);
  {
    auto database = db::openDatabase(file, "; pwd=xq4817");  // the password is ignored
    auto rs = database->openRecordset("usysbookind");
    rs->edit();
    rs->setField("path", db::Value(std::string("changed")));
    EXPECT_EQ(db::valueToText(rs->field("path")), "changed");
    rs->moveNext();  // leaving the row drops the edit
  }
  EXPECT_EQ(queryText(file, "SELECT path FROM usysbookind WHERE id = 1"), "old");
}

TEST_F(DatabaseTest, OpenFailuresCarryTheirNumbers) {
  const std::string missing = path("missing.db");
  EXPECT_EQ(errorNumber([&] { db::openDatabase(missing); }), db::kErrFileNotFound);
  EXPECT_FALSE(fs::exists(missing)) << "opening must never create the file";

  { write("notes.txt", "this is not a database file, just some text that is long enough"); }
  EXPECT_EQ(errorNumber([&] { db::openDatabase(path("notes.txt")); }), db::kErrNotADatabase);
  write("empty.db", "");
  EXPECT_EQ(errorNumber([&] { db::openDatabase(path("empty.db")); }), db::kErrNotADatabase);
  EXPECT_EQ(fs::file_size(path("empty.db")), 0u);
  EXPECT_EQ(errorNumber([&] { db::openDatabase(root_); }), db::kErrCannotOpen);
}

TEST_F(DatabaseTest, RecordsetFailuresCarryTheirNumbers) {
  const std::string file =
      makeDb("work.db", std::string(kSettings) + "CREATE TABLE blank (a TEXT);");
  auto database = db::openDatabase(file);
  EXPECT_EQ(errorNumber([&] { database->openRecordset("usysbookind2"); }), db::kErrNoSuchTable);
  EXPECT_EQ(errorNumber([&] { database->openRecordset("SELECT * FROM nowhere;"); }),
            db::kErrNoSuchTable);

  auto empty = database->openRecordset("blank");
  EXPECT_EQ(empty->recordCount(), 0);
  EXPECT_TRUE(empty->eof());
  EXPECT_EQ(errorNumber([&] { empty->edit(); }), db::kErrNoCurrentRecord);
  EXPECT_EQ(errorNumber([&] { empty->field("a"); }), db::kErrNoCurrentRecord);

  auto rs = database->openRecordset("usysbookind");
  EXPECT_EQ(errorNumber([&] { rs->field("nosuch"); }), db::kErrNoSuchField);
  EXPECT_EQ(errorNumber([&] { rs->fieldIndex("nosuch"); }), db::kErrNoSuchField);
  EXPECT_EQ(errorNumber([&] { rs->field(99); }), db::kErrNoSuchField);
  EXPECT_EQ(db::valueToText(rs->field(rs->fieldIndex("PATH"))), "old");
  EXPECT_EQ(errorNumber([&] { rs->setField("path", db::Value(std::string("x"))); }),
            db::kErrNotEditMode);
  rs->edit();
  EXPECT_EQ(errorNumber([&] { rs->setField("nosuch", db::Value(std::string("x"))); }),
            db::kErrNoSuchField);
  rs->close();
  EXPECT_EQ(errorNumber([&] { rs->eof(); }), db::kErrObjectClosed);
  database->close();
  EXPECT_EQ(errorNumber([&] { database->openRecordset("usysbookind"); }), db::kErrObjectClosed);
}

const char* kLedger =
    "CREATE TABLE 库单 (发票号 TEXT, 日期 DATETIME, 类别 TEXT);"
    "CREATE TABLE 库清单 (发票号 TEXT, 编号 TEXT, 数量 REAL, 进价 REAL, 销合 REAL, 销数 REAL, 本价 "
    "REAL, 问题 "
    "INTEGER);"
    "INSERT INTO 库单 VALUES ('R2', '2011-01-05', '入货'), ('R1', '2011-01-05', '期初'), ('S1', "
    "'2011-02-01', '销货');"
    "INSERT INTO 库清单 VALUES ('R2', 'A', 4, 12, 4, NULL, NULL, 0), ('R1', 'A', 3, 10, 3, NULL, "
    "NULL, 0),"
    " ('S1', 'A', NULL, NULL, NULL, 5, NULL, 0), ('R2', 'B''x', 1, 1, 1, NULL, NULL, 0);";

TEST_F(DatabaseTest, JoinedRowSetWritesEachFieldToItsOwnTable) {
  const std::string file = makeDb("year.db", kLedger);
  auto database = db::openDatabase(file, "; pwd=xq4817");
  auto rs = database->openRecordset(
      "SELECT 库清单.编号, 库单.日期, 库单.类别, 库清单.销合, 库清单.问题 FROM 库单 INNER JOIN "
      "库清单 ON 库单.发票号 = "
      "库清单.发票号 WHERE (((库清单.编号)='A') AND ((库单.类别)='期初' Or (库单.类别)='入货') AND "
      "((库清单.进价)>0)) "
      "ORDER BY 库单.日期, 库单.类别;");
  ASSERT_EQ(rs->recordCount(), 2);
  // Same date: '期初' sorts before '入货' in pinyin order, though not by bytes.
  EXPECT_EQ(db::valueToText(rs->field("类别")), "期初");
  rs->edit();
  rs->setField("销合", db::Value(0.0));
  rs->setField("问题", db::Value(int64_t{-1}));
  rs->setField("库单.类别", db::Value(std::string("入货")));
  rs->update();
  rs->moveNext();
  EXPECT_EQ(db::valueToText(rs->field("销合")), "4");
  const long second = rs->bookmark();
  rs->moveNext();
  EXPECT_TRUE(rs->eof());
  rs->goTo(second);
  EXPECT_EQ(db::valueToText(rs->field("类别")), "入货");
  EXPECT_EQ(
      queryText(file, "SELECT 发票号, 销合, 问题 FROM 库清单 WHERE 编号 = 'A' ORDER BY rowid"),
      "R2|4.0|0\nR1|0.0|-1\nS1|NULL|0");
  EXPECT_EQ(queryText(file, "SELECT 类别 FROM 库单 WHERE 发票号 = 'R1'"), "入货");

  auto grouped =
      database->openRecordset("SELECT 编号, count(*) AS n FROM 库清单 GROUP BY 编号 ORDER BY 编号");
  grouped->edit();
  EXPECT_THROW(grouped->setField("编号", db::Value(std::string("x"))), db::DbError);
}

TEST_F(DatabaseTest, TiesComeBackInEntryOrder) {
  const std::string file = makeDb(
      "year.db",
      "CREATE TABLE 库单 (发票号 TEXT, 日期 TEXT, 类别 TEXT);"
      "CREATE TABLE 库清单 (发票号 TEXT, 编号 TEXT, 销数 REAL);"
      "INSERT INTO 库单 VALUES ('D2', '2011-03-01', '销货'), ('D1', '2011-03-01', '销货');"
      "INSERT INTO 库清单 VALUES ('D1', 'A', 1), ('D2', 'A', 2), ('D1', 'A', 3), ('D2', 'A', 4);");
  auto database = db::openDatabase(file);
  auto rs = database->openRecordset(
      "SELECT 库清单.销数 FROM 库单 INNER JOIN 库清单 ON 库单.发票号 = 库清单.发票号 ORDER BY "
      "库单.日期;");
  std::string order;
  for (; !rs->eof(); rs->moveNext()) order += db::valueToText(rs->field("销数"));
  EXPECT_EQ(order, "1234");
}

TEST_F(DatabaseTest, ExecuteTranslatesTheDialectAndCanPassOverFailingRows) {
  const std::string file =
      makeDb("year.db", std::string(kLedger) + "CREATE UNIQUE INDEX u ON 库清单(销合);");
  auto database = db::openDatabase(file);
  database->execute(
      "UPDATE 库清单 SET 库清单.本价 = [进价]*2, 库清单.问题 = True WHERE "
      "(((库清单.编号)='B''x'));");
  EXPECT_EQ(queryText(file, "SELECT 本价, 问题 FROM 库清单 WHERE 编号 = 'B''x'"), "2.0|-1");
  // Setting every 销合 to 1 breaks the unique index on all rows but one.
  EXPECT_EQ(errorNumber([&] { database->execute("UPDATE 库清单 SET 库清单.销合 = 1;", true); }),
            db::kErrEngine);
  EXPECT_EQ(queryText(file, "SELECT count(*) FROM 库清单 WHERE 销合 = 1"), "1");
  database->execute("UPDATE 库清单 SET 库清单.销合 = 7;", false);
  EXPECT_EQ(queryText(file, "SELECT count(*) FROM 库清单 WHERE 销合 = 7"), "1");
  EXPECT_EQ(
      errorNumber([&] { database->execute("UPDATE 库清单 SET 库清单.销合 = #2011-02-30#;"); }),
      db::kErrSyntax);
  EXPECT_EQ(errorNumber([&] { database->execute("UPDATE 库清单 SET nosuch = 1;"); }),
            db::kErrTooFewParameters);
}

TEST_F(DatabaseTest, TransactionsNestAndOtherWritersShowInTheDataVersion) {
  const std::string file = makeDb("work.db", kSettings);
  auto database = db::openDatabase(file);
  const int64_t v0 = database->dataVersion();
  EXPECT_FALSE(database->inTransaction());
  database->beginTrans();
  database->execute("UPDATE usysbookind SET path = 'outer' WHERE id = 1");
  database->beginTrans();
  database->execute("UPDATE usysbookind SET path = 'inner' WHERE id = 2");
  database->rollback();
  EXPECT_TRUE(database->inTransaction());
  database->commitTrans();
  EXPECT_FALSE(database->inTransaction());
  EXPECT_EQ(queryText(file, "SELECT path FROM usysbookind ORDER BY id"), "outer\nsecond");
  EXPECT_EQ(database->dataVersion(), v0);
  EXPECT_EQ(errorNumber([&] { database->commitTrans(); }), db::kErrNoTransaction);

  testsupport::runSql(file, "UPDATE usysbookind SET path = 'other'");
  EXPECT_NE(database->dataVersion(), v0);
}

TEST_F(DatabaseTest, ASavedRowShowsWhatItsColumnsStored) {
  const std::string file = makeDb("t.db",
                                  "CREATE TABLE t (i INTEGER, r REAL, n NUMERIC, x TEXT, b); "
                                  "INSERT INTO t VALUES (0, 0, 0, 0, 0);");
  auto database = db::openDatabase(file);
  auto rs = database->openRecordset("SELECT t.i, t.r, t.n, t.x, t.b FROM t ORDER BY t.i");
  rs->edit();
  rs->setField("i", db::Value(2.0));
  rs->setField("r", db::Value(int64_t{3}));
  rs->setField("n", db::Value(2.5));
  rs->setField("x", db::Value(7.0));
  rs->setField("b", db::Value(std::string("08")));
  rs->update();
  EXPECT_EQ(rs->field("i"), db::Value(int64_t{2}));
  EXPECT_EQ(rs->field("r"), db::Value(3.0));
  EXPECT_EQ(rs->field("n"), db::Value(2.5));
  EXPECT_EQ(rs->field("x"), db::Value(std::string("7.0")));
  EXPECT_EQ(rs->field("b"), db::Value(std::string("08")));
  rs->edit();
  rs->setField("n", db::Value(std::string(" 12 ")));
  rs->setField("i", db::Value(std::string("x")));
  rs->update();
  EXPECT_EQ(rs->field("n"), db::Value(int64_t{12}));
  EXPECT_EQ(rs->field("i"), db::Value(std::string("x")));
  EXPECT_EQ(queryText(file, "SELECT typeof(i), typeof(r), typeof(n), typeof(x), typeof(b) FROM t"),
            "text|real|integer|text|text");

  testsupport::runSql(file, "DELETE FROM t");
  rs->edit();
  rs->setField("r", db::Value(1.0));
  EXPECT_EQ(errorNumber([&] { rs->update(); }), db::kErrRecordDeleted);
}

TEST_F(DatabaseTest, TextComparesAndGroupsWithoutLetterCaseButSortsInPinyin) {
  const std::string file =
      makeDb("year.db",
             "CREATE TABLE 库单 (发票号 TEXT, 类别 TEXT);"
             "CREATE TABLE 库清单 (发票号 TEXT, 编号 TEXT);"
             "INSERT INTO 库单 VALUES ('D1', '入货'), ('D1', '期初');"
             "INSERT INTO 库清单 VALUES ('D1', 'ABC-1'), ('D1', 'abc-1'), ('D1', 'Abd');");
  auto database = db::openDatabase(file);
  auto grouped = database->openRecordset(
      "SELECT 库清单.编号, count(*) AS n FROM 库清单 WHERE (((库清单.编号)<>'ABD')) GROUP BY "
      "库清单.编号;");
  ASSERT_EQ(grouped->recordCount(), 1);
  EXPECT_EQ(db::valueToText(grouped->field("n")), "2");
  // Compared with a value, without case; the order stays pinyin.
  auto rs = database->openRecordset(
      "SELECT 库清单.编号, 库单.类别 FROM 库单 INNER JOIN 库清单 ON 库单.发票号 = 库清单.发票号 "
      "WHERE "
      "(((库清单.编号)='abc-1')) ORDER BY 库单.类别;");
  ASSERT_EQ(rs->recordCount(), 4);
  EXPECT_EQ(db::valueToText(rs->field("类别")), "期初");
  // Each stored line shows twice (two documents): its key says which.
  std::map<std::string, int> shown;
  const int code = rs->fieldIndex("编号");
  for (; !rs->eof(); rs->moveNext()) {
    ++shown[rs->rowKey(code)];
    // Where the row has a number, it is the same identity.
    if (const auto n = rs->rowNumber(code)) {
      EXPECT_EQ(std::to_string(*n), rs->rowKey(code));
    }
  }
  EXPECT_EQ(shown.size(), 2u);
  for (const auto& [key, n] : shown) EXPECT_EQ(n, 2) << key;
}

// The collator cannot be had when the platform's library cannot allocate:
// opening a database reports it (the engine's sort could not).
void* failingAlloc(const void*, size_t) {
  return nullptr;
}
void* failingRealloc(const void*, void*, size_t) {
  return nullptr;
}
void plainFree(const void*, void* p) {
  std::free(p);
}

TEST_F(DatabaseTest, AMissingCollatorIsAnErrorOfOpening) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string file = makeDb("x.db", "CREATE TABLE t (a TEXT);");
  EXPECT_EXIT(
      {
        UErrorCode status = U_ZERO_ERROR;
        u_setMemoryFunctions(nullptr, failingAlloc, failingRealloc, plainFree, &status);
        const int number = errorNumber([&] { db::openDatabase(file); });
        std::exit(number == db::kErrEngine ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
