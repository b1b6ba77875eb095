// The ODBC backend of the database layer, for a year database on a
// PostgreSQL server. Statements are translated for the server (pg_dialect.h);
// row sets are read whole and save through the tables' primary keys.
#include "db/odbc_database.h"

#include <cstdio>
#include <map>
#include <set>
#include <sstream>

#include "db/odbc_connection.h"
#include "db/pg_dialect.h"
#include "db/row_store.h"

namespace db {
namespace {

using dialect::sameName;
using odbc::Statement;
using odbc::WText;

std::string lowered(std::string s) {
  for (char& c : s) c = dialect::lowerAscii(c);
  return s;
}

// The connection with what is learnt about the schema, shared by the
// database object and its row sets so that a row set used after close fails
// cleanly.
struct Server {
  explicit Server(const std::string& connect) : conn(connect) {}
  odbc::Connection conn;
  int txDepth = 0;
  std::map<std::string, std::map<std::string, bool>> columns;  // table → column → holds text
  std::map<std::string, std::vector<std::string>> keys;

  // A failed statement ends the server's transaction; say so, as the
  // engine's own rollback is reported on the embedded road.
  void afterFailure() {
    if (txDepth == 0) return;
    txDepth = 0;
    try {
      conn.endTransaction(false);
      conn.setAutocommit(true);
    } catch (const DbError&) {
    }
  }

  const std::map<std::string, bool>& columnsOf(const std::string& table) {
    const std::string key = lowered(table);
    auto it = columns.find(key);
    if (it != columns.end()) return it->second;
    std::map<std::string, bool> found;
    Statement s(conn.handle());
    WText t = odbc::widen(key);
    s.check(SQLColumnsW(s.get(), nullptr, 0, nullptr, 0, t.data(),
                        static_cast<SQLSMALLINT>(t.size()), nullptr, 0),
            "reading the columns of " + table);
    while (SQLFetch(s.get()) == SQL_SUCCESS) {
      SQLWCHAR name[256];
      SQLLEN ind = 0;
      SQLSMALLINT type = 0;
      SQLGetData(s.get(), 4, SQL_C_WCHAR, name, sizeof name, &ind);
      SQLGetData(s.get(), 5, SQL_C_SSHORT, &type, 0, nullptr);
      const std::string column =
          odbc::narrow(name, ind > 0 ? static_cast<size_t>(ind) / sizeof(SQLWCHAR) : 0);
      found[lowered(column)] = type == SQL_CHAR || type == SQL_VARCHAR || type == SQL_LONGVARCHAR ||
                               type == SQL_WCHAR || type == SQL_WVARCHAR ||
                               type == SQL_WLONGVARCHAR;
    }
    return columns.emplace(key, std::move(found)).first->second;
  }

  const std::vector<std::string>& keysOf(const std::string& table) {
    const std::string key = lowered(table);
    auto it = keys.find(key);
    if (it != keys.end()) return it->second;
    std::map<int, std::string> bySequence;
    Statement s(conn.handle());
    WText t = odbc::widen(key);
    s.check(SQLPrimaryKeysW(s.get(), nullptr, 0, nullptr, 0, t.data(),
                            static_cast<SQLSMALLINT>(t.size())),
            "reading the primary key of " + table);
    while (SQLFetch(s.get()) == SQL_SUCCESS) {
      SQLWCHAR name[256];
      SQLLEN ind = 0;
      SQLSMALLINT seq = 0;
      SQLGetData(s.get(), 4, SQL_C_WCHAR, name, sizeof name, &ind);
      SQLGetData(s.get(), 5, SQL_C_SSHORT, &seq, 0, nullptr);
      bySequence[seq] =
          odbc::narrow(name, ind > 0 ? static_cast<size_t>(ind) / sizeof(SQLWCHAR) : 0);
    }
    std::vector<std::string> names;
    for (auto& [seq, name] : bySequence) names.push_back(std::move(name));
    return keys.emplace(key, std::move(names)).first->second;
  }

  bool tableExists(const std::string& table) { return !columnsOf(table).empty(); }

