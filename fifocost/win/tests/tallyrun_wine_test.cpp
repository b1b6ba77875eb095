// Tallyrun.exe under Wine: it costs an SQLite ledger named by the application
// database in its program folder without showing anything, and a failure
// comes as a message box with the description, OK only and its title.
#include <gtest/gtest.h>

#include "fifocost/testing/ledger.h"
#include "fifocost/testing/year_store.h"
#include "tests/wine/harness.h"

namespace {

using fifocost::testing::Ledger;
using fifocost::testing::Line;
using winetest::milliseconds;

Line receipt(const std::string& doc, double qty, double price) {
  Line l;
  l.doc = doc;
  l.code = "轮胎-1";
  l.quantity = qty;
  l.price = price;
  l.available = qty;
  return l;
}

Ledger workedExample() {
  Ledger l;
  // Same date: opening stock goes first in pinyin order, though entered last.
  l.docs = {
      {"R2", "2011-01-05", "入货"}, {"R1", "2011-01-05", "期初"}, {"S1", "2011-02-01", "销货"}};
  l.lines = {receipt("R2", 4, 12.0), receipt("R1", 3, 10.0)};
  Line sale;
  sale.doc = "S1";
  sale.code = "轮胎-1";
  sale.sold = 5;
  sale.amount = 80;
  l.lines.push_back(sale);
  return l;
}

TEST(TallyrunWine, CostsTheLedgerInItsProgramFolderSilently) {
  winetest::ProgramFolder dir("Tallyrun 成本");
  dir.copyBinary("Tallyrun.exe");
  fifocost::testing::writeYearDb(dir.file("年度 2011.db").string(), workedExample());
  fifocost::testing::writeAppDb(dir.file("Velmora.DLL").string(), dir.winPath() + "\\年度 2011.db",
                                "2011-12-31");

  auto p = winetest::WineProcess::start({dir.file("Tallyrun.exe").string()}, {.cwd = dir.path()});
  EXPECT_FALSE(winetest::waitDialog("-", milliseconds(1500))) << "no window is shown on success";
  EXPECT_EQ(p.wait(milliseconds(60000)), 0) << p.err();
  const auto after = fifocost::testing::readLines(dir.file("年度 2011.db").string());
  EXPECT_EQ(after[2].cost, 54.0);
  EXPECT_EQ(after[2].unitCost, 10.8);
  EXPECT_EQ(after[2].profit, 26.0);
  EXPECT_EQ(after[1].available, 0.0);
  EXPECT_EQ(after[0].available, 2.0);
}

TEST(TallyrunWine, AMissingYearDatabaseIsReportedInAMessageBox) {
  winetest::ProgramFolder dir("tallyrun");
  dir.copyBinary("Tallyrun.exe");
  const std::string missing = dir.winPath() + "\\2011.db";
  fifocost::testing::writeAppDb(dir.file("Velmora.DLL").string(), missing, "2011-12-31");
  auto p = winetest::WineProcess::start({dir.file("Tallyrun.exe").string()}, {.cwd = dir.path()});
  auto box = winetest::waitDialog("Tallyrun", milliseconds(30000), 1);
  ASSERT_TRUE(box) << p.err();
  EXPECT_NE(box->text.find("Could not find file"), std::string::npos) << box->text;
  EXPECT_NE(box->text.find(missing), std::string::npos) << box->text;
  EXPECT_EQ(box->buttons, std::vector<int>{1});
  EXPECT_EQ(box->icon, "none");
  EXPECT_EQ(p.wait(milliseconds(30000)), 1);
  EXPECT_FALSE(dir.exists("2011.db")) << "the missing file must not be created";
}

// The year database on the test run's PostgreSQL server, through Wine's
// odbc32 and the system's driver manager.
TEST(TallyrunWine, CostsALedgerOnTheServer) {
  auto year = fifocost::testing::makePostgresStore(fifocost::testing::databaseName("wine_costs"));
  year->write(workedExample());
  winetest::ProgramFolder dir("tallyrun server");
  dir.copyBinary("Tallyrun.exe");
  fifocost::testing::writeAppDb(dir.file("Velmora.DLL").string(), year->dbpath(), "2011-12-31");
  auto p = winetest::WineProcess::start({dir.file("Tallyrun.exe").string()}, {.cwd = dir.path()});
  EXPECT_FALSE(winetest::waitDialog("-", milliseconds(1500))) << "no window is shown on success";
  EXPECT_EQ(p.wait(milliseconds(60000)), 0) << p.err();
  const auto after = year->lines();
  EXPECT_EQ(after[2].cost, 54.0);
  EXPECT_EQ(after[2].unitCost, 10.8);
  EXPECT_EQ(after[1].available, 0.0);  // opening stock first, in pinyin order
  EXPECT_EQ(after[0].available, 2.0);
}

TEST(TallyrunWine, AServerThatRefusesTheConnectionIsReportedInAMessageBox) {
  winetest::ProgramFolder dir("tallyrun refused");
  dir.copyBinary("Tallyrun.exe");
  fifocost::testing::writeAppDb(
      dir.file("Velmora.DLL").string(),
      "ODBC;Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=1;Database=y;Uid=u;Pwd=secret;",
      "2011-12-31");
  auto p = winetest::WineProcess::start({dir.file("Tallyrun.exe").string()}, {.cwd = dir.path()});
  auto box = winetest::waitDialog("Tallyrun", milliseconds(30000), 1);
  ASSERT_TRUE(box) << p.err();
  EXPECT_NE(box->text.find("ODBC--connection to"), std::string::npos) << box->text;
  EXPECT_NE(box->text.find("Port=1;"), std::string::npos)
      << box->text;  // the driver's own text is localised
  EXPECT_NE(box->text.find("Pwd=***"), std::string::npos)
      << "the password is not shown: " << box->text;
  EXPECT_EQ(box->buttons, std::vector<int>{1});
  EXPECT_EQ(p.wait(milliseconds(30000)), 1);
}

}  // namespace
