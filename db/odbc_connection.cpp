#include "db/odbc_connection.h"

#include <vector>

#include "db/sql_dialect.h"

namespace db::odbc {
namespace {

struct Diagnostic {
  std::string state, message;
};

std::vector<Diagnostic> diagnostics(SQLSMALLINT type, SQLHANDLE h) {
  std::vector<Diagnostic> out;
  for (SQLSMALLINT i = 1; i < 20; ++i) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLWCHAR text[1024];
    SQLSMALLINT len = 0;
    const SQLRETURN rc = SQLGetDiagRecW(type, h, i, state, &native, text, 1024, &len);
    if (!SQL_SUCCEEDED(rc)) break;
    std::string message = narrow(text, static_cast<size_t>(std::min<SQLSMALLINT>(len, 1023)));
    while (!message.empty() &&
           (message.back() == '\n' || message.back() == ';' || message.back() == ' '))
      message.pop_back();
    out.push_back({narrow(state, 5), message});
  }
  return out;
}

bool startsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

// The number of the original engine for a SQLSTATE (ODBC's, or the server's
// own class codes, which psqlODBC passes on).
int numberOf(const std::string& state) {
  if (state == "42P01") return kErrNoSuchTable;
  if (state == "42703") return kErrTooFewParameters;
  if (state == "22P02" || state == "22003" || state == "42804") return kErrTypeMismatch;
  if (state == "55P03" || state == "40P01" || state == "40001" || state == "HYT00")
    return kErrLocked;
  if (state == "25006") return kErrReadOnly;
  if (startsWith(state, "42")) return kErrSyntax;
  if (startsWith(state, "08") || startsWith(state, "28") || state == "IM002" || state == "IM003" ||
      state == "3D000")
    return kErrOdbcConnect;
  return kErrEngine;
}

}  // namespace

WText widen(const std::string& s) {
  WText out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    char32_t cp = 0xFFFD;
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) {
      n = 1;  // not UTF-8: one replacement character per byte
    } else {
      cp = n == 1 ? c : c & (0x7F >> n);
      for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<SQLWCHAR>(0xD800 + (cp >> 10));
      out += static_cast<SQLWCHAR>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<SQLWCHAR>(cp);
    }
    i += n;
  }
  return out;
}

std::string narrow(const SQLWCHAR* w, size_t length) {
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    char32_t cp = static_cast<char16_t>(w[i]);
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < length && w[i + 1] >= 0xDC00 && w[i + 1] < 0xE000)
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char16_t>(w[++i]) - 0xDC00);
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

std::string withoutPassword(const std::string& connect) {
  std::string out;
  size_t i = 0;
  while (i < connect.size()) {
    size_t end = connect.find(';', i);
    if (end == std::string::npos) end = connect.size();
    std::string part = connect.substr(i, end - i);
    const size_t eq = part.find('=');
    std::string key = part.substr(0, eq);
    while (!key.empty() && key.front() == ' ') key.erase(0, 1);
    if (eq != std::string::npos &&
        (dialect::sameName(key, "pwd") || dialect::sameName(key, "password")))
      part = part.substr(0, eq + 1) + "***";
    out += part;
    if (end < connect.size()) out += ';';
    i = end + 1;
  }
  return out;
}

void throwDiagnostics(SQLSMALLINT type, SQLHANDLE h, const std::string& context) {
  const std::vector<Diagnostic> diags = diagnostics(type, h);
  if (diags.empty()) throw DbError(kErrEngine, "ODBC--call failed (" + context + ").");
  std::string text;
  for (const Diagnostic& d : diags) text += (text.empty() ? "" : " ") + d.message;
  const int number = numberOf(diags.front().state);
  if (number == kErrOdbcConnect)
    throw DbError(number, "ODBC--connection to '" + context + "' failed: " + text);
  throw DbError(number,
                "ODBC--call failed: " + text + " [" + diags.front().state + "] (" + context + ").");
}

