#pragma once
// The SQLite backend: a database file (see openDatabase in database.h).
#include <memory>
#include <string>

#include "db/database.h"

namespace db {

std::unique_ptr<Database> openSqliteDatabase(const std::string& path, Durability durability);

}  // namespace db