  pg::Schema schema() {
    return {[this](const std::string& t, const std::string& c) {
              const auto& cols = columnsOf(t);
              auto it = cols.find(lowered(c));
              return it != cols.end() && it->second;
            },
            [this](const std::string& t) { return keysOf(t); }};
  }
};

// How a column's values are read.
enum class Read { kInteger, kDouble, kTimestamp, kText };

Read readAs(SQLSMALLINT type) {
  switch (type) {
    case SQL_BIT:
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT:
      return Read::kInteger;
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_NUMERIC:
    case SQL_DECIMAL:
      return Read::kDouble;
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIMESTAMP:
    case SQL_DATETIME:
      return Read::kTimestamp;
    default:
      return Read::kText;
  }
}

// Dates as the layer holds them: "yyyy-mm-dd", with " hh:mm:ss" when not midnight.
std::string timestampText(const SQL_TIMESTAMP_STRUCT& t) {
  char buf[40];
  if (t.hour == 0 && t.minute == 0 && t.second == 0)
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", t.year, t.month, t.day);
  else
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
  return buf;
}

Value readColumn(const Statement& s, SQLUSMALLINT i, Read how) {
  SQLLEN ind = 0;
  switch (how) {
    case Read::kInteger: {
      SQLBIGINT v = 0;
      s.check(SQLGetData(s.get(), i, SQL_C_SBIGINT, &v, 0, &ind), "reading a row");
      return ind == SQL_NULL_DATA ? Value(Null{}) : Value(static_cast<int64_t>(v));
    }
    case Read::kDouble: {
      double v = 0;
      s.check(SQLGetData(s.get(), i, SQL_C_DOUBLE, &v, 0, &ind), "reading a row");
      return ind == SQL_NULL_DATA ? Value(Null{}) : Value(v);
    }
    case Read::kTimestamp: {
      SQL_TIMESTAMP_STRUCT v{};
      s.check(SQLGetData(s.get(), i, SQL_C_TYPE_TIMESTAMP, &v, 0, &ind), "reading a row");
      return ind == SQL_NULL_DATA ? Value(Null{}) : Value(timestampText(v));
    }
    case Read::kText:
      break;
  }
  WText text;
  SQLWCHAR buf[512];
  for (;;) {
    const SQLRETURN rc = SQLGetData(s.get(), i, SQL_C_WCHAR, buf, sizeof buf, &ind);
    if (rc == SQL_NO_DATA) break;
    s.check(rc, "reading a row");
    if (ind == SQL_NULL_DATA) return Value(Null{});
    const size_t chunk = (ind == SQL_NO_TOTAL || static_cast<size_t>(ind) >= sizeof buf)
                             ? sizeof buf / sizeof(SQLWCHAR) - 1
                             : static_cast<size_t>(ind) / sizeof(SQLWCHAR);
    text.append(buf, chunk);
    if (rc == SQL_SUCCESS) break;
  }
  return Value(odbc::narrow(text.data(), text.size()));
}

// A parameter's value where the driver reads it at execution.
struct Param {
  SQLBIGINT integer = 0;
  double real = 0;
  WText text;
  SQLLEN ind = 0;
};

void bindParam(const Statement& s, SQLUSMALLINT i, const Value& v, SQLSMALLINT nullType, Param& p) {
  SQLRETURN rc;
  if (std::holds_alternative<int64_t>(v)) {
    p.integer = std::get<int64_t>(v);
    p.ind = 0;
    rc = SQLBindParameter(s.get(), i, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &p.integer,
                          0, &p.ind);
  } else if (std::holds_alternative<double>(v)) {
    p.real = std::get<double>(v);
    p.ind = 0;
    rc = SQLBindParameter(s.get(), i, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 0, 0, &p.real, 0,
                          &p.ind);
  } else if (std::holds_alternative<std::string>(v)) {
    p.text = odbc::widen(std::get<std::string>(v));
    p.ind = static_cast<SQLLEN>(p.text.size() * sizeof(SQLWCHAR));
    rc = SQLBindParameter(s.get(), i, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, p.text.size() + 1,
                          0, p.text.data(), p.ind, &p.ind);
  } else {
    p.ind = SQL_NULL_DATA;
    rc = SQLBindParameter(s.get(), i, SQL_PARAM_INPUT, SQL_C_DEFAULT, nullType, 1, 0, nullptr, 0,
                          &p.ind);
  }
  s.check(rc, "binding a parameter");
}

struct ColumnInfo {
  std::string name;
  SQLSMALLINT type = SQL_VARCHAR;
  Read read = Read::kText;
  std::string originColumn;
  int table = -1;  // which of the key tables stores it; -1: read-only
};

class OdbcRecordset : public BufferedRecordset {
 public:
  OdbcRecordset(std::shared_ptr<Server> server, pg::Translated t, const std::string& source)
      : server_(std::move(server)), tables_(std::move(t.keyTables)) {
    for (const pg::KeyedTable& kt : tables_) nKeys_ += kt.keys.size();
    Statement s(server_->conn.handle());
    WText w = odbc::widen(t.sql);
    try {
      s.check(SQLExecDirectW(s.get(), w.data(), static_cast<SQLINTEGER>(w.size())), source);
      describe(s, t.items);
      fetchAll(s, source);
    } catch (const DbError&) {
      server_->afterFailure();
      throw;
    }
  }

