#pragma once
// Where a test's year database lives: an SQLite file, or a database of its own
// on the test run's PostgreSQL server (tests/pg/fixture.sh). Written and read
// back outside the layer under test (plain SQLite, libpq).
#include <memory>
#include <string>
#include <vector>

#include "fifocost/testing/ledger.h"

namespace fifocost::testing {

enum class Engine { kSqlite, kPostgres };

class YearStore {
 public:
  virtual ~YearStore() = default;
  virtual Engine engine() const = 0;
  // The value of usysbookind.dbpath that names it.
  virtual std::string dbpath() const = 0;
  // Creates the stock tables holding `ledger` (anything there before is gone).
  virtual void write(const Ledger& ledger) = 0;
  virtual std::vector<Line> lines() = 0;
  // Runs statements in the engine's own SQL.
  virtual void exec(const std::string& sql) = 0;
  // Changes whenever anything is written, even the same values again.
  virtual std::string fingerprint() = 0;
  // Makes the year database unreachable (the file deleted, the database dropped).
  virtual void remove() = 0;
};

// `file`: the SQLite file; `name`: the server database's name (made of
// letters, digits and '_'), dropped again with the store.
std::unique_ptr<YearStore> makeSqliteStore(const std::string& file);
std::unique_ptr<YearStore> makePostgresStore(const std::string& name);

// The test run's server, from $KIT_PG_STATE/env.
struct PgServer {
  std::string host, port, user, password;
  // "ODBC;Driver={PostgreSQL Unicode};Server=...;Database=<database>;..."
  std::string odbcPath(const std::string& database, const std::string& password) const;
  std::string odbcPath(const std::string& database) const {
    return odbcPath(database, this->password);
  }
  // A libpq connection string.
  std::string libpq(const std::string& database) const;
};
// Throws when the test is run without the fixture.
PgServer pgServer();

// A database name from a test's name: lower-case letters, digits and '_'.
std::string databaseName(const std::string& testName);

}  // namespace fifocost::testing
