// The choice of the engine behind a database path.
#include "db/database.h"
#include "db/odbc_database.h"
#include "db/sql_dialect.h"
#include "db/sqlite_database.h"

namespace db {

std::unique_ptr<Database> openDatabase(const std::string& path, const std::string& /*connect*/,
                                       Durability durability) {
  // The original engine's own prefix for a connect string to a server.
  static const std::string kOdbc = "ODBC;";
  if (path.size() >= kOdbc.size() && dialect::sameName(path.substr(0, kOdbc.size()), kOdbc))
    return openOdbcDatabase(path.substr(kOdbc.size()));
  return openSqliteDatabase(path, durability);
}

}  // namespace db
