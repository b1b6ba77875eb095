#include "tests/support/sql.h"

#include <sqlite3.h>

#include <memory>
#include <stdexcept>

namespace testsupport {
namespace {

struct CloseDb {
  void operator()(sqlite3* h) const { sqlite3_close(h); }
};
using Db = std::unique_ptr<sqlite3, CloseDb>;

Db open(const std::filesystem::path& file, int flags) {
  sqlite3* h = nullptr;
  const int rc = sqlite3_open_v2(file.string().c_str(), &h, flags, nullptr);
  Db db(h);
  if (rc != SQLITE_OK) db.reset();
  return db;
}

// Each row as (name, text) pairs in column order.
std::vector<std::vector<std::pair<std::string, std::string>>> select(
    const std::filesystem::path& file, const std::string& query) {
  std::vector<std::vector<std::pair<std::string, std::string>>> rows;
  Db db = open(file, SQLITE_OPEN_READONLY);
  sqlite3_stmt* st = nullptr;
  if (!db || sqlite3_prepare_v2(db.get(), query.c_str(), -1, &st, nullptr) != SQLITE_OK)
    return rows;
  while (sqlite3_step(st) == SQLITE_ROW) {
    auto& row = rows.emplace_back();
    for (int i = 0; i < sqlite3_column_count(st); ++i) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
      row.emplace_back(sqlite3_column_name(st, i), text ? text : "NULL");
    }
  }
  sqlite3_finalize(st);
  return rows;
}

}  // namespace

void runSql(const std::filesystem::path& file, const std::string& script) {
  Db db = open(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  if (!db) throw std::runtime_error("cannot open " + file.string());
  char* err = nullptr;
  const int rc = sqlite3_exec(db.get(), script.c_str(), nullptr, nullptr, &err);
  const std::string message = err ? err : "";
  sqlite3_free(err);
  if (rc != SQLITE_OK) throw std::runtime_error(message + " in " + script);
}

std::vector<Row> queryRows(const std::filesystem::path& file, const std::string& query) {
  std::vector<Row> rows;
  for (const auto& fields : select(file, query)) rows.emplace_back(fields.begin(), fields.end());
  return rows;
}

Row queryRow(const std::filesystem::path& file, const std::string& query) {
  auto rows = queryRows(file, query);
  return rows.empty() ? Row() : rows.front();
}

std::string queryText(const std::filesystem::path& file, const std::string& query) {
  std::string text;
  for (const auto& fields : select(file, query)) {
    if (!text.empty()) text += '\n';
    for (size_t i = 0; i < fields.size(); ++i) text += (i ? "|" : "") + fields[i].second;
  }
  return text;
}

}  // namespace testsupport