  Value field(const std::string& name) override { return field(fieldIndex(name)); }

  int fieldIndex(const std::string& name) override {
    check();
    for (size_t c = 0; c < columns_.size(); ++c)
      if (sameName(columns_[c].name, name)) return static_cast<int>(c);
    const size_t dot = name.find('.');
    if (dot != std::string::npos)
      for (size_t c = 0; c < columns_.size(); ++c)
        if (columns_[c].table >= 0 && sameName(columns_[c].originColumn, name.substr(dot + 1)) &&
            sameName(tables_[static_cast<size_t>(columns_[c].table)].ref.qualifier(),
                     name.substr(0, dot)))
          return static_cast<int>(c);
    throw DbError(kErrNoSuchField, "Item not found in this collection: field '" + name + "'.");
  }

  Value field(int index) override {
    const size_t c = checkedIndex(index);
    current();
    if (const Value* v = pendingValue(c)) return *v;
    return rows_.get(pos_, nKeys_ + c);
  }

  // The row's primary key in its table (a join repeats it for each row it
  // shows); a table without a key falls back to the position in the result.
  std::string rowKey(int index) override {
    const size_t c = checkedIndex(index);
    current();
    const int t = columns_[c].table;
    if (t < 0) return std::string();
    size_t keyAt = 0;
    for (size_t u = 0; u < static_cast<size_t>(t); ++u) keyAt += tables_[u].keys.size();
    const pg::KeyedTable& kt = tables_[static_cast<size_t>(t)];
    if (kt.keys.empty()) return std::to_string(bookmark());
    std::string key;
    for (size_t k = 0; k < kt.keys.size(); ++k) {
      if (k) key.push_back('\x1f');
      key.append(valueToText(rows_.get(pos_, keyAt + k)));
    }
    return key;
  }

  void setField(const std::string& name, const Value& value) override {
    setField(fieldIndex(name), value);
  }

  void setField(int index, const Value& value) override {
    const size_t c = checkedIndex(index);
    requireEditing();
    if (columns_[c].table < 0)
      throw DbError(kErrNotUpdatable, "Field '" + columns_[c].name + "' cannot be updated.");
    assign(c, value);
  }

  void update() override {
    current();
    requireEditing();
    try {
      for (size_t t = 0; t < tables_.size(); ++t) saveTable(t);
    } catch (const DbError&) {
      server_->afterFailure();
      throw;
    }
    for (const auto& [c, v] : pending_) rows_.set(pos_, nKeys_ + c, v);
    editing_ = false;
    pending_.clear();
  }

  void close() override {
    plans_.clear();
    server_.reset();
    rows_.clear();
  }

 private:
  bool isOpen() const override { return server_ && server_->conn.isOpen(); }

  // A prepared UPDATE of one table for one set of assigned columns.
  struct Plan {
    size_t table;
    std::vector<size_t> columns;
    std::unique_ptr<Statement> stmt;
  };

