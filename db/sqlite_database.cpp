// The SQLite backend of the database layer.
#include "db/sqlite_database.h"

#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <map>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "db/collation.h"
#include "db/database.h"
#include "db/row_store.h"
#include "db/sql_dialect.h"

namespace db {

std::string valueToText(const Value& v) {
  if (std::holds_alternative<int64_t>(v)) return std::to_string(std::get<int64_t>(v));
  if (std::holds_alternative<double>(v)) {
    // Fifteen significant digits, as the original engine turns a double into text.
    // (to_chars: the same whatever the C locale's decimal separator)
    char buf[40];
    const auto r =
        std::to_chars(buf, buf + sizeof buf, std::get<double>(v), std::chars_format::general, 15);
    return std::string(buf, r.ptr);
  }
  if (std::holds_alternative<std::string>(v)) return std::get<std::string>(v);
  return "";
}

namespace {

using dialect::quoteIdent;
using dialect::sameName;

std::string lowerAscii(std::string s) {
  for (char& c : s) c = dialect::lowerAscii(c);
  return s;
}

[[noreturn]] void throwEngine(sqlite3* h, int rc, const std::string& context) {
  const std::string msg = h ? sqlite3_errmsg(h) : sqlite3_errstr(rc);
  switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      throw DbError(kErrLocked,
                    "The database is in use by another user and is locked (" + context + ").");
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      throw DbError(kErrNotADatabase, "Unrecognized database format (" + context + ").");
    case SQLITE_READONLY:
      throw DbError(kErrReadOnly, "Cannot update: the database is read-only (" + context + ").");
    case SQLITE_CANTOPEN:
      throw DbError(kErrCannotOpen, "Cannot open the database file (" + context + ").");
    default:
      throw DbError(kErrEngine, msg + " (" + context + ").");
  }
}

// Errors of preparing a statement, in the terms of the original engine.
[[noreturn]] void throwPrepare(sqlite3* h, int rc, const std::string& original) {
  const std::string msg = sqlite3_errmsg(h);
  if ((rc & 0xff) == SQLITE_ERROR) {
    static const std::string noTable = "no such table: ";
    static const std::string noColumn = "no such column: ";
    if (msg.rfind(noTable, 0) == 0)
      throw DbError(kErrNoSuchTable,
                    "Cannot find the input table or query '" + msg.substr(noTable.size()) + "'.");
    if (msg.rfind(noColumn, 0) == 0)
      throw DbError(kErrTooFewParameters, "Unknown field name '" + msg.substr(noColumn.size()) +
                                              "' in statement '" + original + "'.");
    throw DbError(kErrSyntax, "The statement cannot be run: " + msg + " ('" + original + "').");
  }
  throwEngine(h, rc, original);
}

struct StmtDeleter {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtDeleter>;

Value readColumn(sqlite3_stmt* s, int i) {
  switch (sqlite3_column_type(s, i)) {
    case SQLITE_INTEGER:
      return Value(static_cast<int64_t>(sqlite3_column_int64(s, i)));
    case SQLITE_FLOAT:
      return Value(sqlite3_column_double(s, i));
    case SQLITE_TEXT:
    case SQLITE_BLOB: {
      const auto* p = static_cast<const char*>(sqlite3_column_blob(s, i));
      return Value(std::string(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(s, i))));
    }
    default:
      return Value(Null{});
  }
}

// The same, straight into a row being added.
void readColumn(sqlite3_stmt* s, int i, RowStore::RowWriter& w) {
  switch (sqlite3_column_type(s, i)) {
    case SQLITE_INTEGER:
      w.integer(sqlite3_column_int64(s, i));
      break;
    case SQLITE_FLOAT:
      w.real(sqlite3_column_double(s, i));
      break;
    case SQLITE_TEXT:
    case SQLITE_BLOB: {
      const auto* p = static_cast<const char*>(sqlite3_column_blob(s, i));
      w.text(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(s, i)));
      break;
    }
    default:
      w.null();
  }
}

