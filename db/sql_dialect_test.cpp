#include "db/sql_dialect.h"

#include <gtest/gtest.h>

#include "db/database.h"
#include "tests/support/errors.h"

namespace {

using db::dialect::Purpose;
using db::dialect::translate;

db::dialect::SchemaLookup ledgerSchema() {
  return {[](const std::string& t, const std::string& c) {
            return (t == "库单" && (c == "类别" || c == "发票号")) ||
                   (t == "库清单" && (c == "编号" || c == "发票号"));
          },
          [](const std::string& t) { return t == "库单" || t == "库清单"; }};
}

TEST(SqlDialect, ActionStatementLosesTableQualifiedTargetsAndSkipsFailures) {
  const auto t = translate(
      "UPDATE 库清单 SET 库清单.销合 = [数量], 库清单.本价 = Null, 库清单.毛利 = "
      "[销额]-库清单.[成本] WHERE "
      "(((库清单.问题)=0));",
      ledgerSchema(), Purpose::kActionSkipFailures);
  EXPECT_EQ(t.sql,
            "UPDATE OR IGNORE 库清单 SET 销合 = \"数量\", 本价 = Null, 毛利 = "
            "\"销额\"-库清单.\"成本\" WHERE "
            "(((库清单.问题)=0));");
  EXPECT_FALSE(t.isSelect);
  EXPECT_EQ(translate("UPDATE t SET t.a = 1", {}, Purpose::kActionFailOnError).sql,
            "UPDATE t SET a = 1");
  EXPECT_EQ(translate("DELETE * FROM t WHERE a = True", {}, Purpose::kActionFailOnError).sql,
            "DELETE FROM t WHERE a = -1");
}

TEST(SqlDialect, JoinedSelectGetsRowidsCollationAndEntryOrderTies) {
  const auto t = translate(
      "SELECT 库清单.编号, 库单.日期 FROM 库单 INNER JOIN 库清单 ON 库单.发票号 = 库清单.发票号 "
      "WHERE "
      "(((库清单.编号)='A''1') AND ((库单.日期)<=#2011-12-31#) AND ((库单.类别)='销货' Or "
      "(库单.类别)=\"出货\")) "
      "ORDER BY 库单.日期, 库单.类别 DESC;",
      ledgerSchema(), Purpose::kQuery);
  EXPECT_TRUE(t.isSelect);
  ASSERT_EQ(t.rowidTables.size(), 2u);
  EXPECT_EQ(t.rowidTables[0].name, "库单");
  EXPECT_EQ(t.sql,
            "SELECT \"库单\".rowid AS \"__rowid_0\", \"库清单\".rowid AS \"__rowid_1\",  "
            "库清单.编号, 库单.日期 "
            "FROM 库单 INNER JOIN 库清单 ON 库单.发票号 = 库清单.发票号 WHERE "
            "(((库清单.编号 COLLATE NOCASE)='A''1') AND ((库单.日期)<='2011-12-31') AND "
            "((库单.类别 COLLATE NOCASE)"
            "='销货' Or (库单.类别 COLLATE NOCASE)='出货')) ORDER BY 库单.日期, "
            "库单.类别 COLLATE ZHCN DESC, \"库清单\".rowid, \"库单\".rowid;");
}

TEST(SqlDialect, GroupedSelectIsReadOnlyAndKeepsItsOrder) {
  const auto t = translate(
      "SELECT 库清单.编号 FROM 库单 INNER JOIN 库清单 ON 库单.发票号 = 库清单.发票号 GROUP BY "
      "库清单.编号 ORDER BY "
      "库清单.编号;",
      ledgerSchema(), Purpose::kQuery);
  EXPECT_TRUE(t.rowidTables.empty());
  EXPECT_NE(t.sql.find("ORDER BY 库清单.编号 COLLATE ZHCN;"), std::string::npos) << t.sql;
}

TEST(SqlDialect, AliasedAndSelfJoinedTables) {
  const auto t = translate("SELECT a.x FROM t AS a INNER JOIN t AS b ON a.id = b.id ORDER BY a.x",
                           {nullptr, [](const std::string&) { return true; }}, Purpose::kQuery);
  ASSERT_EQ(t.rowidTables.size(), 2u);
  EXPECT_EQ(t.rowidTables[1].qualifier(), "b");
  EXPECT_NE(t.sql.find("ORDER BY a.x, \"b\".rowid, \"a\".rowid"), std::string::npos) << t.sql;
  const auto twice = translate("SELECT * FROM t, t ORDER BY 1",
                               {nullptr, [](const std::string&) { return true; }}, Purpose::kQuery);
  EXPECT_TRUE(twice.rowidTables.empty());
}

TEST(SqlDialect, DateLiterals) {
  EXPECT_EQ(db::dialect::normalizeDateLiteral("2011-12-31"), "2011-12-31");
  EXPECT_EQ(db::dialect::normalizeDateLiteral("2011-2-3"), "2011-02-03");
  EXPECT_EQ(db::dialect::normalizeDateLiteral("12/31/2011"), "2011-12-31");
  EXPECT_EQ(db::dialect::normalizeDateLiteral(" 2012-02-29 8:05 "), "2012-02-29 08:05:00");
  for (const char* bad : {"", "2011-13-01", "2011-02-30", "2011-12-31') OR ('1'='1", "yesterday",
                          "2011-12", "2011-12-31 25:00", "31.12.2011"}) {
    EXPECT_EQ(testsupport::errorNumber([&] { db::dialect::normalizeDateLiteral(bad); }),
              db::kErrSyntax)
        << bad;
  }
  EXPECT_THROW(translate("SELECT * FROM t WHERE d < #2011-01-01", {}, Purpose::kQuery),
               db::DbError);
  EXPECT_THROW(translate("SELECT * FROM t WHERE a = 'x", {}, Purpose::kQuery), db::DbError);
}

}  // namespace
