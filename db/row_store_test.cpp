// The in-memory rows every backend's row set is built on.
#include "db/row_store.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using db::Value;

// Row r, column c of the test table: every kind of value, short and long
// text, so that rows fill several chunks and texts several blocks.
Value sample(size_t r, size_t c) {
  switch ((r + c) % 5) {
    case 0:
      return Value(static_cast<int64_t>(r) * -7);
    case 1:
      return Value(static_cast<double>(r) / 3);
    case 2:
      return Value(std::string(r % 40, static_cast<char>('a' + c)));
    case 3:
      return Value(std::string(20000 + r, 'z'));
    default:
      return Value(db::Null{});
  }
}

TEST(RowStore, KeepsEveryValueAcrossChunksAndReplacesThem) {
  db::RowStore store;
  store.setWidth(3);
  constexpr size_t kRows = 2100;  // the first chunk and two more
  for (size_t r = 0; r < kRows; ++r)
    store.add([&](db::RowStore::RowWriter& w) {
      w.value(sample(r, 0));
      w.value(sample(r, 1));
      // The last column the way a backend writes it, piece by piece.
      const Value v = sample(r, 2);
      if (const auto* t = std::get_if<std::string>(&v))
        w.text(t->data(), t->size());
      else
        w.value(v);
    });
  ASSERT_EQ(store.size(), kRows);
  for (size_t r = 0; r < kRows; ++r)
    for (size_t c = 0; c < 3; ++c) ASSERT_EQ(store.get(r, c), sample(r, c)) << r << "," << c;
  // A value replaced, by another kind or a longer text, leaves its
  // neighbours alone.
  store.set(16, 1, Value(std::string(100, 'q')));
  store.set(17, 0, Value(int64_t{42}));
  EXPECT_EQ(store.get(16, 1), Value(std::string(100, 'q')));
  EXPECT_EQ(store.integer(17, 0), 42);
  EXPECT_EQ(store.integer(16, 1), std::nullopt);
  EXPECT_EQ(store.get(16, 2), sample(16, 2));
  EXPECT_EQ(store.get(17, 1), sample(17, 1));
  store.clear();
  EXPECT_TRUE(store.empty());
}

}  // namespace