void bindValue(sqlite3_stmt* s, int i, const Value& v) {
  if (std::holds_alternative<int64_t>(v)) {
    sqlite3_bind_int64(s, i, std::get<int64_t>(v));
  } else if (std::holds_alternative<double>(v)) {
    sqlite3_bind_double(s, i, std::get<double>(v));
  } else if (std::holds_alternative<std::string>(v)) {
    const std::string& t = std::get<std::string>(v);
    sqlite3_bind_text(s, i, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
  } else {
    sqlite3_bind_null(s, i);
  }
}

int collateZh(void*, int la, const void* a, int lb, const void* b) {
  return compareZhCn(std::string_view(static_cast<const char*>(a), static_cast<size_t>(la)),
                     std::string_view(static_cast<const char*>(b), static_cast<size_t>(lb)));
}

enum class Affinity { kUnknown, kInteger, kText, kBlob, kReal, kNumeric };

// What a column of this affinity stores for a bound number, when that can be
// told without asking the engine (its rules for numbers; text may convert).
std::optional<Value> storedAs(Affinity a, const Value& v) {
  if (std::holds_alternative<Null>(v)) return v;
  if (a == Affinity::kUnknown || a == Affinity::kText) return std::nullopt;
  if (std::holds_alternative<std::string>(v))
    return a == Affinity::kBlob ? std::optional<Value>(v) : std::nullopt;
  if (std::holds_alternative<int64_t>(v))
    return a == Affinity::kReal ? Value(static_cast<double>(std::get<int64_t>(v))) : v;
  const double d = std::get<double>(v);
  if (std::isnan(d)) return Value(Null{});
  if (a == Affinity::kInteger || a == Affinity::kNumeric) {
    // A real that is exactly a not too large integer is kept as one.
    constexpr double kLimit = 2251799813685248.0;  // 2^51
    if (d == 0.0) return Value(int64_t{0});
    if (d > -kLimit && d < kLimit) {
      const auto i = static_cast<int64_t>(d);
      if (static_cast<double>(i) == d) return Value(i);
    }
  }
  return v;
}

// One open connection, shared by the database object and its recordsets so
// that a recordset used after close fails cleanly instead of crashing.
struct Connection {
  sqlite3* h = nullptr;
  std::string path;
  int txDepth = 0;
  std::unordered_map<std::string, StmtPtr> cache;
  std::map<std::pair<std::string, std::string>, Affinity> affinities;
  std::map<std::string, bool> rowidTables;

  ~Connection() { close(); }

  void close() {
    cache.clear();
    if (h) sqlite3_close_v2(h);
    h = nullptr;
  }

  sqlite3* handle() {
    if (!h) throw DbError(kErrObjectClosed, "The database is closed.");
    return h;
  }

  StmtPtr prepare(const std::string& sql, const std::string& original) {
    sqlite3_stmt* s = nullptr;
    const int rc =
        sqlite3_prepare_v2(handle(), sql.c_str(), static_cast<int>(sql.size()), &s, nullptr);
    if (rc != SQLITE_OK) {
      sqlite3_finalize(s);
      throwPrepare(h, rc, original);
    }
    return StmtPtr(s);
  }

  // Statements built here, not by the caller, are kept prepared.
  sqlite3_stmt* cached(const std::string& sql) {
    auto it = cache.find(sql);
    if (it == cache.end()) it = cache.emplace(sql, prepare(sql, sql)).first;
    sqlite3_reset(it->second.get());
    sqlite3_clear_bindings(it->second.get());
    return it->second.get();
  }

  void exec(const std::string& sql) {
    sqlite3_stmt* s = cached(sql);
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) throwEngine(h, rc, sql);
  }

  // The column's type affinity by SQLite's rules: INT, then CHAR, CLOB or
  // TEXT, then BLOB or no type, then REAL, FLOA or DOUB, else NUMERIC.
  Affinity affinityOf(const std::string& table, const std::string& column) {
    const auto key = std::make_pair(lowerAscii(table), lowerAscii(column));
    auto it = affinities.find(key);
    if (it != affinities.end()) return it->second;
    const char* declType = nullptr;
    Affinity a = Affinity::kUnknown;
    if (sqlite3_table_column_metadata(handle(), nullptr, table.c_str(), column.c_str(), &declType,
                                      nullptr, nullptr, nullptr, nullptr) == SQLITE_OK) {
      const std::string t = lowerAscii(declType ? declType : "");
      auto has = [&](const char* w) { return t.find(w) != std::string::npos; };
      if (has("int"))
        a = Affinity::kInteger;
      else if (has("char") || has("clob") || has("text"))
        a = Affinity::kText;
      else if (has("blob") || t.empty())
        a = Affinity::kBlob;
      else if (has("real") || has("floa") || has("doub"))
        a = Affinity::kReal;
      else
        a = Affinity::kNumeric;
    }
    affinities.emplace(key, a);
    return a;
  }

  bool isTextColumn(const std::string& table, const std::string& column) {
    return affinityOf(table, column) == Affinity::kText;
  }

  bool hasRowid(const std::string& table) {
    const std::string key = lowerAscii(table);
    auto it = rowidTables.find(key);
    if (it != rowidTables.end()) return it->second;
    sqlite3_stmt* s =
        cached("SELECT sql FROM sqlite_schema WHERE type = 'table' AND name = ?1 COLLATE NOCASE");
    sqlite3_bind_text(s, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    bool r = false;
    if (sqlite3_step(s) == SQLITE_ROW) {
      const auto* sql = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
      r = !(sql && lowerAscii(sql).find("without rowid") != std::string::npos);
    }
    sqlite3_reset(s);
    rowidTables.emplace(key, r);
    return r;
  }

  bool tableExists(const std::string& table) {
    sqlite3_stmt* s = cached(
        "SELECT 1 FROM sqlite_schema WHERE type IN ('table', 'view') AND name = ?1 COLLATE NOCASE");
    sqlite3_bind_text(s, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    const bool r = sqlite3_step(s) == SQLITE_ROW;
    sqlite3_reset(s);
    return r;
  }

  dialect::SchemaLookup lookup() {
    return {[this](const std::string& t, const std::string& c) { return isTextColumn(t, c); },
            [this](const std::string& t) { return hasRowid(t); }};
  }
};

struct ColumnInfo {
  std::string name;
  std::string originTable;  // empty for an expression
  std::string originColumn;
  int rowidIndex = -1;  // which leading rowid column locates its row; -1: read-only
};

class SqliteRecordset : public BufferedRecordset {
 public:
  SqliteRecordset(std::shared_ptr<Connection> conn, StmtPtr stmt,
                  std::vector<dialect::TableRef> rowidTables, const std::string& source)
      : conn_(std::move(conn)), source_(source) {
    sqlite3_stmt* s = stmt.get();
    const int n = sqlite3_column_count(s);
    nRowid_ = static_cast<int>(rowidTables.size());
    for (int i = nRowid_; i < n; ++i) {
      ColumnInfo c;
      c.name = sqlite3_column_name(s, i);
      const char* t = sqlite3_column_table_name(s, i);
      const char* o = sqlite3_column_origin_name(s, i);
      if (t && o) {
        c.originTable = t;
        c.originColumn = o;
        int found = -1, count = 0;
        for (int k = 0; k < nRowid_; ++k)
          if (sameName(rowidTables[static_cast<size_t>(k)].name, c.originTable)) found = k, ++count;
        if (count == 1) c.rowidIndex = found;
      }
      columns_.push_back(std::move(c));
    }
    tables_ = std::move(rowidTables);
    rows_.setWidth(static_cast<size_t>(n));
    for (;;) {
      const int rc = sqlite3_step(s);
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) throwEngine(conn_->h, rc, source_);
      rows_.add([s, n](RowStore::RowWriter& w) {
        for (int i = 0; i < n; ++i) readColumn(s, i, w);
      });
    }
    duplicates_.resize(static_cast<size_t>(nRowid_));
  }

  // How assignments to a set of columns of one table are saved: one prepared
  // UPDATE ... RETURNING, made once per set.
  struct SavePlan {
    sqlite3_stmt* stmt = nullptr;    // owned by the connection's cache; RETURNING the stored values
    sqlite3_stmt* plain = nullptr;   // the same without RETURNING
    std::vector<Affinity> affinity;  // per target
    std::vector<size_t> bindColumn;  // per target: the assigned column
    std::vector<std::vector<size_t>> shownIn;  // per target: result columns showing it
  };

  const Value& assigned(size_t c) const {
    for (const auto& [pc, v] : pending_)
      if (pc == c) return v;
    throw DbError(kErrEngine, "internal: no assignment");
  }

  const SavePlan& savePlan(int t, const std::vector<size_t>& cols) {
    for (const PlanEntry& e : plans_)
      if (e.table == t && e.columns == cols) return e.plan;
    SavePlan plan;
    std::vector<std::string> targets;
    for (size_t c : cols) {
      size_t k = 0;
      while (k < targets.size() && !sameName(targets[k], columns_[c].originColumn)) ++k;
      if (k == targets.size()) {
        targets.push_back(columns_[c].originColumn);
        plan.bindColumn.push_back(c);
      } else {
        plan.bindColumn[k] = c;  // the same column selected twice: the later one wins
      }
    }
    std::string sql = "UPDATE ";
    sql += quoteIdent(tables_[static_cast<size_t>(t)].name);
    sql += " SET ";
    std::string returning;
    for (size_t k = 0; k < targets.size(); ++k) {
      sql += (k ? ", " : "") + quoteIdent(targets[k]) + " = ?" + std::to_string(k + 1);
      returning += (k ? ", " : "") + quoteIdent(targets[k]);
      std::vector<size_t> shown;
      for (size_t c = 0; c < columns_.size(); ++c)
        if (columns_[c].rowidIndex == t && sameName(columns_[c].originColumn, targets[k]))
          shown.push_back(c);
      plan.shownIn.push_back(std::move(shown));
    }
    sql += " WHERE rowid = ?" + std::to_string(targets.size() + 1);
    plan.plain = conn_->cached(sql);
    plan.stmt = conn_->cached(sql + " RETURNING " + returning);
    for (const std::string& target : targets)
      plan.affinity.push_back(conn_->affinityOf(tables_[static_cast<size_t>(t)].name, target));
    plans_.push_back({t, cols, std::move(plan)});
    return plans_.back().plan;
  }

  // Rows of the result that show the same row of table `t`, found the first
  // time a row of that table is saved (only saved tables pay for it).
  const std::unordered_multimap<int64_t, size_t>& duplicatesOf(size_t t) {
    Duplicates& d = duplicates_[t];
    if (d.known) return d.rows;
    d.known = true;
    std::vector<std::pair<int64_t, size_t>> ids;
    ids.reserve(rows_.size());
    for (size_t r = 0; r < rows_.size(); ++r)
      if (const auto id = rows_.integer(r, t)) ids.emplace_back(*id, r);
    std::sort(ids.begin(), ids.end());
    for (size_t i = 0; i < ids.size(); ++i) {
      const bool dup = (i > 0 && ids[i - 1].first == ids[i].first) ||
                       (i + 1 < ids.size() && ids[i + 1].first == ids[i].first);
      if (dup) d.rows.emplace(ids[i].first, ids[i].second);
    }
    return d.rows;
  }

  Value field(const std::string& name) override { return field(static_cast<int>(column(name))); }

  int fieldIndex(const std::string& name) override { return static_cast<int>(column(name)); }

  Value field(int index) override {
    const size_t c = checkedIndex(index);
    current();
    if (const Value* v = pendingValue(c)) return *v;
    return rows_.get(pos_, static_cast<size_t>(nRowid_) + c);
  }

  void setField(const std::string& name, const Value& value) override {
    setField(static_cast<int>(column(name)), value);
  }

  void setField(int index, const Value& value) override {
    const size_t c = checkedIndex(index);
    requireEditing();
    if (columns_[c].rowidIndex < 0)
      throw DbError(kErrNotUpdatable, "Field '" + columns_[c].name + "' cannot be updated.");
    assign(c, value);
  }

  void update() override {
    current();
    requireEditing();
    // One statement per base table that got an assignment; the row is found
    // by its rowid, and what the table stored comes back into the buffer.
    std::sort(pending_.begin(), pending_.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (int t = 0; t < nRowid_; ++t) saveTable(t);
    editing_ = false;
    pending_.clear();
  }

  void close() override {
    conn_.reset();
    rows_.clear();
  }

  std::string rowKey(int index) override {
    const size_t c = checkedIndex(index);
    current();
    const int t = columns_[c].rowidIndex;
    return t < 0 ? std::string() : valueToText(rows_.get(pos_, static_cast<size_t>(t)));
  }

  std::optional<int64_t> rowNumber(int index) override {
    const size_t c = checkedIndex(index);
    current();
    const int t = columns_[c].rowidIndex;
    if (t < 0) return std::nullopt;
    return rows_.integer(pos_, static_cast<size_t>(t));
  }

 private:
  bool isOpen() const override { return conn_ && conn_->h; }

  size_t checkedIndex(int index) const {
    check();
    if (index < 0 || static_cast<size_t>(index) >= columns_.size())
      throw DbError(kErrNoSuchField,
                    "Item not found in this collection: field " + std::to_string(index) + ".");
    return static_cast<size_t>(index);
  }

  size_t column(const std::string& name) const {
    check();
    for (size_t c = 0; c < columns_.size(); ++c)
      if (sameName(columns_[c].name, name)) return c;
    // "table.field" names a column by where it comes from.
    const size_t dot = name.find('.');
    if (dot != std::string::npos) {
      const std::string t = name.substr(0, dot), f = name.substr(dot + 1);
      for (size_t c = 0; c < columns_.size(); ++c)
        if (sameName(columns_[c].originTable, t) && sameName(columns_[c].originColumn, f)) return c;
    }
    throw DbError(kErrNoSuchField, "Item not found in this collection: field '" + name + "'.");
  }

  // Saves the assignments to table t's columns of the current row, if any.
  void saveTable(int t) {
    cols_.clear();
    for (const auto& [c, v] : pending_)
      if (columns_[c].rowidIndex == t) cols_.push_back(c);
    if (cols_.empty()) return;
    const SavePlan& plan = savePlan(t, cols_);
    const std::string& table = tables_[static_cast<size_t>(t)].name;
    // What the row stores is shown afterwards; the engine is asked only
    // when its conversion cannot be told here (text into a number column).
    const bool told = storedHere(plan);
    sqlite3_stmt* s = told ? plan.plain : plan.stmt;
    for (size_t k = 0; k < plan.bindColumn.size(); ++k)
      bindValue(s, static_cast<int>(k + 1), assigned(plan.bindColumn[k]));
    bindValue(s, static_cast<int>(plan.bindColumn.size() + 1),
              rows_.get(pos_, static_cast<size_t>(t)));
    if (told)
      stepPlain(s, table);
    else
      stepReturning(s, plan, table);
    showStored(t, plan);
  }

  // Fills stored_ with what the columns will store, when that can be told here.
  bool storedHere(const SavePlan& plan) {
    stored_.clear();
    for (size_t k = 0; k < plan.bindColumn.size(); ++k) {
      std::optional<Value> v = storedAs(plan.affinity[k], assigned(plan.bindColumn[k]));
      if (!v) return false;
      stored_.push_back(std::move(*v));
    }
    return true;
  }

  void stepPlain(sqlite3_stmt* s, const std::string& table) {
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) throwEngine(conn_->h, rc, "saving a row of " + table);
    if (sqlite3_changes(conn_->h) == 0)
      throw DbError(kErrRecordDeleted, "Record is deleted (" + table + ").");
  }

  // Runs the UPDATE ... RETURNING and reads what was stored into stored_.
  void stepReturning(sqlite3_stmt* s, const SavePlan& plan, const std::string& table) {
    int rc = sqlite3_step(s);
    if (rc != SQLITE_ROW) {
      sqlite3_reset(s);
      if (rc == SQLITE_DONE) throw DbError(kErrRecordDeleted, "Record is deleted (" + table + ").");
      throwEngine(conn_->h, rc, "saving a row of " + table);
    }
    stored_.clear();
    for (size_t k = 0; k < plan.bindColumn.size(); ++k) {
      stored_.push_back(readColumn(s, static_cast<int>(k)));
      // RETURNING shows a whole number in a REAL column as the integer
      // the file keeps; reading the row gives the real.
      if (plan.affinity[k] == Affinity::kReal && std::holds_alternative<int64_t>(stored_.back()))
        stored_.back() = Value(static_cast<double>(std::get<int64_t>(stored_.back())));
    }
    rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) throwEngine(conn_->h, rc, "saving a row of " + table);
  }

  // Puts stored_ into the current row and into every other row of the
  // result that shows the same row of table t (a join can repeat it).
  void showStored(int t, const SavePlan& plan) {
    auto refresh = [&](size_t r) {
      for (size_t k = 0; k < plan.shownIn.size(); ++k)
        for (size_t c : plan.shownIn[k]) rows_.set(r, static_cast<size_t>(nRowid_) + c, stored_[k]);
    };
    refresh(pos_);
    if (const auto& dups = duplicatesOf(static_cast<size_t>(t)); !dups.empty()) {
      auto range = dups.equal_range(*rows_.integer(pos_, static_cast<size_t>(t)));
      for (auto it = range.first; it != range.second; ++it)
        if (it->second != pos_) refresh(it->second);
    }
  }

  std::shared_ptr<Connection> conn_;
  std::string source_;
  int nRowid_ = 0;
  std::vector<dialect::TableRef> tables_;
  std::vector<ColumnInfo> columns_;
  // Per rowid table: the rows that share a base row with another (usually none).
  struct Duplicates {
    bool known = false;
    std::unordered_multimap<int64_t, size_t> rows;
  };
  std::vector<Duplicates> duplicates_;
  struct PlanEntry {
    int table;
    std::vector<size_t> columns;
    SavePlan plan;
  };
  std::deque<PlanEntry> plans_;  // few; a deque keeps them in place
  std::vector<size_t> cols_;     // reused by update()
  std::vector<Value> stored_;    // reused by update()
};

