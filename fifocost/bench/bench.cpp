// Tallyrun against the floor of its own I/O on generated year ledgers.
//   fifocost_bench [lines...]      (default: 50000 200000 800000)
// For each size it generates a ledger (items, opening stock, receipts, sales,
// issues, losses, lines settled by an earlier run), then times on copies of
// it, best of three:
//   floor     reading every line joined with its document once and writing
//             本价, 成本, 毛利, 销合 and 问题 of every line in one transaction
//   sqlite3   the same in the sqlite3 command-line tool as it comes: the
//             join read once (its rows printed to /dev/null), then one
//             UPDATE of those five fields on every line, in one transaction
//   stmts     the cost run's own statements with nothing around them (see
//             statementsFloor): what no build of the program can go below
//   Tallyrun  the program itself, started as a process on its program folder
// With KIT_TALLYRUN_BEFORE naming another build of it (an earlier commit's),
// that build runs in the same rounds on its own folder, so that before and
// after are measured against the same floors.
// With --postgres first, the year database is on the PostgreSQL server named by
// $KIT_PG_STATE (tests/pg/fixture.sh), and the floor reads and writes the same
// through ODBC: one SELECT of every line with its document, one prepared
// UPDATE per line by its key, one transaction.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/odbc_connection.h"
#include "fifocost/testing/ledger.h"
#include "fifocost/testing/year_store.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

void check(int rc, sqlite3* h, int want = SQLITE_OK) {
  if (rc != want) throw std::runtime_error(sqlite3_errmsg(h));
}

double cpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  auto sec = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return sec(u.ru_utime) + sec(u.ru_stime);
}

struct Timing {
  double wall = 1e9, cpu = 1e9;
};

Timing floorRun(const std::string& path) {
  const double cpu0 = cpuSeconds(RUSAGE_SELF);
  const auto t0 = Clock::now();
  sqlite3* h = nullptr;
  check(sqlite3_open_v2(path.c_str(), &h, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr), h);
  sqlite3_exec(h, "PRAGMA cache_size = -131072", nullptr, nullptr,
               nullptr);  // as Tallyrun's connection
  struct Row {
    int64_t id;
    double quantity, price, sold, amount;
    int64_t settled;
  };
  std::vector<Row> rows;
  sqlite3_stmt* s = nullptr;
  check(sqlite3_prepare_v2(
            h,
            "SELECT l.rowid, l.数量, l.进价, l.销数, l.销额, l.问题, d.日期, d.类别 FROM 库清单 l "
            "JOIN 库单 d ON d.发票号 = l.发票号",
            -1, &s, nullptr),
        h);
  while (sqlite3_step(s) == SQLITE_ROW)
    rows.push_back({sqlite3_column_int64(s, 0), sqlite3_column_double(s, 1),
                    sqlite3_column_double(s, 2), sqlite3_column_double(s, 3),
                    sqlite3_column_double(s, 4), sqlite3_column_int64(s, 5)});
  sqlite3_finalize(s);
  check(sqlite3_exec(h, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), h);
  check(sqlite3_prepare_v2(h,
                           "UPDATE 库清单 SET 本价 = ?1, 成本 = ?2, 毛利 = ?3, 销合 = ?4, 问题 = "
                           "?5 WHERE rowid = ?6",
                           -1, &s, nullptr),
        h);
  for (const Row& r : rows) {
    sqlite3_bind_double(s, 1, r.price);
    sqlite3_bind_double(s, 2, r.sold * r.price);
    sqlite3_bind_double(s, 3, r.amount - r.sold * r.price);
    sqlite3_bind_double(s, 4, r.quantity);
    sqlite3_bind_int64(s, 5, -1);
    sqlite3_bind_int64(s, 6, r.id);
    check(sqlite3_step(s), h, SQLITE_DONE);
    sqlite3_reset(s);
  }
  sqlite3_finalize(s);
  check(sqlite3_exec(h, "COMMIT", nullptr, nullptr, nullptr), h);
  sqlite3_close(h);
  return {seconds(t0), cpuSeconds(RUSAGE_SELF) - cpu0};
}