  void describe(const Statement& s, const std::vector<pg::SelectItem>& items) {
    SQLSMALLINT n = 0;
    s.check(SQLNumResultCols(s.get(), &n), "describing a result");
    types_.clear();
    for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(n); ++i) {
      SQLWCHAR name[256];
      SQLSMALLINT len = 0, type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      s.check(SQLDescribeColW(s.get(), i, name, 256, &len, &type, &size, &digits, &nullable),
              "describing a result");
      types_.push_back(readAs(type));
      if (i <= nKeys_) continue;
      ColumnInfo c;
      c.name = odbc::narrow(name, static_cast<size_t>(std::min<SQLSMALLINT>(len, 255)));
      c.type = type;
      c.read = types_.back();
      columns_.push_back(std::move(c));
    }
    attachOrigins(items);
  }

  // Which table stores each column, from the statement's list.
  void attachOrigins(const std::vector<pg::SelectItem>& items) {
    size_t c = 0;
    for (size_t i = 0; i < items.size() && c < columns_.size(); ++i) {
      const pg::SelectItem& item = items[i];
      const size_t width = item.star ? columns_.size() - c - (items.size() - i - 1) : 1;
      for (size_t k = 0; k < width && c < columns_.size(); ++k, ++c) {
        if (item.table.empty()) continue;
        for (size_t t = 0; t < tables_.size(); ++t)
          if (sameName(tables_[t].ref.name, item.table) && columns_[c].table < 0) {
            columns_[c].table = static_cast<int>(t);
            columns_[c].originColumn = item.star ? columns_[c].name : item.column;
          }
      }
    }
    // A table named twice cannot be told apart: its columns stay read-only.
    for (ColumnInfo& col : columns_)
      if (col.table >= 0)
        for (size_t t = 0; t < tables_.size(); ++t)
          if (static_cast<int>(t) != col.table &&
              sameName(tables_[t].ref.name, tables_[static_cast<size_t>(col.table)].ref.name))
            col.table = -1;
  }

  void fetchAll(const Statement& s, const std::string& source) {
    rows_.setWidth(types_.size());
    for (;;) {
      const SQLRETURN rc = SQLFetch(s.get());
      if (rc == SQL_NO_DATA) break;
      s.check(rc, source);
      rows_.add([&](RowStore::RowWriter& w) {
        for (size_t i = 0; i < types_.size(); ++i)
          w.value(readColumn(s, static_cast<SQLUSMALLINT>(i + 1), types_[i]));
      });
    }
  }

  Plan& planFor(size_t t, const std::vector<size_t>& cols) {
    for (Plan& p : plans_)
      if (p.table == t && p.columns == cols) return p;
    const pg::KeyedTable& kt = tables_[t];
    std::string sql = "UPDATE " + pg::quoteName(kt.ref.name) + " SET ";
    for (size_t k = 0; k < cols.size(); ++k)
      sql += (k ? ", " : "") + pg::quoteName(columns_[cols[k]].originColumn) + " = ?";
    for (size_t k = 0; k < kt.keys.size(); ++k)
      sql += (k ? " AND " : " WHERE ") + dialect::quoteIdent(kt.keys[k]) + " = ?";
    auto stmt = std::make_unique<Statement>(server_->conn.handle());
    WText w = odbc::widen(sql);
    stmt->check(SQLPrepareW(stmt->get(), w.data(), static_cast<SQLINTEGER>(w.size())), sql);
    plans_.push_back({t, cols, std::move(stmt)});
    return plans_.back();
  }

  // The assignments to table t's columns, one statement, the row found by its key.
  void saveTable(size_t t) {
    std::vector<size_t> cols;
    for (const auto& [c, v] : pending_)
      if (columns_[c].table == static_cast<int>(t)) {
        bool twice = false;
        for (size_t d : cols)
          twice = twice || sameName(columns_[d].originColumn, columns_[c].originColumn);
        if (!twice) cols.push_back(c);
      }
    if (cols.empty()) return;
    std::sort(cols.begin(), cols.end());
    Plan& plan = planFor(t, cols);
    const Statement& s = *plan.stmt;
    params_.resize(cols.size() + tables_[t].keys.size());
    SQLUSMALLINT i = 1;
    for (size_t c : cols) bindParam(s, i, assigned(c), columns_[c].type, params_[i - 1]), ++i;
    size_t keyAt = 0;
    for (size_t u = 0; u < t; ++u) keyAt += tables_[u].keys.size();
    for (size_t k = 0; k < tables_[t].keys.size(); ++k)
      bindParam(s, i, rows_.get(pos_, keyAt + k), SQL_VARCHAR, params_[i - 1]), ++i;
    s.check(SQLExecute(s.get()), "saving a row of " + tables_[t].ref.name);
    SQLLEN changed = 0;
    SQLRowCount(s.get(), &changed);
    SQLFreeStmt(s.get(), SQL_CLOSE);
    if (changed == 0)
      throw DbError(kErrRecordDeleted, "Record is deleted (" + tables_[t].ref.name + ").");
  }

