// LPart against a small model of the matching rule, on generated ledgers.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "fifocost/lpart.h"
#include "fifocost/testing/ledger.h"
#include "fifocost/testing/year_store.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using fifocost::testing::Ledger;
using fifocost::testing::Line;

// The rule as the ledger's owner would state it, on plain data.
std::vector<Line> model(const Ledger& ledger, const std::string& cutOff) {
  std::map<std::string, const fifocost::testing::Doc*> docs;
  for (const auto& d : ledger.docs) docs[d.number] = &d;
  std::vector<Line> lines = ledger.lines;
  auto category = [&](const Line& l) { return docs.at(l.doc)->category; };
  auto date = [&](const Line& l) { return docs.at(l.doc)->date; };
  auto isOut = [&](const Line& l) {
    const auto c = category(l);
    return c == "销货" || c == "出货" || c == "损溢";
  };
  auto isIn = [&](const Line& l) { return category(l) == "期初" || category(l) == "入货"; };

  std::vector<std::string> items;
  for (const Line& l : lines)
    if (category(l) == "销货" && l.settled == 0 && l.sold.value_or(0) != 0) items.push_back(l.code);
  if (items.empty()) return lines;
  std::sort(items.begin(), items.end());
  items.erase(std::unique(items.begin(), items.end()), items.end());

  for (Line& l : lines)
    if (l.settled == 0) {
      l.available = l.quantity;
      l.unitCost = l.cost = l.profit = std::nullopt;
    }
  for (const std::string& item : items) {
    std::vector<size_t> out, in;
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].code != item) continue;
      if (isOut(lines[i]) && lines[i].settled == 0 && date(lines[i]) <= cutOff) out.push_back(i);
      if (isIn(lines[i]) && lines[i].price.value_or(0) > 0) in.push_back(i);
    }
    std::stable_sort(out.begin(), out.end(),
                     [&](size_t a, size_t b) { return date(lines[a]) < date(lines[b]); });
    // Opening stock before goods received on one date.
    std::stable_sort(in.begin(), in.end(), [&](size_t a, size_t b) {
      if (date(lines[a]) != date(lines[b])) return date(lines[a]) < date(lines[b]);
      return (category(lines[a]) == "期初") > (category(lines[b]) == "期初");
    });
    for (size_t o : out) {
      const double q = *lines[o].sold;
      double left = q, cost = 0;
      for (size_t r : in) {
        Line& rec = lines[r];
        if (rec.available.value_or(0) <= 0) continue;
        const double a = *rec.available;
        rec.settled = -1;
        if (a >= left) {
          cost += left * *rec.price;
          rec.available = a - left;
          break;
        }
        cost += a * *rec.price;
        left -= a;
        rec.available = 0.0;
      }
      Line& l = lines[o];
      if (q > 0) l.unitCost = cost / q;
      l.cost = cost;
      l.settled = -1;
    }
  }
  for (Line& l : lines)
    if (l.sold.value_or(0) != 0)
      l.profit = (l.amount && l.cost) ? std::optional<double>(*l.amount - *l.cost) : std::nullopt;
  return lines;
}

class LPartModel : public ::testing::TestWithParam<fifocost::testing::Engine> {};

TEST_P(LPartModel, AgreesWithTheModelOnGeneratedLedgers) {
  const testsupport::TempFolder temp("lpart_model");
  const fs::path dir = temp.path();
  auto store = GetParam() == fifocost::testing::Engine::kSqlite
                   ? fifocost::testing::makeSqliteStore((dir / "y.db").string())
                   : fifocost::testing::makePostgresStore(fifocost::testing::databaseName("model"));
  // A server run costs a connection and a fresh schema: every fourth ledger.
  const uint64_t step = GetParam() == fifocost::testing::Engine::kSqlite ? 1 : 4;
  for (uint64_t seed = 1; seed <= 40; seed += step) {
    fifocost::testing::GenParams p;
    p.seed = seed;
    p.lines = 60 + seed * 7;
    p.items = 2 + seed % 6;
    p.oddities = true;
    p.settledBefore = seed % 3 == 0 ? "2011-01-01" : "2011-04-01";
    const Ledger ledger = fifocost::testing::generate(p);
    const std::string cutOff = seed % 2 ? "2011-12-31" : "2011-08-15";
    const auto expected = model(ledger, cutOff);
    for (auto mode : {fifocost::ReadMode::kSnapshot, fifocost::ReadMode::kPerStatement}) {
      store->write(ledger);
      fs::remove((dir / "Velmora.DLL"));
      fifocost::testing::writeAppDb((dir / "Velmora.DLL").string(), store->dbpath(), cutOff);
      fifocost::Options options;
      options.mode = mode;
      options.linesPerCommit = seed % 4;
      fifocost::LPart((dir / "Velmora.DLL").string(), fifocost::Services{}, options);
      const auto got = store->lines();
      ASSERT_EQ(got.size(), expected.size());
      for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i], expected[i])
            << "seed " << seed << " line " << i << " mode " << static_cast<int>(mode);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    BothEngines, LPartModel,
    ::testing::Values(fifocost::testing::Engine::kSqlite, fifocost::testing::Engine::kPostgres),
    [](const auto& info) {
      return std::string(info.param == fifocost::testing::Engine::kSqlite ? "Sqlite" : "Postgres");
    });

}  // namespace
