#include "db/database.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("db_test_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  // A database file made with plain SQLite, outside the layer under test.
  std::string makeDb(const std::string& name, const std::string& script) const {
    const std::string p = path(name);
    sqlite3* h = nullptr;
    EXPECT_EQ(sqlite3_open(p.c_str(), &h), SQLITE_OK);
    char* err = nullptr;
    EXPECT_EQ(sqlite3_exec(h, script.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
    sqlite3_free(err);
    sqlite3_close(h);
    return p;
  }

  std::string query(const std::string& file, const std::string& sql) const {
    sqlite3* h = nullptr;
    sqlite3_open(file.c_str(), &h);
    std::string out;
    sqlite3_exec(
        h, sql.c_str(),
        [](void* o, int n, char** v, char**) {
          auto* s = static_cast<std::string*>(o);
          for (int i = 0; i < n; ++i) *s += std::string(i ? "|" : (s->empty() ? "" : "\n")) + (v[i] ? v[i] : "NULL");
          return 0;
        },
        &out, nullptr);
    sqlite3_close(h);
    return out;
  }

  static int errorOf(const std::function<void()>& f) {
    try {
      f();
    } catch (const db::DbError& e) {
      EXPECT_FALSE(std::string(e.what()).empty());
      return e.number();
    }
    return 0;
  }

  fs::path dir_;
};

const char* kSettings =
    "CREATE TABLE usysbookind (id INTEGER PRIMARY KEY, yearnew DATETIME, appath TEXT, path TEXT, dbpath TEXT);"
    "INSERT INTO usysbookind (yearnew, appath, path, dbpath) VALUES ('2011-01-01', 'old', 'old', 'x.db');"
    "INSERT INTO usysbookind (yearnew, appath, path, dbpath) VALUES ('2012-01-01', 'second', 'second', 'y');";

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
  EXPECT_EQ(query(file, "SELECT yearnew, appath, path FROM usysbookind ORDER BY id"),
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
  EXPECT_EQ(query(file, "SELECT path FROM usysbookind WHERE id = 1"), "old");
}

TEST_F(DatabaseTest, OpenFailuresCarryTheirNumbers) {
  const std::string missing = path("missing.db");
  EXPECT_EQ(errorOf([&] { db::openDatabase(missing); }), db::kErrFileNotFound);
  EXPECT_FALSE(fs::exists(missing)) << "opening must never create the file";

  {
    std::ofstream(path("notes.txt")) << "this is not a database file, just some text that is long enough";
  }
  EXPECT_EQ(errorOf([&] { db::openDatabase(path("notes.txt")); }), db::kErrNotADatabase);
  std::ofstream(path("empty.db")).close();
  EXPECT_EQ(errorOf([&] { db::openDatabase(path("empty.db")); }), db::kErrNotADatabase);
  EXPECT_EQ(fs::file_size(path("empty.db")), 0u);
  EXPECT_EQ(errorOf([&] { db::openDatabase(dir_.string()); }), db::kErrCannotOpen);
}

TEST_F(DatabaseTest, RecordsetFailuresCarryTheirNumbers) {
  const std::string file = makeDb("work.db", std::string(kSettings) + "CREATE TABLE blank (a TEXT);");
  auto database = db::openDatabase(file);
  EXPECT_EQ(errorOf([&] { database->openRecordset("usysbookind2"); }), db::kErrNoSuchTable);
  EXPECT_EQ(errorOf([&] { database->openRecordset("SELECT * FROM nowhere;"); }), db::kErrNoSuchTable);

  auto empty = database->openRecordset("blank");
  EXPECT_EQ(empty->recordCount(), 0);
  EXPECT_TRUE(empty->eof());
  EXPECT_EQ(errorOf([&] { empty->edit(); }), db::kErrNoCurrentRecord);
  EXPECT_EQ(errorOf([&] { empty->field("a"); }), db::kErrNoCurrentRecord);

  auto rs = database->openRecordset("usysbookind");
  EXPECT_EQ(errorOf([&] { rs->field("nosuch"); }), db::kErrNoSuchField);
  EXPECT_EQ(errorOf([&] { rs->setField("path", db::Value(std::string("x"))); }), db::kErrNotEditMode);
  rs->edit();
  EXPECT_EQ(errorOf([&] { rs->setField("nosuch", db::Value(std::string("x"))); }), db::kErrNoSuchField);
  rs->close();
  EXPECT_EQ(errorOf([&] { rs->eof(); }), db::kErrObjectClosed);
  database->close();
  EXPECT_EQ(errorOf([&] { database->openRecordset("usysbookind"); }), db::kErrObjectClosed);
}

}  // namespace