bool looksLikeStatement(const std::string& s) {
  return s.find_first_of(" \t\r\n") != std::string::npos;
}

class SqliteDatabase : public Database {
 public:
  explicit SqliteDatabase(std::shared_ptr<Connection> conn) : conn_(std::move(conn)) {}

  std::unique_ptr<Recordset> openRecordset(const std::string& source) override {
    conn_->handle();
    size_t b = source.find_first_not_of(" \t\r\n");
    size_t e = source.find_last_not_of(" \t\r\n");
    const std::string src = b == std::string::npos ? "" : source.substr(b, e - b + 1);
    if (!looksLikeStatement(src)) {
      const std::string table = !src.empty() && src.front() == '[' && src.back() == ']'
                                    ? src.substr(1, src.size() - 2)
                                    : src;
      if (!conn_->tableExists(table))
        throw DbError(kErrNoSuchTable, "Cannot find the input table or query '" + table + "'.");
      std::vector<dialect::TableRef> tables;
      std::string sql;
      if (conn_->hasRowid(table)) {
        tables.push_back({table, ""});
        sql = std::string("SELECT rowid AS ") +
              quoteIdent(std::string(dialect::kRowidColumnPrefix) + "0") + ", * FROM " +
              quoteIdent(table) + " ORDER BY rowid";
      } else {
        sql = "SELECT * FROM " + quoteIdent(table);
      }
      return std::make_unique<SqliteRecordset>(conn_, conn_->prepare(sql, source),
                                               std::move(tables), source);
    }
    dialect::Translated t = dialect::translate(src, conn_->lookup(), dialect::Purpose::kQuery);
    if (!t.isSelect) throw DbError(kErrSyntax, "Not a query: '" + source + "'.");
    StmtPtr stmt = conn_->prepare(t.sql, source);
    return std::make_unique<SqliteRecordset>(conn_, std::move(stmt), std::move(t.rowidTables),
                                             source);
  }

