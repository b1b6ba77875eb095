#pragma once
// Year ledgers as plain data: written to and read back from SQLite files with
// the plain SQLite API (not the layer under test), and generated at random
// for tests, the demo and the benchmark.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fifocost::testing {

struct Doc {
  std::string number;    // 发票号
  std::string date;      // 日期, yyyy-mm-dd
  std::string category;  // 类别
};

struct Line {
  std::string doc;   // 发票号
  std::string code;  // 编号
  std::optional<double> quantity, price, available, sold, amount, unitCost, cost,
      profit;           // 数量 进价 销合 销数 销额 本价 成本 毛利
  int64_t settled = 0;  // 问题
  bool operator==(const Line&) const = default;
};

struct Ledger {
  std::vector<Doc> docs;    // in entry order
  std::vector<Line> lines;  // in entry order
};

// Creates the year database (the file must not exist).
void writeYearDb(const std::string& path, const Ledger& ledger);
// The lines in entry order.
std::vector<Line> readLines(const std::string& path);
// The application database with one usysbookind row.
void writeAppDb(const std::string& path, const std::string& dbpath, const std::string& yearnew);
std::string fileBytes(const std::string& path);

struct GenParams {
  size_t lines = 1000;
  size_t items = 50;
  uint64_t seed = 1;
  std::string settledBefore =
      "2011-03-01";  // lines before this date come settled from an earlier run
  bool oddities =
      false;  // zero prices, zero and negative quantities, quotes in codes, shuffled entry
};
Ledger generate(const GenParams& p);

}  // namespace fifocost::testing
