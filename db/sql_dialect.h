#pragma once
// Translation of statements written in the original engine's dialect into
// SQLite's. Pure text work plus two questions about the schema, so it can be
// tested without a database.
#include <functional>
#include <string>
#include <vector>

namespace db::dialect {

// Name of the collation registered on every connection for ORDER BY on text.
inline constexpr const char* kTextCollation = "ZHCN";
// The engine's own collation that conditions and GROUP BY use on text
// columns compared with a value or grouped on: the original engine compares
// text without regard to letter case (ASCII letters here).
inline constexpr const char* kCaseBlindCollation = "NOCASE";

struct SchemaLookup {
  // True when `column` of `table` is declared with text affinity.
  std::function<bool(const std::string& table, const std::string& column)> isTextColumn;
  // True when `table` is an ordinary table with a rowid.
  std::function<bool(const std::string& table)> hasRowid;
};

struct TableRef {
  std::string name;
  std::string alias;  // empty when none
  const std::string& qualifier() const { return alias.empty() ? name : alias; }
};

struct Translated {
  std::string sql;
  bool isSelect = false;
  // SELECT only: the tables whose rowids lead the result columns, in order
  // (empty when the result cannot be updated: grouped, distinct, union).
  std::vector<TableRef> rowidTables;
};

enum class Purpose { kQuery, kActionFailOnError, kActionSkipFailures };

// Throws DbError(kErrSyntax) for an unreadable date literal or an
// unterminated quote or bracket.
Translated translate(const std::string& sql, const SchemaLookup& schema, Purpose purpose);

// The text between two '#': yyyy-mm-dd, yyyy/mm/dd or m/d/yyyy, with an
// optional hh:mm[:ss]; returns "yyyy-mm-dd" or "yyyy-mm-dd hh:mm:ss".
std::string normalizeDateLiteral(const std::string& inner);

// Names compared as the engine compares them: ASCII letters without case.
char lowerAscii(char c);
bool sameName(const std::string& a, const std::string& b);
// A name as an SQLite identifier, in double quotes.
std::string quoteIdent(const std::string& name);

// Prefix of the rowid columns added to an updatable SELECT.
inline constexpr const char* kRowidColumnPrefix = "__rowid_";

}  // namespace db::dialect
