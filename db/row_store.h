#pragma once
// Rows of a result held in memory by the backends' row sets.
#include <cstddef>
#include <vector>

#include "db/database.h"

namespace db {

// The rows of a result, `width` values per row, in chunks so that growing
// never moves the values already read.
class RowStore {
 public:
  void setWidth(size_t width) { width_ = width; }
  size_t size() const { return rows_; }
  bool empty() const { return rows_ == 0; }
  Value* operator[](size_t r) {
    if (r < kFirstChunk) return chunks_[0].data() + r * width_;
    r -= kFirstChunk;
    return chunks_[1 + r / kRowsPerChunk].data() + (r % kRowsPerChunk) * width_;
  }
  // Adds a row of empty values and returns it.
  Value* add() {
    if (rows_ == 0)
      chunks_.emplace_back(kFirstChunk * width_);
    else if (rows_ >= kFirstChunk && (rows_ - kFirstChunk) % kRowsPerChunk == 0)
      chunks_.emplace_back(kRowsPerChunk * width_);
    return (*this)[rows_++];
  }
  void clear() {
    chunks_.clear();
    rows_ = 0;
  }

 private:
  static constexpr size_t kFirstChunk = 16;  // most results are small
  static constexpr size_t kRowsPerChunk = 1024;
  size_t width_ = 0;
  size_t rows_ = 0;
  std::vector<std::vector<Value>> chunks_;
};

}  // namespace db