// The cost run's own statements with nothing around them: the items query,
// the reset, one read of the open lines and receipts (unsorted, ordered here),
// the costing on plain numbers, the saves by rowid in row order, the gross
// profit, one transaction. Numbers only: what the run pays beyond this is its
// own doing.
Timing statementsFloor(const std::string& path, const std::string& dayAfterCutOff) {
  const double cpu0 = cpuSeconds(RUSAGE_SELF);
  const auto t0 = Clock::now();
  sqlite3* h = nullptr;
  check(sqlite3_open_v2(path.c_str(), &h, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr), h);
  auto exec = [h](const std::string& sql) {
    check(sqlite3_exec(h, sql.c_str(), nullptr, nullptr, nullptr), h);
  };
  exec("PRAGMA cache_size = -131072; PRAGMA temp_store = MEMORY");
  sqlite3_stmt* s = nullptr;
  check(sqlite3_prepare_v2(h,
                           "SELECT l.编号 FROM 库单 d JOIN 库清单 l ON d.发票号 = l.发票号 WHERE "
                           "d.类别 COLLATE NOCASE = '销货' AND l.销数 <> 0 AND l.问题 = 0 "
                           "GROUP BY l.编号 COLLATE NOCASE ORDER BY l.编号",
                           -1, &s, nullptr),
        h);
  size_t items = 0;
  while (sqlite3_step(s) == SQLITE_ROW) ++items;
  sqlite3_finalize(s);
  exec("BEGIN IMMEDIATE");
  exec("UPDATE 库清单 SET 销合 = 数量, 本价 = Null, 成本 = Null, 毛利 = Null WHERE 问题 = 0");
  struct Row {
    int64_t id;
    std::string code, date;
    bool receipt;
    double quantity, price, available;
  };
  std::vector<Row> rows;
  check(sqlite3_prepare_v2(
            h,
            ("SELECT l.rowid, l.编号, d.日期, d.类别 COLLATE NOCASE IN ('期初', '入货'), l.销数, "
             "l.进价, l.销合 FROM 库单 d JOIN 库清单 l ON d.发票号 = l.发票号 WHERE (d.日期 < '" +
             dayAfterCutOff +
             "' AND d.类别 COLLATE NOCASE IN ('销货', '出货', '损溢') AND l.问题 = 0) OR "
             "(d.类别 COLLATE NOCASE IN ('期初', '入货') AND l.进价 > 0 AND l.销合 > 0)")
                .c_str(),
            -1, &s, nullptr),
        h);
  auto text = [&](int i) {
    return std::string(reinterpret_cast<const char*>(sqlite3_column_text(s, i)));
  };
  while (sqlite3_step(s) == SQLITE_ROW)
    rows.push_back({sqlite3_column_int64(s, 0), text(1), text(2), sqlite3_column_int(s, 3) != 0,
                    sqlite3_column_double(s, 4), sqlite3_column_double(s, 5),
                    sqlite3_column_double(s, 6)});
  sqlite3_finalize(s);
  std::vector<uint32_t> order(rows.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    const Row &x = rows[a], &y = rows[b];
    if (int c = x.code.compare(y.code)) return c < 0;
    if (x.receipt != y.receipt) return y.receipt;
    if (int c = x.date.compare(y.date)) return c < 0;
    return x.id < y.id;
  });
  struct Save {
    int64_t id;
    bool receipt;
    double a, b;
  };
  std::vector<Save> saves;
  for (size_t i = 0; i < order.size();) {
    size_t end = i, firstReceipt;
    while (end < order.size() && rows[order[end]].code == rows[order[i]].code) ++end;
    for (firstReceipt = i; firstReceipt < end && !rows[order[firstReceipt]].receipt;
         ++firstReceipt) {
    }
    size_t head = firstReceipt;
    for (size_t k = i; k < firstReceipt; ++k) {
      const Row& line = rows[order[k]];
      double left = line.quantity, cost = 0;
      for (; head < end; ++head) {
        Row& r = rows[order[head]];
        saves.push_back({r.id, true, 0, 0});
        if (r.available >= left) {
          cost += left * r.price;
          r.available -= left;
          break;
        }
        cost += r.available * r.price;
        left -= r.available;
        r.available = 0;
      }
      saves.push_back({line.id, false, line.quantity > 0 ? cost / line.quantity : 0, cost});
    }
    i = end;
  }
  std::unordered_map<int64_t, double> left;
  for (const Row& r : rows)
    if (r.receipt) left[r.id] = r.available;
  std::sort(saves.begin(), saves.end(), [](const Save& a, const Save& b) { return a.id < b.id; });
  saves.erase(std::unique(saves.begin(), saves.end(),
                          [](const Save& a, const Save& b) { return a.id == b.id; }),
              saves.end());
  sqlite3_stmt *line = nullptr, *receipt = nullptr;
  check(sqlite3_prepare_v2(h, "UPDATE 库清单 SET 本价 = ?1, 成本 = ?2, 问题 = -1 WHERE rowid = ?3",
                           -1, &line, nullptr),
        h);
  check(sqlite3_prepare_v2(h, "UPDATE 库清单 SET 销合 = ?1, 问题 = -1 WHERE rowid = ?2", -1,
                           &receipt, nullptr),
        h);
  for (const Save& v : saves) {
    sqlite3_stmt* u = v.receipt ? receipt : line;
    int at = 1;
    sqlite3_bind_double(u, at++, v.receipt ? left[v.id] : v.a);
    if (!v.receipt) sqlite3_bind_double(u, at++, v.b);
    sqlite3_bind_int64(u, at, v.id);
    check(sqlite3_step(u), h, SQLITE_DONE);
    sqlite3_reset(u);
  }
  sqlite3_finalize(line);
  sqlite3_finalize(receipt);
  exec("UPDATE 库清单 SET 毛利 = 销额 - 成本 WHERE 销数 <> 0");
  exec("COMMIT");
  sqlite3_close(h);
  if (items == 0) throw std::runtime_error("no item to cost");
  return {seconds(t0), cpuSeconds(RUSAGE_SELF) - cpu0};
}

