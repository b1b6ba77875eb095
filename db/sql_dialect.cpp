#include "db/sql_dialect.h"

#include <cstdio>
#include <optional>

#include "db/database.h"
#include "db/sql_tokens.h"

namespace db::dialect {
namespace {

class Statement {
 public:
  Statement(const std::string& sql, const SchemaLookup& schema)
      : sql_(sql), schema_(schema), v_(sql) {
    for (size_t k = 0; k < v_.size(); ++k) {
      Token& t = v_.tokMut(k);
      if (isKeyword(t, "True")) t.out = std::string("-1");
      if (isKeyword(t, "False")) t.out = std::string("0");
    }
  }

  Translated run(Purpose purpose) {
    Translated r;
    if (v_.size() == 0) return finish(r);
    if (isKeyword(tok(0), "UPDATE")) {
      translateUpdate(purpose);
      if (v_.size() > 1 && isName(tok(1))) compareWithoutCase({{tok(1).name, ""}});
    } else if (isKeyword(tok(0), "DELETE")) {
      // "DELETE * FROM t" and "DELETE t.* FROM t": SQLite names no columns.
      const auto from = findTop("FROM", 1);
      if (from) {
        if (*from > 1) {
          v_.clear(0, *from - 1);
          tokMut(0).out = "DELETE";
        }
        compareWithoutCase(v_.fromTables(*from));
      }
    } else if (isKeyword(tok(0), "SELECT")) {
      r.isSelect = true;
      translateSelect(r);
    }
    return finish(r);
  }

 private:
  const Token& tok(size_t k) const { return v_.tok(k); }
  Token& tokMut(size_t k) { return v_.tokMut(k); }
  std::optional<size_t> findTop(const char* kw, size_t from) const { return v_.findTop(kw, from); }

  Translated& finish(Translated& r) {
    r.sql = v_.joined();
    return r;
  }

  void translateUpdate(Purpose purpose) {
    // Passing over rows that cannot be updated is SQLite's OR IGNORE.
    if (purpose == Purpose::kActionSkipFailures) tokMut(0).out = "UPDATE OR IGNORE";
    const auto set = findTop("SET", 1);
    if (!set) return;
    bool atTarget = true;
    for (size_t k = *set + 1; k < v_.size(); ++k) {
      if (v_.depth(k) == 0 && (isKeyword(tok(k), "WHERE") || isKeyword(tok(k), "RETURNING"))) break;
      if (v_.depth(k) == 0 && isPunct(tok(k), ",")) {
        atTarget = true;
        continue;
      }
      if (atTarget && k + 2 < v_.size() && isName(tok(k)) && isPunct(tok(k + 1), ".") &&
          isName(tok(k + 2))) {
        // SQLite takes only a bare column as the target of SET.
        const std::string column = tok(k + 2).out;
        v_.clear(k, k + 2);
        tokMut(k + 2).out = column;
      }
      atTarget = false;
    }
  }

  void translateSelect(Translated& r) {
    bool grouped = false;
    size_t listStart = 1;
    if (v_.size() > 1 && (isKeyword(tok(1), "DISTINCT") || isKeyword(tok(1), "DISTINCTROW")))
      grouped = true;
    if (findTop("GROUP", 1) || findTop("UNION", 1)) grouped = true;
    const auto from = findTop("FROM", 1);
    std::vector<TableRef> tables;
    if (from) tables = v_.fromTables(*from);
    compareWithoutCase(tables);
    const auto order = findTop("ORDER", 1);
    if (order && *order + 1 < v_.size() && isKeyword(tok(*order + 1), "BY"))
      orderBy(*order + 2, tables, grouped);

    if (grouped) return;
    // Rowid columns go first so that the row set can write back; a table that
    // is named twice without distinct aliases cannot be told apart.
    std::string extra;
    for (size_t t = 0; t < tables.size(); ++t) {
      if (!usableQualifier(tables, t)) continue;
      if (!schema_.hasRowid || !schema_.hasRowid(tables[t].name)) continue;
      extra += quoteIdent(tables[t].qualifier()) + ".rowid AS " +
               quoteIdent(kRowidColumnPrefix + std::to_string(r.rowidTables.size())) + ", ";
      r.rowidTables.push_back(tables[t]);
    }
    if (!extra.empty()) tokMut(listStart - 1).out += " " + extra;
  }