  const Value& assigned(size_t c) const {
    for (const auto& [pc, v] : pending_)
      if (pc == c) return v;
    throw DbError(kErrEngine, "internal: no assignment");
  }

  size_t checkedIndex(int index) const {
    check();
    if (index < 0 || static_cast<size_t>(index) >= columns_.size())
      throw DbError(kErrNoSuchField,
                    "Item not found in this collection: field " + std::to_string(index) + ".");
    return static_cast<size_t>(index);
  }

  std::shared_ptr<Server> server_;
  std::vector<pg::KeyedTable> tables_;
  size_t nKeys_ = 0;
  std::vector<Read> types_;  // of every result column, keys included
  std::vector<ColumnInfo> columns_;
  std::vector<Plan> plans_;
  std::vector<Param> params_;
};

// Whether transactions of other connections have ended since the last look,
// from the server's snapshots: a transaction id this connection did not use
// that was handed out, or one that was running then and is not now.
class DataVersion {
 public:
  int64_t next(odbc::Connection& conn) {
    const std::string snap = conn.scalar("SELECT pg_current_snapshot()::text");
    const std::string own = conn.scalar("SELECT pg_current_xact_id_if_assigned()::text");
    if (!own.empty()) own_.insert(std::stoull(own));
    uint64_t xmin = 0, xmax = 0;
    std::set<uint64_t> running;
    parse(snap, xmin, xmax, running);
    if (seen_) {
      uint64_t handedOut = xmax > xmax_ ? xmax - xmax_ : 0;
      for (uint64_t x : own_)
        if (x >= xmax_ && x < xmax) --handedOut;
      bool ended = handedOut > 0;
      for (uint64_t x : running_) ended = ended || (!running.count(x) && !own_.count(x));
      if (ended) ++version_;
    }
    seen_ = true;
    xmax_ = xmax;
    running_ = std::move(running);
    return version_;
  }

  // Before a commit: this connection's transaction id, if it took one.
  void beforeCommit(odbc::Connection& conn) {
    const std::string own = conn.scalar("SELECT pg_current_xact_id_if_assigned()::text");
    if (!own.empty()) own_.insert(std::stoull(own));
  }

 private:
  static void parse(const std::string& snap, uint64_t& xmin, uint64_t& xmax,
                    std::set<uint64_t>& running) {
    std::istringstream in(snap);
    char colon = 0;
    in >> xmin >> colon >> xmax >> colon;
    uint64_t x = 0;
    while (in >> x) {
      running.insert(x);
      in >> colon;
    }
  }

  bool seen_ = false;
  int64_t version_ = 0;
  uint64_t xmax_ = 0;
  std::set<uint64_t> running_, own_;
};

bool looksLikeStatement(const std::string& s) {
  return s.find_first_of(" \t\r\n") != std::string::npos;
}

std::string trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r\n");
  const size_t e = s.find_last_not_of(" \t\r\n");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

class OdbcDatabase : public Database {
 public:
  explicit OdbcDatabase(std::shared_ptr<Server> server) : server_(std::move(server)) {}

  std::unique_ptr<Recordset> openRecordset(const std::string& source) override {
    server_->conn.handle();
    std::string src = trimmed(source);
    if (!looksLikeStatement(src)) {
      const std::string table = src.size() > 1 && src.front() == '[' && src.back() == ']'
                                    ? src.substr(1, src.size() - 2)
                                    : src;
      if (!server_->tableExists(table))
        throw DbError(kErrNoSuchTable, "Cannot find the input table or query '" + table + "'.");
      src = "SELECT * FROM [" + table + "]";
      if (!server_->keysOf(table).empty())
        src += " ORDER BY " + dialect::quoteIdent(server_->keysOf(table)[0]);
    }
    pg::Translated t = pg::translate(src, server_->schema());
    if (!t.isSelect) throw DbError(kErrSyntax, "Not a query: '" + source + "'.");
    return std::make_unique<OdbcRecordset>(server_, std::move(t), source);
  }