  void execute(const std::string& sql, bool failOnError) override {
    conn_->handle();
    dialect::Translated t = dialect::translate(
        sql, conn_->lookup(),
        failOnError ? dialect::Purpose::kActionFailOnError : dialect::Purpose::kActionSkipFailures);
    if (t.isSelect) throw DbError(kErrSyntax, "Cannot execute a select query: '" + sql + "'.");
    StmtPtr stmt = conn_->prepare(t.sql, sql);
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) throwEngine(conn_->h, rc, sql);
  }

  void beginTrans() override {
    if (conn_->txDepth == 0)
      conn_->exec("BEGIN IMMEDIATE");
    else
      conn_->exec("SAVEPOINT kit_tx" + std::to_string(conn_->txDepth));
    ++conn_->txDepth;
  }

  void commitTrans() override {
    if (conn_->txDepth == 0) throw DbError(kErrNoTransaction, "Commit without a transaction.");
    if (conn_->txDepth == 1)
      conn_->exec("COMMIT");
    else
      conn_->exec("RELEASE kit_tx" + std::to_string(conn_->txDepth - 1));
    --conn_->txDepth;
  }

  void rollback() override {
    if (conn_->txDepth == 0) throw DbError(kErrNoTransaction, "Rollback without a transaction.");
    if (conn_->txDepth == 1) {
      conn_->exec("ROLLBACK");
    } else {
      const std::string sp = "kit_tx" + std::to_string(conn_->txDepth - 1);
      conn_->exec("ROLLBACK TO " + sp);
      conn_->exec("RELEASE " + sp);
    }
    --conn_->txDepth;
  }

  bool inTransaction() override {
    if (!sqlite3_get_autocommit(conn_->handle())) return true;
    conn_->txDepth = 0;  // the engine ended it
    return false;
  }

  int64_t dataVersion() override {
    sqlite3_stmt* s = conn_->cached("PRAGMA data_version");
    int64_t v = 0;
    if (sqlite3_step(s) == SQLITE_ROW) v = sqlite3_column_int64(s, 0);
    sqlite3_reset(s);
    return v;
  }

  void close() override { conn_->close(); }

 private:
  std::shared_ptr<Connection> conn_;
};