  std::optional<std::string> tableOf(const std::vector<TableRef>& tables,
                                     const std::string& qualifier) const {
    for (const TableRef& t : tables)
      if (sameName(t.qualifier(), qualifier)) return t.name;
    return std::nullopt;
  }

  bool textColumn(const std::vector<TableRef>& tables, const std::optional<std::string>& qualifier,
                  const std::string& column) const {
    if (!schema_.isTextColumn) return false;
    if (qualifier) {
      const auto table = tableOf(tables, *qualifier);
      return table && schema_.isTextColumn(*table, column);
    }
    for (const TableRef& t : tables)
      if (schema_.isTextColumn(t.name, column)) return true;
    return false;
  }

  // Whether a clause keyword starts a part whose text comparisons (and
  // groups) ignore letter case: conditions and GROUP BY, not the select list,
  // SET or ORDER BY.
  static std::optional<bool> startsCondition(const Token& t) {
    for (const char* kw : {"WHERE", "ON", "HAVING", "GROUP"})
      if (isKeyword(t, kw)) return true;
    for (const char* kw : {"SELECT", "FROM", "ORDER", "SET", "UNION", "LIMIT", "RETURNING", "JOIN",
                           "INNER", "LEFT", "RIGHT", "CROSS"})
      if (isKeyword(t, kw)) return false;
    return std::nullopt;
  }

  // Whether the column reference from significant token `first` to `last` is
  // compared with another column (a join): such a comparison keeps the
  // columns' own collation, so that the tables' indexes still serve it.
  bool comparedWithColumn(size_t first, size_t last) const {
    auto comparison = [&](size_t k) {
      for (const char* op : {"=", "<>", "<", ">", "<=", ">=", "!="})
        if (isPunct(tok(k), op)) return true;
      return false;
    };
    if (last + 2 < v_.size() && comparison(last + 1) && isName(tok(last + 2))) return true;
    return first >= 2 && comparison(first - 1) && isName(tok(first - 2));
  }

  // Every text column named in a condition or a GROUP BY is compared with the
  // case-blind collation, as the original engine compares text.
  void compareWithoutCase(const std::vector<TableRef>& tables) {
    const std::string collate = std::string(" COLLATE ") + kCaseBlindCollation;
    std::vector<bool> inCondition{false};  // per bracket level
    for (size_t k = 0; k < v_.size(); ++k) {
      const Token& t = tok(k);
      if (isPunct(t, "(")) inCondition.push_back(inCondition.back());
      if (isPunct(t, ")") && inCondition.size() > 1) inCondition.pop_back();
      if (const auto starts = startsCondition(t)) inCondition.back() = *starts;
      if (!inCondition.back() || !isName(t)) continue;
      if (k + 2 < v_.size() && isPunct(tok(k + 1), ".") && isName(tok(k + 2))) {
        if (!comparedWithColumn(k, k + 2) && textColumn(tables, t.name, tok(k + 2).name))
          tokMut(k + 2).out += collate;
        k += 2;
        continue;
      }
      const bool call = k + 1 < v_.size() && isPunct(tok(k + 1), "(");
      const bool member = k > 0 && isPunct(tok(k - 1), ".");
      if (!call && !member && !comparedWithColumn(k, k) && textColumn(tables, std::nullopt, t.name))
        tokMut(k).out += collate;
    }
  }

