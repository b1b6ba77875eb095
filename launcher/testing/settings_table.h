#pragma once
// Test helpers that read and write the application database's settings
// table with plain SQLite, not through the layer under test.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <string>

namespace launcher::testing {

inline void sql(const std::filesystem::path& file, const std::string& statements) {
  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &handle), SQLITE_OK);
  char* err = nullptr;
  const int rc = sqlite3_exec(handle, statements.c_str(), nullptr, nullptr, &err);
  const std::string message = err ? err : "";
  sqlite3_free(err);
  sqlite3_close(handle);
  ASSERT_EQ(rc, SQLITE_OK) << message;
}

// yearnew, appath, path and dbpath of the first usysbookind row ("<null>"
// for an empty field); empty when the file or the row is not there.
inline std::map<std::string, std::string> settingsRow(const std::filesystem::path& file) {
  std::map<std::string, std::string> row;
  sqlite3* handle = nullptr;
  if (sqlite3_open_v2(file.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(handle);
    return row;
  }
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(handle, "SELECT yearnew, appath, path, dbpath FROM usysbookind", -1, &st,
                     nullptr);
  if (st && sqlite3_step(st) == SQLITE_ROW)
    for (int i = 0; i < 4; ++i) {
      const auto* text = sqlite3_column_text(st, i);
      row[sqlite3_column_name(st, i)] = text ? reinterpret_cast<const char*>(text) : "<null>";
    }
  sqlite3_finalize(st);
  sqlite3_close(handle);
  return row;
}

}  // namespace launcher::testing
