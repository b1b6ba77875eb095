#pragma once
// An ODBC connection with wide-character calls, for the ODBC backend: handles,
// text conversion, and the driver's diagnostics as DbError. One thread.
#ifdef _WIN32
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

#include <memory>
#include <string>

#include "db/database.h"

namespace db::odbc {

using WText = std::basic_string<SQLWCHAR>;
WText widen(const std::string& utf8);
std::string narrow(const SQLWCHAR* text, size_t length);

// The connection string as it may be shown: the password replaced by "***".
std::string withoutPassword(const std::string& connect);

// Throws the diagnostics of handle `h` as a DbError numbered by their SQLSTATE;
// `context` says what was being done.
[[noreturn]] void throwDiagnostics(SQLSMALLINT type, SQLHANDLE h, const std::string& context);

class Statement {
 public:
  explicit Statement(SQLHDBC dbc);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  SQLHSTMT get() const { return h_; }
  // Checks a call's result on this statement.
  void check(SQLRETURN rc, const std::string& context) const;

 private:
  SQLHSTMT h_ = SQL_NULL_HSTMT;
};

class Connection {
 public:
  // Connects with the driver's connection string (without the "ODBC;" prefix).
  explicit Connection(const std::string& connect);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool isOpen() const { return dbc_ != SQL_NULL_HDBC; }
  SQLHDBC handle() const;
  void close();
  // What the connection reaches, for messages (no password).
  const std::string& target() const { return target_; }
  std::string dbmsName();
  // Runs a statement that returns no rows the caller needs.
  void exec(const std::string& sql);
  // The first column of the first row as text ("" when none).
  std::string scalar(const std::string& sql);
  void setAutocommit(bool on);
  void endTransaction(bool commit);

 private:
  SQLHENV env_ = SQL_NULL_HENV;
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  std::string target_;
};

}  // namespace db::odbc