  void execute(const std::string& sql, bool /*failOnError*/) override {
    // The server runs a statement whole or not at all: a row that cannot be
    // updated fails the statement either way.
    server_->conn.handle();
    const pg::Translated t = pg::translate(sql, server_->schema());
    if (t.isSelect) throw DbError(kErrSyntax, "Cannot execute a select query: '" + sql + "'.");
    try {
      server_->conn.exec(t.sql);
    } catch (const DbError&) {
      server_->afterFailure();
      throw;
    }
  }

  void beginTrans() override {
    if (server_->txDepth == 0)
      server_->conn.setAutocommit(false);
    else
      server_->conn.exec("SAVEPOINT kit_tx" + std::to_string(server_->txDepth));
    ++server_->txDepth;
  }

  void commitTrans() override {
    if (server_->txDepth == 0) throw DbError(kErrNoTransaction, "Commit without a transaction.");
    try {
      if (server_->txDepth == 1) {
        version_.beforeCommit(server_->conn);
        server_->conn.endTransaction(true);
        server_->conn.setAutocommit(true);
      } else {
        server_->conn.exec("RELEASE SAVEPOINT kit_tx" + std::to_string(server_->txDepth - 1));
      }
    } catch (const DbError&) {
      server_->afterFailure();
      throw;
    }
    --server_->txDepth;
  }

  void rollback() override {
    if (server_->txDepth == 0) throw DbError(kErrNoTransaction, "Rollback without a transaction.");
    if (server_->txDepth == 1) {
      server_->conn.endTransaction(false);
      server_->conn.setAutocommit(true);
    } else {
      const std::string sp = "kit_tx" + std::to_string(server_->txDepth - 1);
      server_->conn.exec("ROLLBACK TO SAVEPOINT " + sp);
      server_->conn.exec("RELEASE SAVEPOINT " + sp);
    }
    --server_->txDepth;
  }

  bool inTransaction() override {
    server_->conn.handle();
    return server_->txDepth > 0;
  }

  int64_t dataVersion() override { return version_.next(server_->conn); }

  void close() override {
    if (server_->txDepth > 0)
      server_->afterFailure();  // an open transaction is dropped, as on the file road
    server_->conn.close();
  }

 private:
  std::shared_ptr<Server> server_;
  DataVersion version_;
};

// psqlODBC's default wraps every statement of a transaction in a savepoint, so
// that a failing statement alone is undone. This layer has the embedded
// road's rule instead (a failed statement ends the transaction, see
// Server::afterFailure), so the driver is asked for that rule, unless the
// connection string chooses: a round trip less per save, and no
// subtransaction ids that DataVersion would take for other users' work.
std::string withTransactionRollback(const std::string& connect) {
  std::string lowered = ";" + connect;
  for (char& c : lowered) c = dialect::lowerAscii(c);
  for (size_t at = lowered.find(";protocol"); at != std::string::npos;
       at = lowered.find(";protocol", at + 1))
    if (lowered.find_first_not_of(' ', at + 9) == lowered.find('=', at)) return connect;
  const bool ends = connect.empty() || connect.back() == ';';
  return connect + (ends ? "" : ";") + "Protocol=7.4-1;";
}

}  // namespace

std::unique_ptr<Database> openOdbcDatabase(const std::string& connect) {
  auto server = std::make_shared<Server>(withTransactionRollback(connect));
  const std::string dbms = server->conn.dbmsName();
  if (dbms != "PostgreSQL")
    throw DbError(kErrOdbcConnect, "ODBC--connection to '" + server->conn.target() +
                                       "' failed: the server is " + dbms +
                                       "; the year database on a server must be on PostgreSQL.");
  return std::make_unique<OdbcDatabase>(std::move(server));
}

}  // namespace db