// Runs a program to its end, its standard input from `input` (if given).
Timing process(std::string program, std::vector<std::string> args, const std::string& input = {}) {
  std::vector<char*> argv{program.data()};
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const double cpu0 = cpuSeconds(RUSAGE_CHILDREN);
  const auto t0 = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (!input.empty()) {
      const int fd = open(input.c_str(), O_RDONLY);
      if (fd < 0 || dup2(fd, 0) < 0) _exit(126);
    }
    execvp(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  const Timing r{seconds(t0), cpuSeconds(RUSAGE_CHILDREN) - cpu0};
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(program + " failed");
  return r;
}

Timing tallyrun(const fs::path& folder) {
  return process((folder / "Tallyrun").string(), {});
}

// The generated ledger of a size: an item per hundred lines, seeded by the size.
fifocost::testing::GenParams ledgerOf(size_t lines) {
  fifocost::testing::GenParams p;
  p.lines = lines;
  p.items = std::max<size_t>(10, lines / 100);
  p.seed = lines;
  return p;
}

// A program folder: `program` as Tallyrun, beside an application database
// that names `year` as the year database.
void makeProgramFolder(const fs::path& folder, const std::string& program,
                       const std::string& year) {
  fs::create_directories(folder);
  fs::copy_file(program, folder / "Tallyrun");
  fifocost::testing::writeAppDb((folder / "Velmora.DLL").string(), year, "2011-11-30");
}

void keepBest(Timing& best, const Timing& t) {
  best = {std::min(best.wall, t.wall), std::min(best.cpu, t.cpu)};
}

Timing sqlite3Cli(const fs::path& base, const std::string& path) {
  const fs::path script = base / "floor.sql";
  std::ofstream(script)
      << ".output /dev/null\n"
         "SELECT l.rowid, l.数量, l.进价, l.销数, l.销额, l.问题, d.日期, d.类别 FROM 库清单 l "
         "JOIN 库单 d ON d.发票号 = l.发票号;\n"
         "BEGIN IMMEDIATE;\n"
         "UPDATE 库清单 SET 本价 = 进价, 成本 = 销数 * 进价, 毛利 = 销额 - 销数 * 进价, "
         "销合 = 数量, 问题 = -1;\n"
         "COMMIT;\n";
  return process("sqlite3", {"-bail", path}, script.string());
}

void odbcCheck(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE h, const char* what) {
  if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA) return;
  SQLCHAR state[6] = {}, text[512] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT len = 0;
  SQLGetDiagRec(type, h, 1, state, &native, text, sizeof text, &len);
  throw std::runtime_error(std::string(what) + ": " + reinterpret_cast<char*>(text));
}

