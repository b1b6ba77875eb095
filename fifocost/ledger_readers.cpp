#include "fifocost/ledger_readers.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "db/sql_dialect.h"
#include "fifocost/statements.h"

namespace fifocost {
namespace {

bool isNumeric(const db::Value& v) {
  return std::holds_alternative<int64_t>(v) || std::holds_alternative<double>(v);
}

// A stored number as it is, text as the run reads it.
std::optional<double> valueOf(const db::Value& v) {
  if (std::holds_alternative<int64_t>(v)) return static_cast<double>(std::get<int64_t>(v));
  if (std::holds_alternative<double>(v)) return std::get<double>(v);
  return readNumber(v);
}

// Where the fields the run uses sit in a row set of outgoing lines and of
// receipts, found once per row set.
struct LineFields {
  int code = -1, quantity = -1, unitCost = -1, cost = -1, settled = -1;
  void find(db::Recordset& rs) {
    code = rs.fieldIndex("编号");
    quantity = rs.fieldIndex("销数");
    unitCost = rs.fieldIndex("本价");
    cost = rs.fieldIndex("成本");
    settled = rs.fieldIndex("问题");
  }
};

struct ReceiptFields {
  int code = -1, available = -1, price = -1, settled = -1;
  void find(db::Recordset& rs) {
    code = rs.fieldIndex("编号");
    available = rs.fieldIndex("销合");
    price = rs.fieldIndex("进价");
    settled = rs.fieldIndex("问题");
  }
};

void saveLineFields(db::Recordset& rs, const LineFields& f, std::optional<double> unitCost,
                    double cost) {
  rs.edit();
  if (unitCost) rs.setField(f.unitCost, db::Value(*unitCost));
  rs.setField(f.cost, db::Value(cost));
  rs.setField(f.settled, db::Value(int64_t{-1}));
  rs.update();
}

void saveReceiptFields(db::Recordset& rs, const ReceiptFields& f, double available) {
  rs.edit();
  rs.setField(f.available, db::Value(available));
  rs.setField(f.settled, db::Value(int64_t{-1}));
  rs.update();
}

// The items query groups codes as the engine compares them: text without
// regard to ASCII letter case, numbers by value, no code apart from any text.
std::string itemKey(const db::Value& code) {
  if (std::holds_alternative<db::Null>(code)) return "N";
  std::string key = std::holds_alternative<std::string>(code) ? "'" : "#";
  key += db::valueToText(code);
  if (key[0] == '#') return key;
  for (char& c : key) c = db::dialect::lowerAscii(c);
  return key;
}

class PerStatementReader : public LedgerReader {
 public:
  PerStatementReader(db::Database& db, std::string dayAfterCutOff)
      : db_(db), dayAfterCutOff_(std::move(dayAfterCutOff)) {}

  void startItem(const db::Value& code) override {
    code_ = code;
    s4_ = db_.openRecordset(outgoingLinesQuery(code, dayAfterCutOff_));
    lineFields_.find(*s4_);
    started_ = false;
    costed_.clear();
  }
  // A stored line shows twice when its document was entered twice: it is
  // costed once, not drawn for again.
  bool nextOpenLine() override {
    if (started_) s4_->moveNext();
    started_ = true;
    while (!s4_->eof() && costed_.count(s4_->rowKey(lineFields_.settled))) s4_->moveNext();
    return !s4_->eof();
  }
  db::Value lineQuantity() override { return s4_->field(lineFields_.quantity); }
  void saveLine(std::optional<double> unitCost, double cost) override {
    saveLineFields(*s4_, lineFields_, unitCost, cost);
    costed_.insert(s4_->rowKey(lineFields_.settled));
  }
  bool openReceipt() override {
    s5_ = db_.openRecordset(openReceiptsQuery(code_));
    receiptFields_.find(*s5_);
    while (!s5_->eof() && nothingLeft(receiptAvailable())) s5_->moveNext();
    if (!s5_->eof()) return true;
    s5_->close();
    return false;
  }
  db::Value receiptAvailable() override { return s5_->field(receiptFields_.available); }
  db::Value receiptPrice() override { return s5_->field(receiptFields_.price); }
  void saveReceipt(double available) override {
    saveReceiptFields(*s5_, receiptFields_, available);
    s5_->close();
  }
  // Each line is a nested transaction of its own.
  void lineStarted() override { db_.beginTrans(); }
  void lineFinished() override { db_.commitTrans(); }
  void takeBackLine() override { db_.rollback(); }
  void endItem() override { s4_->close(); }

