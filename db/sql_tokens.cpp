#include "db/sql_tokens.h"

#include "db/database.h"

namespace db::dialect {
namespace {

bool identStart(unsigned char c) {
  return c == '_' || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || c >= 0x80;
}
bool identPart(unsigned char c) {
  return identStart(c) || (c >= '0' && c <= '9') || c == '$';
}
bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

[[noreturn]] void syntaxError(const std::string& what, const std::string& sql) {
  throw DbError(kErrSyntax, what + " in statement '" + sql + "'.");
}

// Each reader takes the token that starts at `i` and returns where the next begins.
class Tokenizer {
 public:
  explicit Tokenizer(const std::string& sql) : sql_(sql), n_(sql.size()) {}

  std::vector<Token> run() {
    size_t i = 0;
    while (i < n_) i = next(i);
    return std::move(toks_);
  }

 private:
  size_t next(size_t i) {
    const unsigned char c = static_cast<unsigned char>(sql_[i]);
    if (isSpace(static_cast<char>(c))) return space(i);
    if (c == '\'' || c == '"') return text(i);
    if (c == '[') return bracketName(i);
    if (c == '#') return date(i);
    if (identStart(c)) return identifier(i);
    if (isDigit(static_cast<char>(c))) return number(i);
    return punctuation(i);
  }

  size_t space(size_t i) {
    size_t j = i;
    while (j < n_ && isSpace(sql_[j])) ++j;
    toks_.push_back({Kind::kSpace, "", sql_.substr(i, j - i)});
    return j;
  }

  // Both quote characters delimit text in the original dialect; a doubled
  // quote stands for one.
  size_t text(size_t i) {
    const char q = sql_[i];
    std::string t;
    size_t j = i + 1;
    for (;;) {
      if (j >= n_) syntaxError("Unterminated text", sql_);
      if (sql_[j] == q && !(j + 1 < n_ && sql_[j + 1] == q)) break;
      if (sql_[j] == q) ++j;
      t += sql_[j++];
    }
    toks_.push_back({Kind::kString, t, quoteText(t)});
    return j + 1;
  }

  size_t bracketName(size_t i) {
    const size_t close = sql_.find(']', i + 1);
    if (close == std::string::npos) syntaxError("Unterminated bracketed name", sql_);
    std::string name = sql_.substr(i + 1, close - i - 1);
    toks_.push_back({Kind::kBracketIdent, name, quoteIdent(name)});
    return close + 1;
  }

  size_t date(size_t i) {
    const size_t close = sql_.find('#', i + 1);
    if (close == std::string::npos) syntaxError("Unterminated date", sql_);
    std::string inner = sql_.substr(i + 1, close - i - 1);
    toks_.push_back({Kind::kDate, inner, quoteText(normalizeDateLiteral(inner))});
    return close + 1;
  }

  size_t identifier(size_t i) {
    size_t j = i;
    while (j < n_ && identPart(static_cast<unsigned char>(sql_[j]))) ++j;
    std::string name = sql_.substr(i, j - i);
    toks_.push_back({Kind::kIdent, name, name});
    return j;
  }

  size_t number(size_t i) {
    size_t j = i;
    auto exponent = [&](size_t k) { return sql_[k] == 'e' || sql_[k] == 'E'; };
    while (j < n_ && (isDigit(sql_[j]) || sql_[j] == '.' || exponent(j) ||
                      ((sql_[j] == '+' || sql_[j] == '-') && exponent(j - 1))))
      ++j;
    toks_.push_back({Kind::kNumber, sql_.substr(i, j - i), sql_.substr(i, j - i)});
    return j;
  }

  // Two-character operators stay together so that "<>" is never split.
  size_t punctuation(size_t i) {
    size_t len = 1;
    if (i + 1 < n_) {
      const std::string two = sql_.substr(i, 2);
      if (two == "<>" || two == "<=" || two == ">=" || two == "!=" || two == "||") len = 2;
    }
    toks_.push_back({Kind::kPunct, sql_.substr(i, len), sql_.substr(i, len)});
    return i + len;
  }

