#pragma once
// The database engine layer: a small DAO-like surface over an embedded
// engine. The SQL the system issues is written in the original engine's
// dialect (bracketed names, #date# literals, table-qualified SET targets); a
// backend translates what its engine needs. Every failure throws db::DbError.
// Objects are used from one thread.
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

namespace db {

class DbError : public std::runtime_error {
 public:
  DbError(int number, const std::string& description)
      : std::runtime_error(description), number_(number) {}
  int number() const { return number_; }

 private:
  int number_;
};

// Error numbers, in the numbering of the original engine where one exists.
inline constexpr int kErrFileNotFound = 3024;     // "Could not find file"
inline constexpr int kErrNotADatabase = 3343;     // "Unrecognized database format"
inline constexpr int kErrNoSuchTable = 3078;      // "cannot find the input table or query"
inline constexpr int kErrNoCurrentRecord = 3021;  // "No current record"
inline constexpr int kErrNoSuchField = 3265;      // "Item not found in this collection"
inline constexpr int kErrLocked = 3050;           // "Could not lock file"
inline constexpr int kErrSyntax = 3075;           // statement the engine rejects
inline constexpr int kErrTypeMismatch = 13;

struct Null {
  bool operator==(const Null&) const = default;
};

// A field value. Dates are held as ISO 8601 text ("yyyy-mm-dd" or
// "yyyy-mm-dd hh:mm:ss"); booleans as the integers 0 and -1.
using Value = std::variant<Null, int64_t, double, std::string>;

std::string valueToText(const Value& v);  // Null gives ""

class Recordset {
 public:
  virtual ~Recordset() = default;
  virtual bool eof() = 0;
  virtual void moveFirst() = 0;
  virtual void moveNext() = 0;
  // The record count right after opening: 0 means no row at all.
  virtual long recordCount() = 0;
  virtual Value field(const std::string& name) = 0;
  // Puts the current row into edit mode (no current row: DbError 3021).
  virtual void edit() = 0;
  virtual void setField(const std::string& name, const Value& value) = 0;
  // Stores the edited row at once.
  virtual void update() = 0;
  virtual void close() = 0;
};

class Database {
 public:
  virtual ~Database() = default;
  // A table name or a SELECT statement.
  virtual std::unique_ptr<Recordset> openRecordset(const std::string& source) = 0;
  // Runs an action statement. With failOnError false, rows that cannot be
  // updated are passed over silently.
  virtual void execute(const std::string& sql, bool failOnError = false) = 0;
  virtual void close() = 0;
};

// Opens an existing database file. `connect` is the original engine's
// connect string ("; pwd=..."); the embedded SQLite engine has no passwords
// and accepts and ignores it.
std::unique_ptr<Database> openDatabase(const std::string& path, const std::string& connect = "");

}  // namespace db
