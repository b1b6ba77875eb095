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
inline constexpr int kErrCannotOpen = 3051;        // exists but cannot be opened (rights, folder)
inline constexpr int kErrNotEditMode = 3020;       // Update or field assignment without Edit
inline constexpr int kErrNotUpdatable = 3164;      // field cannot be updated
inline constexpr int kErrRecordDeleted = 3167;     // the row is gone from its table
inline constexpr int kErrEngine = 3146;            // any other engine failure
inline constexpr int kErrReadOnly = 3027;          // database or object is read-only
inline constexpr int kErrTooFewParameters = 3061;  // a name in a statement is no field
inline constexpr int kErrNoTransaction = 3034;     // commit or rollback without begin
inline constexpr int kErrObjectClosed = 3420;      // object invalid or no longer set
inline constexpr int kErrOdbcConnect =
    3151;  // "ODBC--connection failed": no driver, refused, bad login

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
  // Fields by position: fieldIndex finds a name once (no such field: DbError
  // 3265), so that a loop over many rows need not look it up every time.
  virtual int fieldIndex(const std::string& name) = 0;
  virtual Value field(int index) = 0;
  // Puts the current row into edit mode (no current row: DbError 3021).
  virtual void edit() = 0;
  virtual void setField(const std::string& name, const Value& value) = 0;
  virtual void setField(int index, const Value& value) = 0;
  // Stores the edited row at once.
  virtual void update() = 0;
  virtual void close() = 0;
  // Position of the current row, valid for this recordset only; goTo returns
  // to it (an edit in progress is dropped, as on any move).
  virtual long bookmark() = 0;
  virtual void goTo(long bookmark) = 0;
  // The stored row that field `index` of the current row comes from: equal
  // for the rows of a result that show the same row of that field's table (a
  // join can show one row several times); empty for an expression. A backend
  // whose results never repeat a stored row may keep this default.
  virtual std::string rowKey(int index) {
    (void)index;
    return std::to_string(bookmark());
  }
  // The same as a number, where the backend's rows have one (SQLite's
  // rowid): cheaper to keep and compare than rowKey, and in the table's own
  // order. nullopt where rowKey is the only identity.
  virtual std::optional<int64_t> rowNumber(int index) {
    (void)index;
    return std::nullopt;
  }
};

class Database {
 public:
  virtual ~Database() = default;
  // A table name or a SELECT statement.
  virtual std::unique_ptr<Recordset> openRecordset(const std::string& source) = 0;
  // Runs an action statement. With failOnError false, rows that cannot be
  // updated are passed over silently.
  virtual void execute(const std::string& sql, bool failOnError = false) = 0;
  // Transactions; nested calls make nested (savepoint) transactions. On a
  // file the outermost begin takes the write lock at once, so nobody else
  // commits while it is open; on a server other users' writes wait only for
  // the rows this transaction has written.
  virtual void beginTrans() = 0;
  virtual void commitTrans() = 0;
  virtual void rollback() = 0;
  // Whether a transaction is open. False also after the engine rolled one
  // back by itself (a full disk, an I/O error): nothing of it is left.
  virtual bool inTransaction() = 0;
  // A number that changes whenever another connection has committed a change
  // to the file since the last call (own changes leave it alone). On a
  // server it may also change when another user's commit touched nothing of
  // this database.
  virtual int64_t dataVersion() = 0;
  virtual void close() = 0;
};

// How long a commit waits for the disk. kScratch suits a file that is made
// anew from its source at every use (the launcher's day copy of the
// application database): commits do not wait for the disk, so a power cut
// may lose the last writes of the copy, never anything of the source.
enum class Durability { kFull, kScratch };

// Opens an existing database, shared and writable.
//
// A `path` that begins with "ODBC;" (any letter case) is an ODBC connection
// string after that prefix, for a database on a PostgreSQL server
// (odbc_database.h): `connect` and `durability` do not apply, tables need a
// primary key for their rows to be saved through a row set, and writes lock
// rows, not the database. Failures to connect are DbError 3151 with the
// driver's description (the password left out).
//
// Any other `path` is a database file; a missing file is never created.
// `connect` is the original engine's connect string ("; pwd=..."): SQLite
// files carry no password, so it is accepted and ignored (the files'
// protection is the file system's).
//
// Dialect: statements use bracketed names, '...' or "..." text, #date#
// literals (yyyy-mm-dd or m/d/yyyy, optional time), True/False, and
// table-qualified SET targets; they are translated for the engine. A text column
// compared with a value or grouped on ignores ASCII letter case, as in the
// original engine (a comparison of two columns, a join, stays by bytes so
// that indexes serve it), but ORDER BY on a text column uses the zh-CN collation
// (pinyin order: '期初' before '入货'), and a SELECT that is ordered and not
// grouped gets the entry order (rowid) of its tables as the last keys, the
// table named last first (the detail table of a master-detail join), so
// equal keys come back in the order the rows were entered.
// A SELECT over one or more tables opens as an updatable row set: an
// assigned field is written to the row of the table it comes from.
// Recordsets hold their rows in memory from the moment they are opened.
std::unique_ptr<Database> openDatabase(const std::string& path, const std::string& connect = "",
                                       Durability durability = Durability::kFull);

}  // namespace db
