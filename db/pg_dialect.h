#pragma once
// Translation of statements written in the original engine's dialect into
// PostgreSQL's, for the ODBC backend. Pure text work plus two questions about
// the schema, so it can be tested without a server.
#include <functional>
#include <string>
#include <vector>

#include "db/sql_dialect.h"

namespace db::pg {

// The zh-CN (pinyin) order of the server's ICU.
inline constexpr const char* kZhCollation = "\"zh-x-icu\"";
// Prefix of the key columns added to an updatable SELECT.
inline constexpr const char* kKeyColumnPrefix = "__key_";

struct Schema {
  // True when `column` of `table` holds text (names as written in statements).
  std::function<bool(const std::string& table, const std::string& column)> isTextColumn;
  // The primary-key columns of `table` as the server spells them; empty when
  // it has none (its rows cannot be saved through a row set).
  std::function<std::vector<std::string>(const std::string& table)> primaryKey;
};

struct KeyedTable {
  dialect::TableRef ref;
  std::vector<std::string> keys;
};

// One entry of a SELECT's list: where its values come from. `table` is empty
// for an expression; `star` stands for all the columns of `table` (or of the
// only table) from here on.
struct SelectItem {
  std::string table;
  std::string column;
  bool star = false;
};

struct Translated {
  std::string sql;
  bool isSelect = false;
  // SELECT only: tables whose key columns lead the result, in this order
  // (empty when the result cannot be updated: grouped, distinct, union).
  std::vector<KeyedTable> keyTables;
  std::vector<SelectItem> items;
};

// Bare names are folded to lower case by the server; bracketed ones are
// quoted, so they are folded here the same way (the original engine ignores
// the case of names).
std::string quoteName(const std::string& name);

// Besides the spelling: a date literal is compared by day (a time on that day
// matches a date without one), text columns are compared with text literals
// and grouped without regard to letter case, ORDER BY on text uses the zh-CN
// order, and an ordered SELECT ends with its tables' keys, the table named
// last first (entry order where the key is a counter).
// Throws DbError(kErrSyntax) as dialect::translate does.
Translated translate(const std::string& sql, const Schema& schema);

}  // namespace db::pg
