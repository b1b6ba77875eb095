#pragma once
// The zh-CN (pinyin) text order of the platform, used for ORDER BY on text.
#include <string_view>

namespace db {

// Negative, zero or positive as a sorts before, with or after b. Both are
// UTF-8. Thread: the calling thread only; the collator is created on first use.
int compareZhCn(std::string_view a, std::string_view b);

// Creates the collator now, so that a platform without it fails when a
// database is opened (the engine's sort cannot pass a failure on). Throws
// DbError; without the collator compareZhCn falls back to byte order.
void requireZhCn();

// The common case without the collator: equal bytes, or both texts made of
// digits and capital letters only (or digits and small letters only), where
// the pinyin order is the byte order. kNoFastAnswer otherwise.
inline constexpr int kNoFastAnswer = 2;
inline int compareAsciiFast(std::string_view a, std::string_view b) {
  if (a == b) return 0;
  int kinds = 0;  // 1: a capital seen, 2: a small letter seen
  for (std::string_view s : {a, b})
    for (char c : s) {
      if (c >= '0' && c <= '9') continue;
      if (c >= 'A' && c <= 'Z')
        kinds |= 1;
      else if (c >= 'a' && c <= 'z')
        kinds |= 2;
      else
        return kNoFastAnswer;
    }
  if (kinds == 3) return kNoFastAnswer;
  return a < b ? -1 : 1;
}

}  // namespace db
