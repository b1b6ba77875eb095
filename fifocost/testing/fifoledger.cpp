// Year ledgers on the command line, for the demo and for trying Tallyrun:
//   fifoledger generate <folder> <lines> <items> <seed> [cut-off]
//       writes <folder>/2011.db and <folder>/Velmora.DLL naming it
//   fifoledger summary <year database>
//       prints what the costed lines of each item add up to
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fifocost/testing/ledger.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: fifoledger generate <folder> <lines> <items> <seed> [cut-off]\n"
               "       fifoledger summary <year database>\n");
  return 2;
}

int summary(const std::string& path) {
  sqlite3* h = nullptr;
  if (sqlite3_open_v2(path.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return 1;
  const char* sql =
      "SELECT l.编号, count(*), round(sum(l.成本), 2), round(sum(l.毛利), 2), "
      " (SELECT round(sum(r.销合), 2) FROM 库清单 r JOIN 库单 rd ON rd.发票号 = r.发票号 "
      "   WHERE r.编号 = l.编号 AND rd.类别 IN ('期初', '入货') AND r.进价 > 0) "
      "FROM 库清单 l JOIN 库单 d ON d.发票号 = l.发票号 "
      "WHERE d.类别 IN ('销货', '出货', '损溢') AND l.问题 <> 0 GROUP BY l.编号 ORDER BY l.编号";
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(h, sql, -1, &s, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "%s\n", sqlite3_errmsg(h));
    return 1;
  }
  std::printf("%-12s %8s %14s %14s %12s\n", "item", "lines", "cost", "gross profit", "stock left");
  while (sqlite3_step(s) == SQLITE_ROW) {
    auto col = [&](int i) {
      const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
      return std::string(t ? t : "-");
    };
    std::printf("%-12s %8s %14s %14s %12s\n", col(0).c_str(), col(1).c_str(), col(2).c_str(),
                col(3).c_str(), col(4).c_str());
  }
  sqlite3_finalize(s);
  sqlite3_close(h);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string cmd = argv[1];
  if (cmd == "generate" && (argc == 6 || argc == 7)) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::absolute(argv[2]);
    fs::create_directories(dir);
    fifocost::testing::GenParams p;
    p.lines = std::strtoul(argv[3], nullptr, 10);
    p.items = std::strtoul(argv[4], nullptr, 10);
    p.seed = std::strtoull(argv[5], nullptr, 10);
    const std::string year = (dir / "2011.db").string();
    fs::remove(year);
    fs::remove(dir / "Velmora.DLL");
    fifocost::testing::writeYearDb(year, fifocost::testing::generate(p));
    fifocost::testing::writeAppDb((dir / "Velmora.DLL").string(), year,
                                  argc == 7 ? argv[6] : "2011-12-31");
    return 0;
  }
  if (cmd == "summary" && argc == 3) return summary(argv[2]);
  return usage();
}