Statement::Statement(SQLHDBC dbc) {
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &h_)))
    throwDiagnostics(SQL_HANDLE_DBC, dbc, "allocating a statement");
}

Statement::~Statement() {
  if (h_ != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, h_);
}

void Statement::check(SQLRETURN rc, const std::string& context) const {
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) throwDiagnostics(SQL_HANDLE_STMT, h_, context);
}

Connection::Connection(const std::string& connect) : target_(withoutPassword(connect)) {
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_)))
    throw DbError(kErrOdbcConnect,
                  "ODBC--connection to '" + target_ + "' failed: no ODBC driver manager.");
  SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
  WText in = widen(connect);
  SQLWCHAR out[1024];
  SQLSMALLINT outLen = 0;
  const SQLRETURN rc =
      SQLDriverConnectW(dbc_, nullptr, in.data(), static_cast<SQLSMALLINT>(in.size()), out, 1024,
                        &outLen, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    try {
      throwDiagnostics(SQL_HANDLE_DBC, dbc_, target_);
    } catch (const DbError& e) {
      close();
      // Whatever the state, a failed connect is reported as one.
      if (e.number() == kErrOdbcConnect) throw;
      throw DbError(kErrOdbcConnect, "ODBC--connection to '" + target_ + "' failed: " + e.what());
    }
  }
}

Connection::~Connection() {
  close();
}

SQLHDBC Connection::handle() const {
  if (dbc_ == SQL_NULL_HDBC) throw DbError(kErrObjectClosed, "The database is closed.");
  return dbc_;
}

void Connection::close() {
  if (dbc_ != SQL_NULL_HDBC) {
    SQLDisconnect(dbc_);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    dbc_ = SQL_NULL_HDBC;
  }
  if (env_ != SQL_NULL_HENV) {
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
    env_ = SQL_NULL_HENV;
  }
}

std::string Connection::dbmsName() {
  SQLWCHAR name[128] = {};
  SQLSMALLINT len = 0;
  if (!SQL_SUCCEEDED(SQLGetInfoW(handle(), SQL_DBMS_NAME, name, sizeof name, &len)))
    throwDiagnostics(SQL_HANDLE_DBC, dbc_, "asking for the server's name");
  return narrow(name, static_cast<size_t>(len) / sizeof(SQLWCHAR));
}

void Connection::exec(const std::string& sql) {
  Statement s(handle());
  WText w = widen(sql);
  s.check(SQLExecDirectW(s.get(), w.data(), static_cast<SQLINTEGER>(w.size())), sql);
}

std::string Connection::scalar(const std::string& sql) {
  Statement s(handle());
  WText w = widen(sql);
  s.check(SQLExecDirectW(s.get(), w.data(), static_cast<SQLINTEGER>(w.size())), sql);
  if (SQLFetch(s.get()) != SQL_SUCCESS) return "";
  SQLWCHAR buf[512];
  SQLLEN ind = 0;
  s.check(SQLGetData(s.get(), 1, SQL_C_WCHAR, buf, sizeof buf, &ind), sql);
  if (ind == SQL_NULL_DATA) return "";
  const size_t n =
      ind >= 0 ? std::min<size_t>(static_cast<size_t>(ind) / sizeof(SQLWCHAR), 511) : 0;
  return narrow(buf, n);
}

void Connection::setAutocommit(bool on) {
  const SQLRETURN rc = SQLSetConnectAttr(
      handle(), SQL_ATTR_AUTOCOMMIT,
      reinterpret_cast<SQLPOINTER>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF), SQL_IS_UINTEGER);
  if (!SQL_SUCCEEDED(rc)) throwDiagnostics(SQL_HANDLE_DBC, dbc_, "switching autocommit");
}

void Connection::endTransaction(bool commit) {
  if (!SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, handle(), commit ? SQL_COMMIT : SQL_ROLLBACK)))
    throwDiagnostics(SQL_HANDLE_DBC, dbc_, commit ? "commit" : "rollback");
}

}  // namespace db::odbc
