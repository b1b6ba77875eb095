#include "fifocost/testing/ledger.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fifocost::testing {
namespace {

struct Db {
  sqlite3* h = nullptr;
  explicit Db(const std::string& path, int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) {
    if (sqlite3_open_v2(path.c_str(), &h, flags, nullptr) != SQLITE_OK)
      throw std::runtime_error("cannot open " + path);
  }
  ~Db() { sqlite3_close(h); }
  void exec(const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(h, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
      std::string m = err ? err : "?";
      sqlite3_free(err);
      throw std::runtime_error(m + " in " + sql);
    }
  }
  sqlite3_stmt* prepare(const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(h, sql.c_str(), -1, &s, nullptr) != SQLITE_OK)
      throw std::runtime_error(std::string(sqlite3_errmsg(h)) + " in " + sql);
    return s;
  }
};

void bindOpt(sqlite3_stmt* s, int i, const std::optional<double>& v) {
  if (v)
    sqlite3_bind_double(s, i, *v);
  else
    sqlite3_bind_null(s, i);
}

std::optional<double> colOpt(sqlite3_stmt* s, int i) {
  if (sqlite3_column_type(s, i) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_double(s, i);
}

std::string text(sqlite3_stmt* s, int i) {
  const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
  return p ? p : "";
}

std::string dayOfYear(int day) {
  static const int len[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int m = 0;
  while (day > len[m]) day -= len[m++];
  char buf[16];
  std::snprintf(buf, sizeof buf, "2011-%02d-%02d", m + 1, day);
  return buf;
}

}  // namespace

void writeYearDb(const std::string& path, const Ledger& ledger) {
  Db db(path);
  db.exec(
      "CREATE TABLE 库单 (发票号 TEXT PRIMARY KEY, 日期 DATETIME, 类别 TEXT);"
      "CREATE TABLE 库清单 (序号 INTEGER PRIMARY KEY, 发票号 TEXT, 编号 TEXT, 数量 REAL, 进价 "
      "REAL, 销合 REAL, "
      "销数 REAL, 销额 REAL, 本价 REAL, 成本 REAL, 毛利 REAL, 问题 INTEGER NOT NULL DEFAULT 0);"
      "CREATE INDEX 库清单_发票号 ON 库清单 (发票号);"
      "BEGIN;");
  sqlite3_stmt* d = db.prepare("INSERT INTO 库单 VALUES (?1, ?2, ?3)");
  for (const Doc& doc : ledger.docs) {
    sqlite3_bind_text(d, 1, doc.number.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(d, 2, doc.date.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(d, 3, doc.category.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(d) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db.h));
    sqlite3_reset(d);
  }
  sqlite3_finalize(d);
  sqlite3_stmt* l = db.prepare(
      "INSERT INTO 库清单 (发票号, 编号, 数量, 进价, 销合, 销数, 销额, 本价, 成本, 毛利, 问题) "
      "VALUES "
      "(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
  for (const Line& line : ledger.lines) {
    sqlite3_bind_text(l, 1, line.doc.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(l, 2, line.code.c_str(), -1, SQLITE_TRANSIENT);
    bindOpt(l, 3, line.quantity);
    bindOpt(l, 4, line.price);
    bindOpt(l, 5, line.available);
    bindOpt(l, 6, line.sold);
    bindOpt(l, 7, line.amount);
    bindOpt(l, 8, line.unitCost);
    bindOpt(l, 9, line.cost);
    bindOpt(l, 10, line.profit);
    sqlite3_bind_int64(l, 11, line.settled);
    if (sqlite3_step(l) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db.h));
    sqlite3_reset(l);
  }
  sqlite3_finalize(l);
  db.exec("COMMIT;");
}

std::vector<Line> readLines(const std::string& path) {
  // Writable, so that a journal left by a killed run is rolled back first.
  Db db(path, SQLITE_OPEN_READWRITE);
  sqlite3_stmt* s = db.prepare(
      "SELECT 发票号, 编号, 数量, 进价, 销合, 销数, 销额, 本价, 成本, 毛利, 问题 FROM 库清单 ORDER "
      "BY rowid");
  std::vector<Line> lines;
  while (sqlite3_step(s) == SQLITE_ROW) {
    Line line;
    line.doc = text(s, 0);
    line.code = text(s, 1);
    line.quantity = colOpt(s, 2);
    line.price = colOpt(s, 3);
    line.available = colOpt(s, 4);
    line.sold = colOpt(s, 5);
    line.amount = colOpt(s, 6);
    line.unitCost = colOpt(s, 7);
    line.cost = colOpt(s, 8);
    line.profit = colOpt(s, 9);
    line.settled = sqlite3_column_int64(s, 10);
    lines.push_back(std::move(line));
  }
  sqlite3_finalize(s);
  return lines;
}

void writeAppDb(const std::string& path, const std::string& dbpath, const std::string& yearnew) {
  Db db(path);
  db.exec("CREATE TABLE usysbookind (yearnew TEXT, appath TEXT, path TEXT, dbpath TEXT);");
  sqlite3_stmt* s = db.prepare("INSERT INTO usysbookind VALUES (?1, '', '', ?2)");
  sqlite3_bind_text(s, 1, yearnew.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(s, 2, dbpath.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_step(s);
  sqlite3_finalize(s);
}

std::string fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

Ledger generate(const GenParams& p) {
  std::mt19937_64 rng(p.seed);
  auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  auto chance = [&](double x) { return std::uniform_real_distribution<double>(0, 1)(rng) < x; };
  Ledger ledger;
  std::vector<std::string> codes;
  for (size_t i = 0; i < p.items; ++i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "P%05zu", i + 1);
    codes.push_back(buf);
  }
  if (p.oddities && codes.size() > 2) {
    codes[1] = "O'Brien-1";
    codes[2] = "轮胎-2";
  }
  std::vector<double> basePrice;
  for (size_t i = 0; i < codes.size(); ++i) basePrice.push_back(uniform(5, 200) / 2.0);

  size_t docNo = 0;
  auto newDoc = [&](const std::string& date, const std::string& category) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "D%07zu", ++docNo);
    ledger.docs.push_back({buf, date, category});
    return ledger.docs.back().number;
  };
  // Opening stock of most items on the first day.
  const std::string opening = newDoc("2011-01-01", "期初");
  for (size_t i = 0; i < codes.size() && ledger.lines.size() < p.lines; ++i) {
    if (!chance(0.7)) continue;
    Line l;
    l.doc = opening;
    l.code = codes[i];
    l.quantity = uniform(1, 30);
    l.price = basePrice[i];
    l.available = l.quantity;
    ledger.lines.push_back(l);
  }
  // The year's documents, in date order; every item sees roughly as much
  // coming in as going out.
  const size_t docs = std::max<size_t>(1, (p.lines - ledger.lines.size()) / 3);
  std::vector<int> days;
  for (size_t i = 0; i < docs; ++i) days.push_back(uniform(1, 365));
  std::sort(days.begin(), days.end());
  for (size_t i = 0; i < docs && ledger.lines.size() < p.lines; ++i) {
    const int r = uniform(0, 99);
    const std::string category = r < 28   ? "入货"
                                 : r < 80 ? "销货"
                                 : r < 90 ? "出货"
                                 : r < 96 ? "损溢"
                                          : "期初";
    const std::string date = dayOfYear(days[i]);
    const std::string doc = newDoc(date, category);
    const int n = uniform(1, 5);
    for (int k = 0; k < n && ledger.lines.size() < p.lines; ++k) {
      const size_t item = static_cast<size_t>(uniform(0, static_cast<int>(codes.size()) - 1));
      Line l;
      l.doc = doc;
      l.code = codes[item];
      const bool settled = date < p.settledBefore;
      if (category == "入货" || category == "期初") {
        l.quantity = uniform(1, 40);
        l.price = basePrice[item] * uniform(90, 110) / 100.0;
        if (p.oddities && chance(0.05)) l.price = 0;
        l.available =
            settled ? std::optional<double>(uniform(0, static_cast<int>(*l.quantity))) : l.quantity;
      } else {
        l.sold = uniform(1, 8);
        if (category == "损溢") l.sold = uniform(-3, 3);
        if (p.oddities && chance(0.03)) l.sold = 0;
        l.amount = category == "销货" ? *l.sold * basePrice[item] * uniform(110, 160) / 100.0 : 0.0;
        if (settled) {
          l.unitCost = basePrice[item];
          l.cost = *l.sold * basePrice[item];
          l.profit = *l.amount - *l.cost;
        }
      }
      l.settled = settled ? -1 : 0;
      ledger.lines.push_back(l);
    }
  }
  if (p.oddities) {
    // Entry order is not date order: move a few lines and documents around.
    for (size_t i = 0; i + 1 < ledger.lines.size(); ++i)
      if (chance(0.1))
        std::swap(ledger.lines[i],
                  ledger.lines[static_cast<size_t>(uniform(0, static_cast<int>(i)))]);
    for (size_t i = 0; i + 1 < ledger.docs.size(); ++i)
      if (chance(0.1)) std::swap(ledger.docs[i], ledger.docs[i + 1]);
  }
  return ledger;
}

}  // namespace fifocost::testing
