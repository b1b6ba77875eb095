#pragma once
// The zh-CN (pinyin) text order of the platform, used for ORDER BY on text.
#include <string_view>

namespace db {

// Negative, zero or positive as a sorts before, with or after b. Both are
// UTF-8. Thread: the calling thread only; the collator is created on first use.
int compareZhCn(std::string_view a, std::string_view b);

}  // namespace db
