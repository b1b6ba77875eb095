#pragma once
// The tokens of a statement in the original engine's dialect, shared by the
// translations for each engine. Every token keeps its translated text in
// `out`; a translation edits those and joins them.
#include <optional>
#include <string>
#include <vector>

#include "db/sql_dialect.h"

namespace db::dialect {

enum class Kind { kSpace, kIdent, kBracketIdent, kString, kNumber, kDate, kPunct };

struct Token {
  Kind kind;
  std::string name;  // identifier name or literal contents
  std::string out;   // translated text
};

// Splits a statement into tokens. Text and bracketed names are given their
// SQLite spelling in `out`; a date literal its normalised text in quotes.
// Throws DbError(kErrSyntax) for an unterminated quote, bracket or date and
// for an unreadable date.
std::vector<Token> tokenize(const std::string& sql);

std::string quoteText(const std::string& text);  // '...' with quotes doubled
bool isName(const Token& t);
bool isKeyword(const Token& t, const char* kw);
bool isPunct(const Token& t, const char* p);
bool isClauseKeyword(const Token& t);

// The significant tokens of a statement (no spaces) with their bracket depth,
// and the questions both translations ask about its structure.
class TokenView {
 public:
  explicit TokenView(const std::string& sql);
  size_t size() const { return sig_.size(); }
  const Token& tok(size_t k) const { return toks_[sig_[k]]; }
  Token& tokMut(size_t k) { return toks_[sig_[k]]; }
  int depth(size_t k) const { return depth_[k]; }
  // The first top-level keyword `kw` at or after `from`.
  std::optional<size_t> findTop(const char* kw, size_t from) const;
  // The tables named after FROM (k: the FROM keyword), with their aliases.
  std::vector<TableRef> fromTables(size_t from) const;
  // Clears the output of tokens k to the end of token e (spaces between included).
  void clear(size_t k, size_t e);
  std::string joined() const;

 private:
  std::vector<Token> toks_;
  std::vector<size_t> sig_;
  std::vector<int> depth_;
};

// Whether tables[t] can be told apart from the others by its qualifier.
bool usableQualifier(const std::vector<TableRef>& tables, size_t t);

}  // namespace db::dialect
