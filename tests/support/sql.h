#pragma once
// Plain SQLite on a database file, outside the layer a test checks: make
// fixtures with a script, read back what the code under test stored.
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// A row by column name; a NULL field reads "NULL".
using Row = std::map<std::string, std::string>;

// Runs the statements on the file (made when missing). Throws
// std::runtime_error with the engine's message when one fails.
void runSql(const std::filesystem::path& file, const std::string& script);

// The rows `query` gives. Empty when the file cannot be opened read-only or
// the query does not run (say, its table is not there).
std::vector<Row> queryRows(const std::filesystem::path& file, const std::string& query);
// The first of them, or an empty row.
Row queryRow(const std::filesystem::path& file, const std::string& query);
// The rows as text, fields joined by '|' and rows by '\n': short to compare.
std::string queryText(const std::filesystem::path& file, const std::string& query);

}  // namespace testsupport