 private:
  db::Database& db_;
  std::string dayAfterCutOff_;
  db::Value code_;
  bool started_ = false;
  std::unordered_set<std::string> costed_;  // the item's stored lines saved
  std::unique_ptr<db::Recordset> s4_, s5_;
  LineFields lineFields_;
  ReceiptFields receiptFields_;
};

// A stored row of the ledger: the backend's row number, or its row key
// numbered in the order first seen.
using RowId = int64_t;

class StoredRows {
 public:
  RowId of(db::Recordset& rs, int field) {
    if (const auto n = rs.rowNumber(field)) return *n;
    return byKey_.try_emplace(rs.rowKey(field), static_cast<RowId>(byKey_.size())).first->second;
  }

 private:
  std::unordered_map<std::string, RowId> byKey_;  // kept for the run: the numbers stay
};

// Receipts' 销合 not yet written, by stored row (a receipt joined to two
// documents shows twice in the snapshot): those of one item, few.
class PendingReceipts {
 public:
  struct Entry {
    RowId row;      // the stored row
    long bookmark;  // one place where the snapshot shows it
    double available;
  };
  bool empty() const { return rows_.empty(); }
  const double* find(RowId row) const {
    for (const Entry& e : rows_)
      if (e.row == row) return &e.available;
    return nullptr;
  }
  void set(RowId row, long bookmark, double v) {
    for (Entry& e : rows_)
      if (e.row == row) {
        e.available = v;
        return;
      }
    rows_.push_back({row, bookmark, v});
  }
  void erase(RowId row) {
    std::erase_if(rows_, [&](const Entry& e) { return e.row == row; });
  }
  // Hands the entries over in the order of the snapshot's rows.
  std::vector<Entry> take() {
    std::sort(rows_.begin(), rows_.end(),
              [](const Entry& a, const Entry& b) { return a.bookmark < b.bookmark; });
    return std::exchange(rows_, {});
  }

 private:
  std::vector<Entry> rows_;
};

class SnapshotReader : public LedgerReader {
 public:
  SnapshotReader(db::Database& db, std::string dayAfterCutOff)
      : db_(db), dayAfterCutOff_(std::move(dayAfterCutOff)) {
    loadLines();
    loadReceipts();
    version_ = db_.dataVersion();
  }

  void transactionStarted() override {
    // The write lock is held from here to the next commit, so a change by
    // another user can only have come in before this point.
    const int64_t v = db_.dataVersion();
    if (v == version_) return;
    loadLines();
    loadReceipts();
    version_ = v;
  }

  void startItem(const db::Value& code) override {
    itemHeld_.clear();
    itemKey_ = itemKey(code);
    auto it = lines_.find(itemKey_);
    line_ = it == lines_.end() ? nullptr : &it->second;
    next_ = 0;
    findQueue();
  }
  bool nextOpenLine() override {
    while (line_ && next_ < line_->size()) {
      current_ = (*line_)[next_++];
      // A line held back is settled, though its row does not show it yet
      // (a stored line may show twice, joined to two documents: both times
      // in its item's lines).
      if (!itemHeld_.empty() && itemHeld_.count(current_.row)) continue;
      s4_->goTo(current_.bookmark);
      if (valueOf(s4_->field(lineFields_.settled)) == 0.0) return true;
    }
    return false;
  }
  db::Value lineQuantity() override {
    s4_->goTo(current_.bookmark);
    return s4_->field(lineFields_.quantity);
  }
  // The lines are written when the transaction is about to be committed,
  // in the order of their stored rows: saved as costed (item by item, all
  // over the file) each write would look for its row afresh.
  void saveLine(std::optional<double> unitCost, double cost) override {
    if (repeatedLines_.count(current_.row)) itemHeld_.insert(current_.row);
    held_.push_back({current_.row, current_.bookmark, unitCost, cost});
  }
  void writeHeldLines() override {
    sortByRow(held_);
    for (const HeldLine& h : held_) {
      s4_->goTo(h.bookmark);
      saveLineFields(*s4_, lineFields_, h.unitCost, h.cost);
    }
    held_.clear();
    // The receipts of the items done, too: no later item draws them.
    sortByRow(heldReceipts_);
    for (const HeldReceipt& h : heldReceipts_) {
      h.rows->goTo(h.bookmark);
      saveReceiptFields(*h.rows, receiptFields_, h.available);
    }
    heldReceipts_.clear();
  }

