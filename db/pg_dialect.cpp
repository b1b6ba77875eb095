#include "db/pg_dialect.h"

#include <optional>

#include "db/database.h"
#include "db/sql_tokens.h"

namespace db::pg {
namespace {

using dialect::isKeyword;
using dialect::isName;
using dialect::isPunct;
using dialect::Kind;
using dialect::TableRef;

struct ColumnRef {
  std::optional<std::string> qualifier;
  std::string column;
};

struct Range {
  size_t b, e;  // significant tokens b to e, both included
};

bool isComparison(const dialect::Token& t) {
  for (const char* op : {"=", "<>", "<", "<=", ">", ">="})
    if (isPunct(t, op)) return true;
  return false;
}

class Statement {
 public:
  Statement(const std::string& sql, const Schema& schema) : v_(sql), schema_(schema) {}

  Translated run() {
    Translated r;
    spellTokens();
    if (v_.size() == 0) return finish(r);
    findTables();
    comparisons();
    if (isKeyword(v_.tok(0), "UPDATE")) {
      updateTargets();
    } else if (isKeyword(v_.tok(0), "DELETE")) {
      // "DELETE * FROM t" and "DELETE t.* FROM t": the server names no columns.
      if (const auto from = v_.findTop("FROM", 1); from && *from > 1) v_.clear(1, *from - 1);
    } else if (isKeyword(v_.tok(0), "SELECT")) {
      r.isSelect = true;
      select(r);
    }
    return finish(r);
  }

 private:
  Translated& finish(Translated& r) {
    r.sql = v_.joined();
    return r;
  }

  void spellTokens() {
    for (size_t k = 0; k < v_.size(); ++k) {
      dialect::Token& t = v_.tokMut(k);
      if (t.kind == Kind::kBracketIdent) t.out = quoteName(t.name);
      if (t.kind == Kind::kDate)
        t.out = dialect::quoteText(dialect::normalizeDateLiteral(t.name)).insert(0, "TIMESTAMP ");
      // (std::string operands: mingw's GCC 12 warns falsely on short literals here)
      static const std::string kTrue = "-1", kFalse = "0";
      if (isKeyword(t, "True")) t.out = kTrue;
      if (isKeyword(t, "False")) t.out = kFalse;
    }
  }

  void findTables() {
    if (isKeyword(v_.tok(0), "UPDATE") && v_.size() > 1 && isName(v_.tok(1))) {
      tables_.push_back({v_.tok(1).name, ""});
    } else if (const auto from = v_.findTop("FROM", 1)) {
      tables_ = v_.fromTables(*from);
    }
  }

  std::optional<std::string> tableOf(const std::optional<std::string>& qualifier) const {
    if (!qualifier) {
      if (tables_.size() == 1) return tables_[0].name;
      return std::nullopt;
    }
    for (const TableRef& t : tables_)
      if (dialect::sameName(t.qualifier(), *qualifier)) return t.name;
    return std::nullopt;
  }

  bool isTextRef(const ColumnRef& c) const {
    const auto table = tableOf(c.qualifier);
    return table && schema_.isTextColumn && schema_.isTextColumn(*table, c.column);
  }

  // "name" or "q.name" exactly in [b, e], inside any number of parentheses.
  std::optional<ColumnRef> columnIn(Range r) const {
    while (r.e > r.b && isPunct(v_.tok(r.b), "(") && isPunct(v_.tok(r.e), ")") &&
           v_.depth(r.b) == v_.depth(r.e))
      ++r.b, --r.e;
    if (r.b == r.e && isName(v_.tok(r.b))) return ColumnRef{std::nullopt, v_.tok(r.b).name};
    if (r.e == r.b + 2 && isName(v_.tok(r.b)) && isPunct(v_.tok(r.b + 1), ".") &&
        isName(v_.tok(r.e)))
      return ColumnRef{v_.tok(r.b).name, v_.tok(r.e).name};
    return std::nullopt;
  }

