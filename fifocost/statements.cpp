#include "fifocost/statements.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "db/sql_dialect.h"

namespace fifocost {

const char* const kSettingsQuery = "SELECT usysbookind.* FROM usysbookind;";
const char* const kItemsToCostQuery =
    "SELECT 库清单.编号 FROM 库单 INNER JOIN 库清单 ON 库单.发票号 = 库清单.发票号 WHERE "
    "(((库单.类别)='销货') AND "
    "((库清单.销数)<>0) AND ((库清单.问题)=0)) GROUP BY 库清单.编号 ORDER BY 库清单.编号;";
const char* const kResetOpenLines =
    "UPDATE 库清单 SET 库清单.销合 = [数量], 库清单.本价 = Null, 库清单.成本 = Null, 库清单.毛利 = "
    "Null WHERE "
    "(((库清单.问题)=0));";
const char* const kGrossProfitUpdate =
    "UPDATE 库清单 SET 库清单.毛利 = [销额]-[成本] WHERE (((库清单.销数)<>0));";

namespace {

const char* const kOutgoingSelect =
    "SELECT 库清单.编号, 库单.日期, 库单.类别, 库清单.销数, 库清单.本价, 库清单.成本, 库清单.毛利, "
    "库清单.问题 FROM "
    "库单 INNER JOIN 库清单 ON 库单.发票号 = 库清单.发票号 WHERE (";
const char* const kReceiptSelect =
    "SELECT 库清单.编号, 库单.日期, 库单.类别, 库清单.数量, 库清单.进价, 库清单.销合, 库清单.问题 "
    "FROM 库单 INNER "
    "JOIN 库清单 ON 库单.发票号 = 库清单.发票号 WHERE (";
const char* const kAllOutgoingSelect =
    "SELECT 库清单.编号, 库清单.销数, 库清单.本价, 库清单.成本, 库清单.问题 FROM 库单 INNER JOIN "
    "库清单 ON 库单.发票号 = "
    "库清单.发票号 WHERE (";
const char* const kAllReceiptsSelect =
    "SELECT 库清单.编号, 库清单.进价, 库清单.销合, 库清单.问题 FROM 库单 INNER JOIN 库清单 ON "
    "库单.发票号 = 库清单.发票号 "
    "WHERE (";
const char* const kOpenReceiptCondition =
    "((库单.类别)='期初' Or (库单.类别)='入货') AND ((库清单.进价)>0) AND ((库清单.销合)>0)";

std::string openOutgoingCondition(const std::string& dayAfterCutOff) {
  return "((库单.日期)<#" + dayAfterCutOff +
         "#) AND ((库单.类别)='销货' Or (库单.类别)='出货' Or (库单.类别)='损溢') AND "
         "((库清单.问题)=0)";
}

// An item code as the items query gave it: text with its quotes doubled, so
// that it can never end the text early; a number as a number; no code as
// no code.
std::string itemCondition(const db::Value& code) {
  if (std::holds_alternative<db::Null>(code)) return "((库清单.编号) Is Null)";
  if (!std::holds_alternative<std::string>(code))
    return "((库清单.编号)=" + db::valueToText(code) + ")";
  std::string r = "((库清单.编号)='";
  for (char c : std::get<std::string>(code)) {
    if (c == '\'') r += '\'';
    r += c;
  }
  return r + "')";
}

int digits(const std::string& s, size_t at, size_t n) {
  int v = 0;
  std::from_chars(s.data() + at, s.data() + at + n, v);
  return v;
}

}  // namespace

std::string outgoingLinesQuery(const db::Value& itemCode, const std::string& dayAfterCutOff) {
  return kOutgoingSelect + itemCondition(itemCode) + " AND " +
         openOutgoingCondition(dayAfterCutOff) + ") ORDER BY 库单.日期;";
}

std::string openReceiptsQuery(const db::Value& itemCode) {
  return kReceiptSelect + itemCondition(itemCode) + " AND " + kOpenReceiptCondition +
         ") ORDER BY 库单.日期, 库单.类别;";
}

std::string allOutgoingLinesQuery(const std::string& dayAfterCutOff) {
  return kAllOutgoingSelect + openOutgoingCondition(dayAfterCutOff) + ") ORDER BY 库单.日期;";
}

std::string allOpenReceiptsQuery() {
  return std::string(kAllReceiptsSelect) + kOpenReceiptCondition +
         ") ORDER BY 库单.日期, 库单.类别;";
}

std::string dayAfterCutOff(const std::string& cutOff) {
  // Throws for anything but one whole date (a '#' in it included).
  const std::string day = db::dialect::normalizeDateLiteral(cutOff);
  using namespace std::chrono;
  const year_month_day ymd{year{digits(day, 0, 4)}, month{static_cast<unsigned>(digits(day, 5, 2))},
                           std::chrono::day{static_cast<unsigned>(digits(day, 8, 2))}};
  const year_month_day next{sys_days{ymd} + days{1}};
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", static_cast<int>(next.year()),
                static_cast<unsigned>(next.month()), static_cast<unsigned>(next.day()));
  return buf;
}

std::optional<double> readNumber(const db::Value& v) {
  const std::string text = db::valueToText(v);
  const size_t b = text.find_first_not_of(' ');
  if (b == std::string::npos) return std::nullopt;
  const std::string t = text.substr(b, text.find_last_not_of(' ') - b + 1);
  // Sign, digits with at most one point, optional exponent: nothing else.
  size_t i = (t[0] == '+' || t[0] == '-') ? 1 : 0;
  size_t mantissaDigits = 0;
  bool point = false;
  for (; i < t.size() && ((t[i] >= '0' && t[i] <= '9') || (t[i] == '.' && !point)); ++i) {
    if (t[i] == '.')
      point = true;
    else
      ++mantissaDigits;
  }
  if (mantissaDigits == 0) return std::nullopt;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    const size_t expStart = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    if (i == expStart) return std::nullopt;
  }
  if (i != t.size()) return std::nullopt;
  // from_chars takes no leading '+' and ignores the C locale; a number it
  // cannot hold ("1e400") is no number.
  double d = 0;
  const char* first = t.data() + (t[0] == '+' ? 1 : 0);
  const auto r = std::from_chars(first, t.data() + t.size(), d);
  if (r.ec != std::errc() || r.ptr != t.data() + t.size() || !std::isfinite(d)) return std::nullopt;
  return d;
}

double toNumber(const db::Value& v, const char* field) {
  if (const auto d = readNumber(v)) return *d;
  throw db::DbError(db::kErrTypeMismatch, std::string("Type mismatch: ") + field + " '" +
                                              db::valueToText(v) + "' is not a number.");
}

double numeric(const db::Value& v, const char* field) {
  if (std::holds_alternative<int64_t>(v)) return static_cast<double>(std::get<int64_t>(v));
  if (std::holds_alternative<double>(v)) return std::get<double>(v);
  return toNumber(v, field);
}

}  // namespace fifocost
