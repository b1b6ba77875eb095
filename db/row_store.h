#pragma once
// Rows of a result held in memory, and the row set built on them, shared by
// the backends.
#include <cstddef>
#include <utility>
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
  // Adds a row, its values made in place by `value(i)`: a big result is
  // mostly these values, so none is made empty first and then replaced.
  template <class MakeValue>
  void add(MakeValue&& value) {
    if (rows_ == 0 || (rows_ >= kFirstChunk && (rows_ - kFirstChunk) % kRowsPerChunk == 0)) {
      chunks_.emplace_back();
      chunks_.back().reserve((rows_ == 0 ? kFirstChunk : kRowsPerChunk) * width_);
    }
    std::vector<Value>& chunk = chunks_.back();
    for (size_t i = 0; i < width_; ++i) chunk.emplace_back(value(static_cast<int>(i)));
    ++rows_;
  }
  // Adds a row of empty values and returns it.
  Value* add() {
    add([](int) { return Value{}; });
    return (*this)[rows_ - 1];
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

// A row set whose rows are read whole into memory: moving, counting and
// the edit buffer are the same for every backend.
class BufferedRecordset : public Recordset {
 public:
  bool eof() override {
    check();
    return pos_ >= rows_.size();
  }
  void moveFirst() override {
    check();
    if (rows_.empty()) throw DbError(kErrNoCurrentRecord, "No current record.");
    pos_ = 0;
    editing_ = false;
  }
  void moveNext() override {
    check();
    if (pos_ >= rows_.size()) throw DbError(kErrNoCurrentRecord, "No current record.");
    ++pos_;
    editing_ = false;
  }
  long recordCount() override {
    check();
    return static_cast<long>(rows_.size());
  }
  void edit() override {
    current();
    editing_ = true;
    pending_.clear();
  }

 protected:
  // Whether the connection the rows came from is still open.
  virtual bool isOpen() const = 0;
  void check() const {
    if (!isOpen()) throw DbError(kErrObjectClosed, "The recordset is closed.");
  }
  void current() const {
    check();
    if (pos_ >= rows_.size()) throw DbError(kErrNoCurrentRecord, "No current record.");
  }

  // The edit buffer: what was assigned to column c since edit(), if anything.
  const Value* pendingValue(size_t c) const {
    if (editing_)
      for (const auto& [pc, v] : pending_)
        if (pc == c) return &v;
    return nullptr;
  }
  void requireEditing() const {
    if (!editing_) throw DbError(kErrNotEditMode, "Update or assignment without Edit.");
  }
  void assign(size_t c, const Value& value) {
    for (auto& [pc, v] : pending_)
      if (pc == c) {
        v = value;
        return;
      }
    pending_.emplace_back(c, value);
  }

  RowStore rows_;
  size_t pos_ = 0;
  bool editing_ = false;
  std::vector<std::pair<size_t, Value>> pending_;  // column, value assigned since edit()
};

}  // namespace db