  const std::string& sql_;
  const size_t n_;
  std::vector<Token> toks_;
};

}  // namespace

std::vector<Token> tokenize(const std::string& sql) {
  return Tokenizer(sql).run();
}

std::string quoteText(const std::string& text) {
  std::string r = "'";
  for (char c : text) {
    if (c == '\'') r += '\'';
    r += c;
  }
  return r + "'";
}

bool isName(const Token& t) {
  return t.kind == Kind::kIdent || t.kind == Kind::kBracketIdent;
}
bool isKeyword(const Token& t, const char* kw) {
  return t.kind == Kind::kIdent && sameName(t.name, kw);
}
bool isPunct(const Token& t, const char* p) {
  return t.kind == Kind::kPunct && t.name == p;
}

bool isClauseKeyword(const Token& t) {
  static const char* const kws[] = {"SELECT", "FROM",  "WHERE", "GROUP", "HAVING", "ORDER",
                                    "UNION",  "LIMIT", "INNER", "LEFT",  "RIGHT",  "JOIN",
                                    "ON",     "SET",   "OUTER", "CROSS", "AS",     "RETURNING"};
  if (t.kind != Kind::kIdent) return false;
  for (const char* kw : kws)
    if (sameName(t.name, kw)) return true;
  return false;
}

TokenView::TokenView(const std::string& sql) : toks_(tokenize(sql)) {
  for (size_t i = 0; i < toks_.size(); ++i)
    if (toks_[i].kind != Kind::kSpace) sig_.push_back(i);
  int d = 0;
  for (size_t k = 0; k < sig_.size(); ++k) {
    if (isPunct(tok(k), "(")) ++d;
    depth_.push_back(d);
    if (isPunct(tok(k), ")")) --d;
  }
}

std::optional<size_t> TokenView::findTop(const char* kw, size_t from) const {
  for (size_t k = from; k < sig_.size(); ++k)
    if (depth_[k] == 0 && isKeyword(tok(k), kw)) return k;
  return std::nullopt;
}

std::vector<TableRef> TokenView::fromTables(size_t from) const {
  auto endsList = [](const Token& t) {
    return isKeyword(t, "WHERE") || isKeyword(t, "GROUP") || isKeyword(t, "ORDER") ||
           isKeyword(t, "HAVING") || isKeyword(t, "UNION") || isKeyword(t, "LIMIT") ||
           isPunct(t, ";");
  };
  std::vector<TableRef> tables;
  for (size_t k = from + 1; k < sig_.size(); ++k) {
    const Token& t = tok(k);
    if (endsList(t) && depth_[k] == 0) break;
    if (!isName(t) || (t.kind == Kind::kIdent && isClauseKeyword(t))) continue;
    const Token& prev = tok(k - 1);
    if (!(isKeyword(prev, "FROM") || isKeyword(prev, "JOIN") || isPunct(prev, ",") ||
          isPunct(prev, "(")))
      continue;
    if (k + 1 < sig_.size() && isPunct(tok(k + 1), ".")) continue;  // a column in ON
    TableRef ref{t.name, ""};
    size_t a = k + 1;
    if (a < sig_.size() && isKeyword(tok(a), "AS")) ++a;
    if (a < sig_.size() && isName(tok(a)) &&
        !(tok(a).kind == Kind::kIdent && isClauseKeyword(tok(a))) && !endsList(tok(a)))
      ref.alias = tok(a).name;
    tables.push_back(ref);
  }
  return tables;
}

void TokenView::clear(size_t k, size_t e) {
  for (size_t i = sig_[k]; i <= sig_[e]; ++i) toks_[i].out.clear();
}

std::string TokenView::joined() const {
  std::string r;
  for (const Token& t : toks_) r += t.out;
  return r;
}

bool usableQualifier(const std::vector<TableRef>& tables, size_t t) {
  for (size_t u = 0; u < tables.size(); ++u)
    if (u != t && sameName(tables[u].qualifier(), tables[t].qualifier())) return false;
  return true;
}

}  // namespace db::dialect
