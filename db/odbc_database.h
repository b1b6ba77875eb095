#pragma once
// The ODBC backend: a database on a server, reached through the system's ODBC
// driver manager (unixODBC, or odbc32 on Windows).
#include <memory>
#include <string>

#include "db/database.h"

namespace db {

// Connects with an ODBC connection string (what follows "ODBC;" in a
// database path). Only PostgreSQL servers are accepted: statements are
// translated for its dialect.
std::unique_ptr<Database> openOdbcDatabase(const std::string& connect);

}  // namespace db
