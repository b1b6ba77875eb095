#pragma once
// Rows of a result held in memory, and the row set built on them, shared by
// the backends.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "db/database.h"

namespace db {

// The rows of a result, `width` values per row. A big result is mostly
// these values, so each is kept in 16 bytes, its text (if any) in blocks of
// their own, and rows go in chunks so that growing never moves them.
class RowStore {
  enum Type : uint8_t { kNull, kInteger, kReal, kText };
  struct Cell {
    union {
      int64_t i;
      double d;
      const char* p;
    };
    uint32_t length;
    Type type;
  };  // left unset when made: every cell of a row is written as it is added

 public:
  // Writes the values of one row being added, in column order.
  class RowWriter {
   public:
    void null() { next().type = kNull; }
    void integer(int64_t v) {
      Cell& c = next();
      c.type = kInteger;
      c.i = v;
    }
    void real(double v) {
      Cell& c = next();
      c.type = kReal;
      c.d = v;
    }
    void text(const char* p, size_t n) { store_.putText(next(), p, n); }
    void value(const Value& v) { store_.put(next(), v); }

   private:
    friend class RowStore;
    RowWriter(RowStore& store, size_t first) : store_(store), at_(first) {}
    RowStore::Cell& next() { return store_.cell(at_++); }
    RowStore& store_;
    size_t at_;
  };

  void setWidth(size_t width) { width_ = width; }
  size_t size() const { return rows_; }
  bool empty() const { return rows_ == 0; }

  Value get(size_t r, size_t c) const {
    const Cell& v = cell(r * width_ + c);
    switch (v.type) {
      case kInteger:
        return Value(v.i);
      case kReal:
        return Value(v.d);
      case kText:
        return Value(v.length ? std::string(v.p, v.length) : std::string());
      default:
        return Value(Null{});
    }
  }
  // The value when it is an integer, without making a Value.
  std::optional<int64_t> integer(size_t r, size_t c) const {
    const Cell& v = cell(r * width_ + c);
    if (v.type != kInteger) return std::nullopt;
    return v.i;
  }
  void set(size_t r, size_t c, const Value& v) { put(cell(r * width_ + c), v); }

  // Adds a row: `fill(RowWriter&)` writes its `width` values.
  template <class Fill>
  void add(Fill&& fill) {
    const size_t first = rows_ * width_;
    if (first + width_ > capacity_) {
      const size_t rows = chunks_.empty() ? kFirstChunk : kRowsPerChunk;
      chunks_.emplace_back(new Cell[rows * width_]);
      chunkStart_.push_back(first);
      capacity_ = first + rows * width_;
    }
    RowWriter w(*this, first);
    fill(w);
    ++rows_;
  }
  void clear() {
    chunks_.clear();
    chunkStart_.clear();
    text_.clear();
    rows_ = capacity_ = textLeft_ = 0;
  }

 private:
  static constexpr size_t kFirstChunk = 16;  // most results are small
  static constexpr size_t kRowsPerChunk = 1024;
  static constexpr size_t kTextBlock = 64 * 1024;

  Cell& cell(size_t at) { return const_cast<Cell&>(std::as_const(*this).cell(at)); }
  const Cell& cell(size_t at) const {
    if (at < kFirstChunk * width_) return chunks_[0][at];
    const size_t k = 1 + (at - kFirstChunk * width_) / (kRowsPerChunk * width_);
    return chunks_[k][at - chunkStart_[k]];
  }
  void put(Cell& c, const Value& v) {
    if (const auto* i = std::get_if<int64_t>(&v)) {
      c.type = kInteger;
      c.i = *i;
    } else if (const auto* d = std::get_if<double>(&v)) {
      c.type = kReal;
      c.d = *d;
    } else if (const auto* t = std::get_if<std::string>(&v)) {
      putText(c, t->data(), t->size());
    } else {
      c.type = kNull;
    }
  }
  // Text goes into the current block, or a block of its own when long; a
  // value replaced leaves its old text where it was.
  void putText(Cell& c, const char* p, size_t n) {
    if (n > UINT32_MAX) throw DbError(kErrEngine, "A text value is too long.");
    char* to;
    if (n > kTextBlock / 4) {
      text_.emplace_back(new char[n]);
      to = text_.back().get();
    } else {
      if (n > textLeft_) {
        text_.emplace_back(new char[kTextBlock]);
        textAt_ = text_.back().get();
        textLeft_ = kTextBlock;
      }
      to = textAt_;
      textAt_ += n;
      textLeft_ -= n;
    }
    if (n) std::memcpy(to, p, n);
    c.type = kText;
    c.p = to;
    c.length = static_cast<uint32_t>(n);
  }

  size_t width_ = 0;
  size_t rows_ = 0;
  size_t capacity_ = 0;  // cells the chunks hold
  std::vector<std::unique_ptr<Cell[]>> chunks_;
  std::vector<size_t> chunkStart_;  // first cell of each chunk
  std::vector<std::unique_ptr<char[]>> text_;
  char* textAt_ = nullptr;
  size_t textLeft_ = 0;
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
  // A bookmark is the row's place in the result.
  long bookmark() override {
    current();
    return static_cast<long>(pos_);
  }
  void goTo(long bookmark) override {
    check();
    if (bookmark < 0 || static_cast<size_t>(bookmark) >= rows_.size())
      throw DbError(kErrNoCurrentRecord, "Not a valid bookmark.");
    pos_ = static_cast<size_t>(bookmark);
    editing_ = false;
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