std::filesystem::path fsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace

std::unique_ptr<Database> openSqliteDatabase(const std::string& path, Durability durability) {
  std::error_code ec;
  const std::filesystem::path p = fsPath(path);
  const auto st = std::filesystem::status(p, ec);
  if (path.empty() || !std::filesystem::exists(st))
    throw DbError(kErrFileNotFound, "Could not find file '" + path + "'.");
  if (std::filesystem::is_directory(st))
    throw DbError(kErrCannotOpen, "'" + path + "' is a folder, not a database file.");
  // SQLite would take an empty file for an empty database and write into it.
  if (std::filesystem::file_size(p, ec) == 0 && !ec)
    throw DbError(kErrNotADatabase, "Unrecognized database format '" + path + "'.");

  requireZhCn();
  auto conn = std::make_shared<Connection>();
  conn->path = path;
  // One thread per connection: no locking inside the engine for each call.
  const int rc =
      sqlite3_open_v2(path.c_str(), &conn->h, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    if ((rc & 0xff) == SQLITE_CANTOPEN)
      throw DbError(kErrCannotOpen, "Cannot open the database file '" + path + "'.");
    throwEngine(conn->h, rc, path);
  }
  sqlite3_extended_result_codes(conn->h, 1);
  // Another user's write lock is waited for a while, as record locking would.
  sqlite3_busy_timeout(conn->h, 5000);
  // A bigger page cache than the default 2 MB: a transaction that touches
  // more pages than the cache holds spills them early, and every spill waits
  // for the disk. This is a setting of the connection, not of the file.
  sqlite3_exec(conn->h, "PRAGMA cache_size = -131072", nullptr, nullptr, nullptr);
  // Sorts and the undo records of nested transactions stay in memory rather
  // than in temporary files (the file's own journal is not affected).
  sqlite3_exec(conn->h, "PRAGMA temp_store = MEMORY", nullptr, nullptr, nullptr);
  if (durability == Durability::kScratch)
    sqlite3_exec(conn->h, "PRAGMA synchronous = OFF", nullptr, nullptr, nullptr);
  sqlite3_db_config(conn->h, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
  sqlite3_db_config(conn->h, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
  sqlite3_create_collation_v2(conn->h, dialect::kTextCollation, SQLITE_UTF8, nullptr, collateZh,
                              nullptr);
  // SQLite reads the file lazily; read the schema now so that a file that is
  // not a database fails here, as opening it would.
  sqlite3_stmt* s = nullptr;
  int r = sqlite3_prepare_v2(conn->h, "SELECT count(*) FROM sqlite_schema", -1, &s, nullptr);
  if (r == SQLITE_OK) r = sqlite3_step(s);
  sqlite3_finalize(s);
  if (r != SQLITE_ROW) {
    if ((r & 0xff) == SQLITE_NOTADB || (r & 0xff) == SQLITE_CORRUPT)
      throw DbError(kErrNotADatabase, "Unrecognized database format '" + path + "'.");
    throwEngine(conn->h, r, path);
  }
  return std::make_unique<SqliteDatabase>(std::move(conn));
}

}  // namespace db