  // The operand that ends just before token k: a name, a qualified name, or a
  // parenthesised expression (with the function name before it, if any).
  std::optional<Range> operandBefore(size_t k) const {
    if (k == 0) return std::nullopt;
    const size_t e = k - 1;
    if (isPunct(v_.tok(e), ")")) {
      size_t b = e;
      while (b > 0 && !(isPunct(v_.tok(b), "(") && v_.depth(b) == v_.depth(e))) --b;
      if (!isPunct(v_.tok(b), "(")) return std::nullopt;
      if (b > 0 && v_.tok(b - 1).kind == Kind::kIdent && !dialect::isClauseKeyword(v_.tok(b - 1)) &&
          !isKeyword(v_.tok(b - 1), "AND") && !isKeyword(v_.tok(b - 1), "OR") &&
          !isKeyword(v_.tok(b - 1), "NOT"))
        --b;
      return Range{b, e};
    }
    if (!isName(v_.tok(e))) return std::nullopt;
    if (e >= 2 && isPunct(v_.tok(e - 1), ".") && isName(v_.tok(e - 2))) return Range{e - 2, e};
    return Range{e, e};
  }

  void wrap(Range r, const std::string& before, const std::string& after) {
    v_.tokMut(r.b).out.insert(0, before);
    v_.tokMut(r.e).out += after;
  }

  // A date without a time stands for its whole day; text is compared the
  // way the original engine compares it, without regard to letter case.
  void comparisons() {
    for (size_t k = 1; k + 1 < v_.size(); ++k) {
      if (!isComparison(v_.tok(k))) continue;
      dialect::Token& rhs = v_.tokMut(k + 1);
      const auto lhs = operandBefore(k);
      if (!lhs) continue;
      if (rhs.kind == Kind::kDate) {
        const std::string day = dialect::normalizeDateLiteral(rhs.name);
        if (day.size() != 10) continue;
        wrap(*lhs, "CAST(", " AS date)");
        rhs.out = "DATE " + dialect::quoteText(day);
      } else if (rhs.kind == Kind::kString &&
                 (isPunct(v_.tok(k), "=") || isPunct(v_.tok(k), "<>"))) {
        const auto col = columnIn(*lhs);
        if (!col || !isTextRef(*col)) continue;
        wrap(*lhs, "lower(", ")");
        rhs.out = "lower(" + rhs.out + ")";
      }
    }
  }

  // The server takes only a bare column as the target of SET.
  void updateTargets() {
    const auto set = v_.findTop("SET", 1);
    if (!set) return;
    bool atTarget = true;
    for (size_t k = *set + 1; k < v_.size(); ++k) {
      if (v_.depth(k) == 0 && isKeyword(v_.tok(k), "WHERE")) break;
      if (v_.depth(k) == 0 && isPunct(v_.tok(k), ",")) {
        atTarget = true;
        continue;
      }
      if (atTarget && k + 2 < v_.size() && isName(v_.tok(k)) && isPunct(v_.tok(k + 1), ".") &&
          isName(v_.tok(k + 2)))
        v_.clear(k, k + 1);
      atTarget = false;
    }
  }

  // Top-level, comma-separated terms from `first` up to one of `ends`.
  std::vector<Range> terms(size_t first, std::initializer_list<const char*> ends) const {
    std::vector<Range> out;
    size_t b = first;
    for (size_t k = first; k <= v_.size(); ++k) {
      bool end = k == v_.size() || (v_.depth(k) == 0 && isPunct(v_.tok(k), ";"));
      for (const char* kw : ends)
        end = end || (k < v_.size() && v_.depth(k) == 0 && isKeyword(v_.tok(k), kw));
      const bool comma = !end && v_.depth(k) == 0 && isPunct(v_.tok(k), ",");
      if ((end || comma) && k > b) out.push_back({b, k - 1});
      if (end) break;
      if (comma) b = k + 1;
    }
    return out;
  }

  void select(Translated& r) {
    size_t listStart = 1;
    bool grouped = v_.findTop("GROUP", 1) || v_.findTop("UNION", 1);
    if (v_.size() > 1 &&
        (isKeyword(v_.tok(1), "DISTINCT") || isKeyword(v_.tok(1), "DISTINCTROW"))) {
      grouped = true;
      listStart = 2;
    }
    std::vector<Range> list = terms(listStart, {"FROM"});
    if (const auto group = v_.findTop("GROUP", 1); group && *group + 1 < v_.size())
      groupWithoutCase(*group + 2, list);
    describeItems(list, r);
    if (const auto order = v_.findTop("ORDER", 1); order && *order + 1 < v_.size())
      orderBy(*order + 2, grouped);
    if (!grouped) leadWithKeys(listStart, r);
  }