Timing postgresFloor(const std::string& dbpath) {
  const double cpu0 = cpuSeconds(RUSAGE_SELF);
  const auto t0 = Clock::now();
  SQLHENV env;
  SQLHDBC dbc;
  SQLHSTMT s;
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  // After "ODBC;"; without a savepoint per statement, as the layer connects.
  db::odbc::WText conn = db::odbc::widen(dbpath.substr(5) + "Protocol=7.4-1;");
  odbcCheck(SQLDriverConnectW(dbc, nullptr, conn.data(), SQL_NTS, nullptr, 0, nullptr,
                              SQL_DRIVER_NOPROMPT),
            SQL_HANDLE_DBC, dbc, "connect");
  SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF),
                    SQL_IS_UINTEGER);
  SQLAllocHandle(SQL_HANDLE_STMT, dbc, &s);
  struct Row {
    SQLBIGINT id;
    double quantity, price, sold, amount;
  };
  std::vector<Row> rows;
  db::odbc::WText select = db::odbc::widen(
      "SELECT l.id, l.数量, l.进价, l.销数, l.销额, l.问题, d.日期, d.类别 FROM 库清单 l JOIN 库单 "
      "d ON d.发票号 = l.发票号");
  odbcCheck(SQLExecDirectW(s, select.data(), SQL_NTS), SQL_HANDLE_STMT, s, "select");
  while (SQLFetch(s) == SQL_SUCCESS) {
    Row r{};
    SQLLEN ind;
    SQLGetData(s, 1, SQL_C_SBIGINT, &r.id, 0, &ind);
    SQLGetData(s, 2, SQL_C_DOUBLE, &r.quantity, 0, &ind);
    SQLGetData(s, 3, SQL_C_DOUBLE, &r.price, 0, &ind);
    SQLGetData(s, 4, SQL_C_DOUBLE, &r.sold, 0, &ind);
    SQLGetData(s, 5, SQL_C_DOUBLE, &r.amount, 0, &ind);
    rows.push_back(r);
  }
  SQLFreeStmt(s, SQL_CLOSE);
  db::odbc::WText update = db::odbc::widen(
      "UPDATE 库清单 SET 本价 = ?, 成本 = ?, 毛利 = ?, 销合 = ?, 问题 = ? WHERE id = ?");
  odbcCheck(SQLPrepareW(s, update.data(), SQL_NTS), SQL_HANDLE_STMT, s, "prepare");
  double v[4];
  SQLBIGINT settled = -1, id = 0;
  for (int i = 0; i < 4; ++i)
    SQLBindParameter(s, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE,
                     0, 0, &v[i], 0, nullptr);
  SQLBindParameter(s, 5, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &settled, 0, nullptr);
  SQLBindParameter(s, 6, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &id, 0, nullptr);
  for (const Row& r : rows) {
    v[0] = r.price;
    v[1] = r.sold * r.price;
    v[2] = r.amount - r.sold * r.price;
    v[3] = r.quantity;
    id = r.id;
    odbcCheck(SQLExecute(s), SQL_HANDLE_STMT, s, "update");
    SQLFreeStmt(s, SQL_CLOSE);
  }
  odbcCheck(SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT), SQL_HANDLE_DBC, dbc, "commit");
  SQLFreeHandle(SQL_HANDLE_STMT, s);
  SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  return {seconds(t0), cpuSeconds(RUSAGE_SELF) - cpu0};
}

