#include "fifocost/testing/year_store.h"

#include <libpq-fe.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/sql.h"

namespace fifocost::testing {
namespace {

class SqliteStore : public YearStore {
 public:
  explicit SqliteStore(std::string file) : file_(std::move(file)) {}
  Engine engine() const override { return Engine::kSqlite; }
  std::string dbpath() const override { return file_; }
  void write(const Ledger& ledger) override {
    std::filesystem::remove(file_);
    writeYearDb(file_, ledger);
  }
  std::vector<Line> lines() override { return readLines(file_); }
  void exec(const std::string& sql) override { testsupport::runSql(file_, sql); }
  std::string fingerprint() override { return fileBytes(file_); }
  void remove() override { std::filesystem::remove(file_); }

 private:
  std::string file_;
};

struct Pg {
  PGconn* h;
  explicit Pg(const std::string& conninfo) : h(PQconnectdb(conninfo.c_str())) {
    if (PQstatus(h) != CONNECTION_OK) {
      const std::string m = PQerrorMessage(h);
      PQfinish(h);
      throw std::runtime_error("cannot connect to the test server: " + m);
    }
    PQsetNoticeProcessor(
        h, [](void*, const char*) {}, nullptr);  // "does not exist, skipping"
  }
  ~Pg() { PQfinish(h); }
  PGresult* query(const std::string& sql) {
    PGresult* r = PQexec(h, sql.c_str());
    const auto st = PQresultStatus(r);
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK && st != PGRES_COPY_IN) {
      const std::string m = PQresultErrorMessage(r);
      PQclear(r);
      throw std::runtime_error(m + " in " + sql);
    }
    return r;
  }
  void exec(const std::string& sql) { PQclear(query(sql)); }
};

std::string schemaScript() {
  std::ifstream in(KIT_PG_SCHEMA);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A field of COPY's text format.
std::string copyField(const std::optional<double>& v) {
  if (!v) return "\\N";
  std::ostringstream s;
  s.precision(17);
  s << *v;
  return s.str();
}

std::string copyText(const std::string& v) {
  std::string r;
  for (char c : v) {
    if (c == '\\' || c == '\t' || c == '\n') r += '\\';
    r += c;
  }
  return r;
}

std::optional<double> number(PGresult* r, int row, int col) {
  if (PQgetisnull(r, row, col)) return std::nullopt;
  return std::strtod(PQgetvalue(r, row, col), nullptr);
}

class PostgresStore : public YearStore {
 public:
  explicit PostgresStore(std::string name) : server_(pgServer()), name_(std::move(name)) {
    create();
  }
  ~PostgresStore() override {
    try {
      drop();
    } catch (...) {
    }
  }
  Engine engine() const override { return Engine::kPostgres; }
  std::string dbpath() const override { return server_.odbcPath(name_); }

  void write(const Ledger& ledger) override {
    if (!exists_) create();
    Pg db(server_.libpq(name_));
    db.exec("DROP TABLE IF EXISTS 库清单, 库单");
    db.exec(schemaScript());
    copy(db, "COPY 库单 (发票号, 日期, 类别) FROM STDIN", [&](std::string& out) {
      for (const Doc& d : ledger.docs)
        out += copyText(d.number) + '\t' + d.date + '\t' + copyText(d.category) + '\n';
    });
    copy(db,
         "COPY 库清单 (发票号, 编号, 数量, 进价, 销合, 销数, 销额, 本价, 成本, 毛利, 问题) FROM "
         "STDIN",
         [&](std::string& out) {
           for (const Line& l : ledger.lines)
             out += copyText(l.doc) + '\t' + copyText(l.code) + '\t' + copyField(l.quantity) +
                    '\t' + copyField(l.price) + '\t' + copyField(l.available) + '\t' +
                    copyField(l.sold) + '\t' + copyField(l.amount) + '\t' + copyField(l.unitCost) +
                    '\t' + copyField(l.cost) + '\t' + copyField(l.profit) + '\t' +
                    std::to_string(l.settled) + '\n';
         });
    db.exec("ANALYZE");
  }

  std::vector<Line> lines() override {
    Pg db(server_.libpq(name_));
    PGresult* r = db.query(
        "SELECT 发票号, 编号, 数量, 进价, 销合, 销数, 销额, 本价, 成本, 毛利, 问题 FROM 库清单 "
        "ORDER BY id");
    std::vector<Line> out;
    for (int i = 0; i < PQntuples(r); ++i) {
      Line l;
      l.doc = PQgetvalue(r, i, 0);
      l.code = PQgetvalue(r, i, 1);
      l.quantity = number(r, i, 2);
      l.price = number(r, i, 3);
      l.available = number(r, i, 4);
      l.sold = number(r, i, 5);
      l.amount = number(r, i, 6);
      l.unitCost = number(r, i, 7);
      l.cost = number(r, i, 8);
      l.profit = number(r, i, 9);
      l.settled = std::strtoll(PQgetvalue(r, i, 10), nullptr, 10);
      out.push_back(std::move(l));
    }
    PQclear(r);
    return out;
  }

  void exec(const std::string& sql) override { Pg(server_.libpq(name_)).exec(sql); }

  std::string fingerprint() override {
    Pg db(server_.libpq(name_));
    PGresult* r = db.query(
        "SELECT (SELECT string_agg(xmin::text || ':' || d::text, ',' ORDER BY 发票号) FROM 库单 d) "
        "|| '|' || "
        "(SELECT string_agg(xmin::text || ':' || l::text, ',' ORDER BY id) FROM 库清单 l)");
    std::string s = PQntuples(r) ? PQgetvalue(r, 0, 0) : "";
    PQclear(r);
    return s;
  }

  void remove() override { drop(); }

 private:
  void create() {
    drop();
    Pg(server_.libpq("postgres"))
        .exec("CREATE DATABASE " + name_ + " TEMPLATE template0 ENCODING 'UTF8'");
  }
  void drop() {
    Pg(server_.libpq("postgres")).exec("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
  }

  template <typename Fill>
  static void copy(Pg& db, const std::string& sql, Fill fill) {
    PQclear(db.query(sql));
    std::string data;
    fill(data);
    if (PQputCopyData(db.h, data.data(), static_cast<int>(data.size())) != 1 ||
        PQputCopyEnd(db.h, nullptr) != 1)
      throw std::runtime_error(PQerrorMessage(db.h));
    PGresult* r = PQgetResult(db.h);
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    const std::string m = PQresultErrorMessage(r);
    PQclear(r);
    while ((r = PQgetResult(db.h))) PQclear(r);
    if (!ok) throw std::runtime_error(m + " in " + sql);
  }

  PgServer server_;
  std::string name_;
  bool exists_ = false;
};

}  // namespace

std::unique_ptr<YearStore> makeSqliteStore(const std::string& file) {
  return std::make_unique<SqliteStore>(file);
}
std::unique_ptr<YearStore> makePostgresStore(const std::string& name) {
  return std::make_unique<PostgresStore>(name);
}

std::string PgServer::odbcPath(const std::string& database, const std::string& pwd) const {
  return "ODBC;Driver={PostgreSQL Unicode};Server=" + host + ";Port=" + port +
         ";Database=" + database + ";Uid=" + user + ";Pwd=" + pwd + ";";
}

std::string PgServer::libpq(const std::string& database) const {
  return "host=" + host + " port=" + port + " user=" + user + " password=" + password +
         " dbname=" + database;
}

PgServer pgServer() {
  const char* state = std::getenv("KIT_PG_STATE");
  if (!state)
    throw std::runtime_error("KIT_PG_STATE is not set: run the test through ctest (fixture pg)");
  std::ifstream in(std::string(state) + "/env");
  if (!in) throw std::runtime_error(std::string("no server: ") + state + "/env is missing");
  PgServer s;
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    const std::string k = line.substr(0, eq), v = line.substr(eq + 1);
    if (k == "KIT_PG_HOST") s.host = v;
    if (k == "KIT_PG_PORT") s.port = v;
    if (k == "KIT_PG_USER") s.user = v;
    if (k == "KIT_PG_PASSWORD") s.password = v;
  }
  // The driver manager reads its driver list from here (nothing of the
  // machine's own), in this process and in the programs it starts.
  setenv("ODBCSYSINI", state, 1);
  setenv("ODBCINI", (std::string(state) + "/odbc.ini").c_str(), 1);
  return s;
}

std::string databaseName(const std::string& testName) {
  std::string r = "t" + std::to_string(::getpid()) + "_";
  for (char c : testName) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    r += ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) ? c : '_';
  }
  return r.substr(0, 63);
}

}  // namespace fifocost::testing