  void orderBy(size_t first, const std::vector<TableRef>& tables, bool grouped) {
    size_t k = first;
    size_t lastTermEnd = first;
    while (k < v_.size()) {
      size_t end = k;
      while (end < v_.size() &&
             !(v_.depth(end) == 0 &&
               (isPunct(tok(end), ",") || isPunct(tok(end), ";") || isKeyword(tok(end), "LIMIT"))))
        ++end;
      // A plain column reference, maybe qualified, maybe followed by a direction.
      size_t refEnd = end;
      if (refEnd > k && (isKeyword(tok(refEnd - 1), "ASC") || isKeyword(tok(refEnd - 1), "DESC")))
        --refEnd;
      if (refEnd == k + 1 && isName(tok(k))) {
        if (textColumn(tables, std::nullopt, tok(k).name))
          tokMut(k).out += std::string(" COLLATE ") + kTextCollation;
      } else if (refEnd == k + 3 && isName(tok(k)) && isPunct(tok(k + 1), ".") &&
                 isName(tok(k + 2))) {
        if (textColumn(tables, tok(k).name, tok(k + 2).name))
          tokMut(k + 2).out += std::string(" COLLATE ") + kTextCollation;
      }
      lastTermEnd = end;
      if (end < v_.size() && isPunct(tok(end), ",")) {
        k = end + 1;
        continue;
      }
      break;
    }
    if (grouped || lastTermEnd == first) return;
    // Equal keys come back in entry order, the detail table's first.
    std::string ties;
    for (size_t t = tables.size(); t-- > 0;) {
      if (!usableQualifier(tables, t)) continue;
      if (!schema_.hasRowid || !schema_.hasRowid(tables[t].name)) continue;
      ties += ", " + quoteIdent(tables[t].qualifier()) + ".rowid";
    }
    tokMut(lastTermEnd - 1).out += ties;
  }

  const std::string& sql_;
  const SchemaLookup& schema_;
  TokenView v_;
};

int daysInMonth(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
  return days[m - 1];
}

}  // namespace

char lowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

bool sameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  return true;
}

std::string quoteIdent(const std::string& name) {
  std::string r = "\"";
  for (char c : name) {
    if (c == '"') r += '"';
    r += c;
  }
  return r + "\"";
}

std::string normalizeDateLiteral(const std::string& inner) {
  auto bad = [&]() -> std::string {
    throw DbError(kErrSyntax, "Syntax error in date in query expression '#" + inner + "#'.");
  };
  size_t b = inner.find_first_not_of(' ');
  size_t e = inner.find_last_not_of(' ');
  if (b == std::string::npos) return bad();
  const std::string s = inner.substr(b, e - b + 1);

  // Split into numbers and the separators between them.
  std::vector<int> nums;
  std::vector<size_t> widths;
  std::string seps;
  size_t i = 0;
  while (i < s.size()) {
    if (s[i] < '0' || s[i] > '9') return bad();
    size_t j = i;
    int v = 0;
    while (j < s.size() && s[j] >= '0' && s[j] <= '9') {
      if (j - i >= 4) return bad();
      v = v * 10 + (s[j] - '0');
      ++j;
    }
    nums.push_back(v);
    widths.push_back(j - i);
    if (j == s.size()) break;
    seps += s[j];
    i = j + 1;
    if (i == s.size()) return bad();
  }
  if (nums.size() < 3) return bad();
  int y, m, d;
  const char ds = seps[0];
  if ((ds == '-' || ds == '/') && seps[1] == ds && widths[0] == 4) {
    y = nums[0], m = nums[1], d = nums[2];
  } else if (ds == '/' && seps[1] == '/' && widths[2] == 4) {
    m = nums[0], d = nums[1], y = nums[2];
  } else {
    return bad();
  }
  if (m < 1 || m > 12 || d < 1 || d > daysInMonth(y, m) || y < 100) return bad();
  char buf[96];
  if (nums.size() == 3) {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
    return buf;
  }
  if (seps[2] != ' ' || nums.size() < 5 || nums.size() > 6) return bad();
  for (size_t k = 3; k < seps.size(); ++k)
    if (seps[k] != ':') return bad();
  const int hh = nums[3], mm = nums[4], ss = nums.size() == 6 ? nums[5] : 0;
  if (hh > 23 || mm > 59 || ss > 59) return bad();
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", y, m, d, hh, mm, ss);
  return buf;
}

Translated translate(const std::string& sql, const SchemaLookup& schema, Purpose purpose) {
  Statement st(sql, schema);
  return st.run(purpose);
}

}  // namespace db::dialect
