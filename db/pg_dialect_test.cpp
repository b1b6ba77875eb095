#include "db/pg_dialect.h"

#include <gtest/gtest.h>

#include "db/database.h"

namespace {

db::pg::Schema ledgerSchema() {
  return {[](const std::string& t, const std::string& c) {
            return (t == "库单" && (c == "类别" || c == "发票号")) ||
                   (t == "库清单" && (c == "编号" || c == "发票号"));
          },
          [](const std::string& t) {
            return t == "库单" ? std::vector<std::string>{"发票号"}
                               : std::vector<std::string>{"id"};
          }};
}

TEST(PgDialect, Translations) {
  const struct {
    const char* original;
    const char* translated;
  } cases[] = {
      // Dates by day, text without case, booleans as the kit stores them.
      {"UPDATE 库清单 SET 库清单.销合 = [数量], 库清单.本价 = Null WHERE (((库清单.问题)=True));",
       "UPDATE 库清单 SET 销合 = \"数量\", 本价 = Null WHERE (((库清单.问题)=-1));"},
      {"DELETE * FROM [T] WHERE a = False", "DELETE  FROM \"t\" WHERE a = 0"},
      {"SELECT 库清单.编号 FROM 库单 INNER JOIN 库清单 ON 库单.发票号 = 库清单.发票号 WHERE "
       "(((库清单.编号)='a''1') "
       "AND ((库单.日期)<=#12/31/2011#) AND ((库单.日期)>#2011-01-01 08:00#)) ORDER BY 库单.日期, "
       "库单.类别;",
       "SELECT \"库单\".\"发票号\" AS \"__key_0\", \"库清单\".\"id\" AS \"__key_1\",  库清单.编号 "
       "FROM 库单 INNER "
       "JOIN 库清单 ON 库单.发票号 = 库清单.发票号 WHERE ((lower((库清单.编号))=lower('a''1')) AND "
       "(CAST((库单.日期) AS date)<=DATE '2011-12-31') AND ((库单.日期)>TIMESTAMP '2011-01-01 "
       "08:00:00')) ORDER BY "
       "库单.日期, 库单.类别 COLLATE \"zh-x-icu\", \"库清单\".\"id\", \"库单\".\"发票号\";"},
      // Grouped without case: the group shows its lowest spelling.
      {"SELECT 库清单.编号 FROM 库清单 GROUP BY 库清单.编号 ORDER BY 库清单.编号;",
       "SELECT min(库清单.编号) AS \"编号\" FROM 库清单 GROUP BY lower(库清单.编号) ORDER BY "
       "min(库清单.编号) "
       "COLLATE \"zh-x-icu\";"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(db::pg::translate(c.original, ledgerSchema()).sql, c.translated);
}

TEST(PgDialect, UpdatableSelectsNameTheirKeysAndOrigins) {
  const auto t = db::pg::translate("SELECT 库清单.编号, 库单.日期 AS d, 1 + 2 FROM 库单, 库清单",
                                   ledgerSchema());
  ASSERT_EQ(t.keyTables.size(), 2u);
  EXPECT_EQ(t.keyTables[1].keys, std::vector<std::string>{"id"});
  ASSERT_EQ(t.items.size(), 3u);
  EXPECT_EQ(t.items[0].table, "库清单");
  EXPECT_EQ(t.items[1].column, "日期");
  EXPECT_TRUE(t.items[2].table.empty());
  const auto grouped = db::pg::translate("SELECT DISTINCT a FROM 库单", ledgerSchema());
  EXPECT_TRUE(grouped.keyTables.empty());
  EXPECT_THROW(db::pg::translate("SELECT * FROM t WHERE d < #2011-13-01#", {}), db::DbError);
}

}  // namespace