  // Grouping by a text column ignores letter case; the group shows one of
  // its spellings (the lowest), in the list and in the order.
  void groupWithoutCase(size_t first, const std::vector<Range>& list) {
    for (const Range& g : terms(first, {"HAVING", "ORDER", "UNION"})) {
      const auto col = columnIn(g);
      if (!col || !isTextRef(*col)) continue;
      wrap(g, "lower(", ")");
      grouped_.push_back(*col);
    }
    for (const Range& item : list) {
      const auto col = columnIn(item);
      if (col && isGroupedText(*col)) wrap(item, "min(", ") AS " + quoteName(col->column));
    }
  }

  bool isGroupedText(const ColumnRef& c) const {
    for (const ColumnRef& g : grouped_)
      if (dialect::sameName(g.column, c.column) && tableOf(g.qualifier) == tableOf(c.qualifier))
        return true;
    return false;
  }

  void describeItems(const std::vector<Range>& list, Translated& r) const {
    for (const Range& item : list) {
      SelectItem s;
      const bool star = isPunct(v_.tok(item.e), "*");
      if (star && item.b == item.e) {
        s = {tableOf(std::nullopt).value_or(""), "", true};
      } else if (star && item.e == item.b + 2 && isName(v_.tok(item.b))) {
        s = {tableOf(v_.tok(item.b).name).value_or(""), "", true};
      } else {
        // "ref", "ref AS alias" or "ref alias": the value comes from ref.
        Range ref = item;
        if (ref.e > ref.b && isName(v_.tok(ref.e)) && !isPunct(v_.tok(ref.e - 1), ".")) {
          --ref.e;
          if (ref.e > ref.b && isKeyword(v_.tok(ref.e), "AS")) --ref.e;
        }
        const auto col = columnIn(ref);
        if (col && !isGroupedText(*col))
          if (const auto table = tableOf(col->qualifier)) s = {*table, col->column, false};
      }
      r.items.push_back(s);
    }
  }

  void orderBy(size_t first, bool grouped) {
    const std::vector<Range> list = terms(first, {"LIMIT"});
    for (Range t : list) {
      if (t.e > t.b && (isKeyword(v_.tok(t.e), "ASC") || isKeyword(v_.tok(t.e), "DESC"))) --t.e;
      const auto col = columnIn(t);
      if (!col || !isTextRef(*col)) continue;
      if (isGroupedText(*col)) wrap(t, "min(", ")");
      v_.tokMut(t.e).out += std::string(" COLLATE ") + kZhCollation;
    }
    if (grouped || list.empty()) return;
    // Equal keys come back in entry order, the detail table's first.
    std::string ties;
    for (size_t t = tables_.size(); t-- > 0;)
      for (const std::string& key : keysOf(t))
        ties += ", " + quoteName(tables_[t].qualifier()) + "." + dialect::quoteIdent(key);
    v_.tokMut(list.back().e).out += ties;
  }

  std::vector<std::string> keysOf(size_t t) const {
    if (!dialect::usableQualifier(tables_, t) || !schema_.primaryKey) return {};
    return schema_.primaryKey(tables_[t].name);
  }

  // Key columns go first so that the row set can write back.
  void leadWithKeys(size_t listStart, Translated& r) {
    std::string extra;
    size_t n = 0;
    for (size_t t = 0; t < tables_.size(); ++t) {
      const std::vector<std::string> keys = keysOf(t);
      if (keys.empty()) continue;
      for (const std::string& key : keys)
        extra += quoteName(tables_[t].qualifier()) + "." + dialect::quoteIdent(key) + " AS " +
                 dialect::quoteIdent(kKeyColumnPrefix + std::to_string(n++)) + ", ";
      r.keyTables.push_back({tables_[t], keys});
    }
    if (!extra.empty()) v_.tokMut(listStart - 1).out += " " + extra;
  }

  dialect::TokenView v_;
  const Schema& schema_;
  std::vector<TableRef> tables_;
  std::vector<ColumnRef> grouped_;
};

}  // namespace

std::string quoteName(const std::string& name) {
  std::string lowered = name;
  for (char& c : lowered) c = dialect::lowerAscii(c);
  return dialect::quoteIdent(lowered);
}

Translated translate(const std::string& sql, const Schema& schema) {
  return Statement(sql, schema).run();
}

}  // namespace db::pg