  bool openReceipt() override {
    // The item's receipts in the receipts query's order; only the first one
    // is ever saved, so the first that still passes its condition is what
    // that query would return.
    while (queue_ && queue_->head < queue_->rows.size()) {
      s5_->goTo(queue_->rows[queue_->head].bookmark);
      const db::Value a = receiptAvailable();
      if (nothingLeft(a)) {
        ++queue_->head;
        headSaved_ = false;
        continue;
      }
      // Text the engine compares its own way: a row it chose and nobody
      // changed still qualifies; a changed one is read again.
      if (isNumeric(a) || !headSaved_) return true;
      flush();
      flushedInLine_ = true;
      keepsNumbers_ = false;  // the queues change under the line: save at once from here
      loadReceipts();
      findQueue();
    }
    return false;
  }
  db::Value receiptAvailable() override {
    if (!pending_.empty())
      if (const double* p = pending_.find(headRow())) return db::Value(*p);
    return s5_->field(receiptFields_.available);
  }
  db::Value receiptPrice() override { return s5_->field(receiptFields_.price); }
  void saveReceipt(double available) override;

  void lineStarted() override {
    drawn_.clear();
    flushedInLine_ = false;
    heldBefore_ = held_.size();
  }
  void lineFinished() override {}
  void takeBackLine() override;
  void endItem() override {
    line_ = nullptr;
    queue_ = nullptr;
    headSaved_ = false;
    for (PendingReceipts::Entry& e : pending_.take())
      heldReceipts_.push_back({std::move(e.row), s5_, e.bookmark, e.available});
  }

 private:
  // A row of a snapshot and the stored row it shows.
  struct Shown {
    long bookmark = 0;
    RowId row = 0;
  };
  struct Queue {
    std::vector<Shown> rows;
    size_t head = 0;
  };
  // A line saved, not yet written.
  struct HeldLine {
    RowId row;  // the stored row
    long bookmark;
    std::optional<double> unitCost;
    double cost;
  };

  // A receipt's last 销合 of an item done, not yet written.
  struct HeldReceipt {
    RowId row;  // the stored row
    std::shared_ptr<db::Recordset> rows;
    long bookmark;
    double available;
  };

  // In the order of the stored rows, so that each write finds its row near
  // the one before.
  template <class Held>
  static void sortByRow(std::vector<Held>& held) {
    std::sort(held.begin(), held.end(), [](const Held& a, const Held& b) { return a.row < b.row; });
  }
  // A receipt saved by the current line, with what it held before. The row
  // set is kept: the receipts may be read again within the line.
  struct Draw {
    std::shared_ptr<db::Recordset> rows;
    long bookmark;
    RowId row;                     // the stored row
    db::Value available, settled;  // as the line found them
    bool deferred;                 // kept in pending_, not written
    std::optional<double> pendingBefore;
  };

  // Writes the receipts' values not yet written.
  void flush() {
    for (const PendingReceipts::Entry& e : pending_.take()) {
      s5_->goTo(e.bookmark);
      saveReceiptFields(*s5_, receiptFields_, e.available);
    }
  }

  // The stored row of the receipt openReceipt found.
  RowId headRow() const { return queue_->rows[queue_->head].row; }

  void findQueue() {
    auto it = receipts_.find(itemKey_);
    queue_ = it == receipts_.end() ? nullptr : &it->second;
  }

  void loadLines() {
    lines_.clear();
    // Items are told apart here, so the order within each is all that counts.
    s4_ = db_.openRecordset(allOutgoingLinesQuery(dayAfterCutOff_));
    lineFields_.find(*s4_);
    std::vector<RowId> rows;
    for (; !s4_->eof(); s4_->moveNext()) {
      const RowId row = storedRows_.of(*s4_, lineFields_.settled);
      lines_[itemKey(s4_->field(lineFields_.code))].push_back({s4_->bookmark(), row});
      rows.push_back(row);
    }
    findRepeatedLines(std::move(rows));
  }

  // The stored lines the snapshot shows more than once (usually none).
  void findRepeatedLines(std::vector<RowId> rows) {
    repeatedLines_.clear();
    std::sort(rows.begin(), rows.end());
    for (size_t i = 1; i < rows.size(); ++i)
      if (rows[i] == rows[i - 1]) repeatedLines_.insert(rows[i]);
  }