int postgresMain(const std::vector<size_t>& sizes) {
  const fs::path base =
      fs::temp_directory_path() / ("tallyrun_pgbench_" + std::to_string(::getpid()));
  std::printf("PostgreSQL server; wall time is the client's wait, CPU time the client's own\n");
  std::printf("%9s %7s | %9s %11s %6s | %11s\n", "lines", "items", "floor s", "Tallyrun s", "ratio",
              "us per line");
  auto store = fifocost::testing::makePostgresStore("tallyrun_bench");
  for (size_t lines : sizes) {
    fs::remove_all(base);
    const fifocost::testing::GenParams p = ledgerOf(lines);
    const auto ledger = fifocost::testing::generate(p);
    makeProgramFolder(base / "prog", TALLYRUN_PATH, store->dbpath());
    store->write(ledger);
    const Timing floor = postgresFloor(store->dbpath());
    store->write(ledger);
    const Timing run = tallyrun(base / "prog");
    std::printf("%9zu %7zu | %9.3f %11.3f %6.2f | %11.2f\n", lines, p.items, floor.wall, run.wall,
                run.wall / floor.wall, run.wall / static_cast<double>(lines) * 1e6);
    std::fflush(stdout);
  }
  fs::remove_all(base);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<size_t> sizes;
  const bool postgres = argc > 1 && std::string(argv[1]) == "--postgres";
  for (int i = postgres ? 2 : 1; i < argc; ++i) sizes.push_back(std::strtoul(argv[i], nullptr, 10));
  if (postgres) return postgresMain(sizes.empty() ? std::vector<size_t>{200000, 800000} : sizes);
  if (sizes.empty()) sizes = {50000, 200000, 800000};
  const fs::path base =
      fs::temp_directory_path() / ("tallyrun_bench_" + std::to_string(::getpid()));
  // Wall time is what a user waits for; CPU time shows the same when other
  // work shares the machine.
  // The ratios: Tallyrun over this program's floor, over the sqlite3 tool's,
  // over its own statements' floor, and over its own time at the size before
  // (linear: that size's ratio; the statements' floor's growth beside it).
  const char* beforeBuild = std::getenv("KIT_TALLYRUN_BEFORE");
  const bool compare = beforeBuild && *beforeBuild;
  std::printf("%9s %7s | %8s %9s %7s %10s | %6s %7s %6s %7s %7s | %9s %12s %6s | %11s", "lines",
              "items", "floor s", "sqlite3 s", "stmts s", "Tallyrun s", "/floor", "/sqlite3",
              "/stmts", "/before", "stmts/b", "floor cpu", "Tallyrun cpu", "ratio", "us per line");
  if (compare) std::printf(" | %9s %6s %7s %7s", "before s", "/floor", "/sqlite3", "/before");
  std::printf("\n");
  double before = 0, beforeBefore = 0, stmtsBefore = 0;
  for (size_t lines : sizes) {
    fs::remove_all(base);
    const fifocost::testing::GenParams p = ledgerOf(lines);
    const std::string ledger = (base / "ledger.db").string();
    fs::create_directories(base);
    fifocost::testing::writeYearDb(ledger, fifocost::testing::generate(p));
    // Another build of the program may be compared: KIT_TALLYRUN names it.
    const char* other = std::getenv("KIT_TALLYRUN");
    const std::string year = (base / "prog" / "2011.db").string();
    makeProgramFolder(base / "prog", other && *other ? other : TALLYRUN_PATH, year);
    const std::string beforeYear = (base / "before" / "2011.db").string();
    if (compare) makeProgramFolder(base / "before", beforeBuild, beforeYear);

    Timing floor, cli, stmts, run, old;
    for (int round = 0; round < 3; ++round) {
      fs::copy_file(ledger, base / "floor.db", fs::copy_options::overwrite_existing);
      const Timing f = floorRun((base / "floor.db").string());
      keepBest(floor, f);
      fs::copy_file(ledger, base / "floor.db", fs::copy_options::overwrite_existing);
      const Timing c = sqlite3Cli(base, (base / "floor.db").string());
      keepBest(cli, c);
      fs::copy_file(ledger, base / "floor.db", fs::copy_options::overwrite_existing);
      const Timing st = statementsFloor((base / "floor.db").string(), "2011-12-01");
      keepBest(stmts, st);
      fs::copy_file(ledger, year, fs::copy_options::overwrite_existing);
      const Timing r = tallyrun(base / "prog");
      keepBest(run, r);
      if (!compare) continue;
      fs::copy_file(ledger, beforeYear, fs::copy_options::overwrite_existing);
      const Timing o = tallyrun(base / "before");
      keepBest(old, o);
    }
    const double perLine = run.wall / static_cast<double>(lines);
    const double growth = before > 0 ? run.wall / before : 1.0;
    before = run.wall;
    const double stmtsGrowth = stmtsBefore > 0 ? stmts.wall / stmtsBefore : 1.0;
    stmtsBefore = stmts.wall;
    std::printf(
        "%9zu %7zu | %8.3f %9.3f %7.3f %10.3f | %6.2f %7.2f %6.2f %7.2f %7.2f | %9.3f %12.3f %6.2f "
        "| %11.2f",
        lines, p.items, floor.wall, cli.wall, stmts.wall, run.wall, run.wall / floor.wall,
        run.wall / cli.wall, run.wall / stmts.wall, growth, stmtsGrowth, floor.cpu, run.cpu,
        run.cpu / floor.cpu, perLine * 1e6);
    if (compare) {
      const double oldGrowth = beforeBefore > 0 ? old.wall / beforeBefore : 1.0;
      beforeBefore = old.wall;
      std::printf(" | %9.3f %6.2f %7.2f %7.2f", old.wall, old.wall / floor.wall,
                  old.wall / cli.wall, oldGrowth);
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  fs::remove_all(base);
  return 0;
}