  void loadReceipts() {
    receipts_.clear();
    headSaved_ = false;
    s5_ = db_.openRecordset(allOpenReceiptsQuery());
    receiptFields_.find(*s5_);
    for (; !s5_->eof(); s5_->moveNext()) {
      receipts_[itemKey(s5_->field(receiptFields_.code))].rows.push_back(
          {s5_->bookmark(), storedRows_.of(*s5_, receiptFields_.available)});
    }
  }

  db::Database& db_;
  std::string dayAfterCutOff_;
  int64_t version_ = 0;
  std::string itemKey_;
  std::unique_ptr<db::Recordset> s4_;
  std::shared_ptr<db::Recordset> s5_;
  LineFields lineFields_;
  ReceiptFields receiptFields_;
  std::unordered_map<std::string, std::vector<Shown>> lines_;  // by item key
  std::unordered_map<std::string, Queue> receipts_;            // by item key
  const std::vector<Shown>* line_ = nullptr;                   // the current item's lines
  size_t next_ = 0;
  Shown current_;
  Queue* queue_ = nullptr;  // the current item's receipts
  // The first receipt of the item was saved since it was read.
  bool headSaved_ = false;
  std::vector<Draw> drawn_;
  PendingReceipts pending_;
  bool numbersChecked_ = false, keepsNumbers_ = false, flushedInLine_ = false;
  std::vector<HeldLine> held_;
  std::vector<HeldReceipt> heldReceipts_;
  StoredRows storedRows_;
  std::unordered_set<RowId> repeatedLines_;  // lines s4_ shows more than once
  std::unordered_set<RowId> itemHeld_;       // those of the current item in held_
  size_t heldBefore_ = 0;                    // held_ when the current line started
};

void SnapshotReader::saveReceipt(double available) {
  // A receipt is often drawn by several lines of its item; only its last
  // value needs writing, once the item is done (the item's lines are never
  // committed apart from it). That holds where the column keeps a number as
  // written, seen on the first save; elsewhere every save is written.
  const long bm = s5_->bookmark();
  const RowId row = headRow();
  const double* p = pending_.find(row);
  Draw d{s5_,
         bm,
         row,
         receiptAvailable(),
         p ? db::Value(int64_t{-1}) : s5_->field(receiptFields_.settled),
         false,
         std::nullopt};
  if (p) d.pendingBefore = *p;
  if (keepsNumbers_ && std::isfinite(available)) {
    d.deferred = true;
    pending_.set(row, bm, available);
  } else {
    saveReceiptFields(*s5_, receiptFields_, available);
    pending_.erase(row);
    if (!numbersChecked_) {
      numbersChecked_ = true;
      const db::Value stored = s5_->field(receiptFields_.available);
      keepsNumbers_ = isNumeric(stored) && numeric(stored, "销合") == available;
    }
  }
  drawn_.push_back(std::move(d));
  headSaved_ = true;
}

void SnapshotReader::takeBackLine() {
  // The run ends after a failure, so only the stored rows matter, not the
  // queues. A receipt drawn twice gets its first value back last; then what
  // the completed lines drew is written.
  for (auto it = drawn_.rbegin(); it != drawn_.rend(); ++it) {
    if (it->deferred && !flushedInLine_) {
      if (it->pendingBefore)
        pending_.set(it->row, it->bookmark, *it->pendingBefore);
      else
        pending_.erase(it->row);
      continue;
    }
    it->rows->goTo(it->bookmark);
    it->rows->edit();
    it->rows->setField(receiptFields_.available, it->available);
    it->rows->setField(receiptFields_.settled, it->settled);
    it->rows->update();
    if (!flushedInLine_) pending_.erase(it->row);
  }
  drawn_.clear();
  for (size_t i = heldBefore_; i < held_.size(); ++i) itemHeld_.erase(held_[i].row);
  held_.resize(heldBefore_);
  flush();
}

}  // namespace

bool nothingLeft(const db::Value& available) {
  const std::optional<double> a = valueOf(available);
  return a && *a <= 0;
}

std::unique_ptr<LedgerReader> makeLedgerReader(ReadMode mode, db::Database& year,
                                               const std::string& dayAfterCutOff) {
  if (mode == ReadMode::kSnapshot) return std::make_unique<SnapshotReader>(year, dayAfterCutOff);
  return std::make_unique<PerStatementReader>(year, dayAfterCutOff);
}

}  // namespace fifocost
