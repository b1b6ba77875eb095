#include "fifocost/lpart.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <unordered_map>
#include <algorithm>

namespace fifocost {

const char* const kS1 = "SELECT usysbookind.* FROM usysbookind;";
const char* const kS2 =
    "SELECT 库清单.编号 FROM 库单 INNER JOIN 库清单 ON 库单.发票号 = 库清单.发票号 WHERE (((库单.类别)='销货') AND "
    "((库清单.销数)<>0) AND ((库清单.问题)=0)) GROUP BY 库清单.编号 ORDER BY 库清单.编号;";
const char* const kS3 =
    "UPDATE 库清单 SET 库清单.销合 = [数量], 库清单.本价 = Null, 库清单.成本 = Null, 库清单.毛利 = Null WHERE "
    "(((库清单.问题)=0));";
const char* const kS6 = "UPDATE 库清单 SET 库清单.毛利 = [销额]-[成本] WHERE (((库清单.销数)<>0));";

namespace {

const std::string kS4Select =
    "SELECT 库清单.编号, 库单.日期, 库单.类别, 库清单.销数, 库清单.本价, 库清单.成本, 库清单.毛利, 库清单.问题 FROM "
    "库单 INNER JOIN 库清单 ON 库单.发票号 = 库清单.发票号 WHERE (";
const std::string kS5Select =
    "SELECT 库清单.编号, 库单.日期, 库单.类别, 库清单.数量, 库清单.进价, 库清单.销合, 库清单.问题 FROM 库单 INNER "
    "JOIN 库清单 ON 库单.发票号 = 库清单.发票号 WHERE (";
// S4 and S5 over all items at once, with the fields LPart reads and saves.
const std::string kS4SnapshotSelect =
    "SELECT 库清单.编号, 库清单.销数, 库清单.本价, 库清单.成本, 库清单.问题 FROM 库单 INNER JOIN 库清单 ON 库单.发票号 = "
    "库清单.发票号 WHERE (";
const std::string kS5SnapshotSelect =
    "SELECT 库清单.编号, 库清单.进价, 库清单.销合, 库清单.问题 FROM 库单 INNER JOIN 库清单 ON 库单.发票号 = 库清单.发票号 "
    "WHERE (";
const std::string kS5Condition =
    "((库单.类别)='期初' Or (库单.类别)='入货') AND ((库清单.进价)>0) AND ((库清单.销合)>0)";

std::string s4Condition(const std::string& cutOff) {
  return "((库单.日期)<=#" + cutOff +
         "#) AND ((库单.类别)='销货' Or (库单.类别)='出货' Or (库单.类别)='损溢') AND ((库清单.问题)=0)";
}

// An item code goes into a statement as text; a quote in it is doubled so
// that it can never end the text early.
std::string textLiteral(const std::string& s) {
  std::string r = "'";
  for (char c : s) {
    if (c == '\'') r += '\'';
    r += c;
  }
  return r + "'";
}

bool isNumeric(const db::Value& v) {
  return std::holds_alternative<int64_t>(v) || std::holds_alternative<double>(v);
}

// A receipt's stored quantity or price: numbers as they are, text converted.
double numeric(const db::Value& v, const char* field) {
  if (std::holds_alternative<int64_t>(v)) return static_cast<double>(std::get<int64_t>(v));
  if (std::holds_alternative<double>(v)) return std::get<double>(v);
  return toNumber(v, field);
}

// Where LPart reads the open outgoing lines and receipts of an item and saves
// them. See ReadMode.
class LedgerReader {
 public:
  virtual ~LedgerReader() = default;
  // Called at the start of every transaction that follows a commit.
  virtual void transactionStarted() {}
  virtual void startItem(const std::string& code) = 0;
  virtual bool lineEof() = 0;
  virtual void nextLine() = 0;
  virtual db::Value lineQuantity() = 0;
  virtual void saveLine(std::optional<double> unitCost, double cost) = 0;
  // Opens S5 for the current item: false when it holds no row.
  virtual bool openReceipt() = 0;
  virtual db::Value receiptAvailable() = 0;
  virtual db::Value receiptPrice() = 0;
  // Saves the open receipt with its new 销合, settled, and closes S5.
  virtual void saveReceipt(double available) = 0;
  virtual void endItem() = 0;
  // A reader that can take back the draws of a line that failed part-way
  // spares LPart a savepoint per line (they cost a quarter of the costing).
  virtual bool takesBackLines() const { return false; }
  virtual void lineStarted() {}
  // Restores the receipts the current line drew, in the open transaction.
  virtual void takeBackLine() {}
};

// Where the fields LPart uses sit in a row set of outgoing lines (S4) and of
// receipts (S5), found once per row set.
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

void saveLineFields(db::Recordset& rs, const LineFields& f, std::optional<double> unitCost, double cost) {
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

class PerStatementReader : public LedgerReader {
 public:
  PerStatementReader(db::Database& db, std::string cutOff) : db_(db), cutOff_(std::move(cutOff)) {}

  void startItem(const std::string& code) override {
    code_ = code;
    s4_ = db_.openRecordset(statementS4(code, cutOff_));
    lineFields_.find(*s4_);
  }
  bool lineEof() override { return s4_->eof(); }
  void nextLine() override { s4_->moveNext(); }
  db::Value lineQuantity() override { return s4_->field(lineFields_.quantity); }
  void saveLine(std::optional<double> unitCost, double cost) override {
    saveLineFields(*s4_, lineFields_, unitCost, cost);
  }
  bool openReceipt() override {
    s5_ = db_.openRecordset(statementS5(code_));
    receiptFields_.find(*s5_);
    if (s5_->recordCount() != 0) return true;
    s5_->close();
    return false;
  }
  db::Value receiptAvailable() override { return s5_->field(receiptFields_.available); }
  db::Value receiptPrice() override { return s5_->field(receiptFields_.price); }
  void saveReceipt(double available) override {
    saveReceiptFields(*s5_, receiptFields_, available);
    s5_->close();
  }
  void endItem() override { s4_->close(); }

 private:
  db::Database& db_;
  std::string cutOff_;
  std::string code_;
  std::unique_ptr<db::Recordset> s4_, s5_;
  LineFields lineFields_;
  ReceiptFields receiptFields_;
};

class SnapshotReader : public LedgerReader {
 public:
  SnapshotReader(db::Database& db, std::string cutOff) : db_(db), cutOff_(std::move(cutOff)) {
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

  void startItem(const std::string& code) override {
    code_ = code;
    auto it = lines_.find(code);
    line_ = it == lines_.end() ? nullptr : &it->second;
    next_ = 0;
    findQueue();
  }
  bool lineEof() override { return !line_ || next_ >= line_->size(); }
  void nextLine() override { ++next_; }
  db::Value lineQuantity() override {
    s4_->goTo((*line_)[next_]);
    return s4_->field(lineFields_.quantity);
  }
  void saveLine(std::optional<double> unitCost, double cost) override {
    s4_->goTo((*line_)[next_]);
    saveLineFields(*s4_, lineFields_, unitCost, cost);
  }

  bool openReceipt() override {
    // The item's receipts in S5's order; only the first one is ever saved,
    // so the first that still passes S5's condition is what S5 would return.
    if (!queue_) return false;
    Queue& q = *queue_;
    while (q.head < q.rows.size()) {
      s5_->goTo(q.rows[q.head]);
      const db::Value a = receiptAvailable();
      if (isNumeric(a)) {
        if (numeric(a, "销合") > 0) return true;
        ++q.head;
        headSaved_ = false;
        continue;
      }
      // Not a number: the engine compares it its own way. A row it chose and
      // nobody changed still qualifies; a changed one is read again.
      if (!headSaved_) return true;
      flush();
      flushedInLine_ = true;
      keepsNumbers_ = false;  // the queues change under the line: save at once from here
      loadReceipts();
      findQueue();
      return openReceipt();
    }
    return false;
  }
  db::Value receiptAvailable() override {
    if (!pending_.empty())
      if (const double* p = pending_.find(s5_->bookmark())) return db::Value(*p);
    return s5_->field(receiptFields_.available);
  }
  db::Value receiptPrice() override { return s5_->field(receiptFields_.price); }
  void saveReceipt(double available) override {
    // A receipt is often drawn by several lines of its item; only its last
    // value needs writing, once the item is done (the item's lines are never
    // committed apart from it). That holds where the column keeps a number
    // as written, seen on the first save; elsewhere every save is written.
    const long bm = s5_->bookmark();
    const double* p = pending_.find(bm);
    Draw d{s5_, bm, receiptAvailable(), p ? db::Value(int64_t{-1}) : s5_->field(receiptFields_.settled), false,
           std::nullopt};
    if (p) d.pendingBefore = *p;
    if (keepsNumbers_ && std::isfinite(available)) {
      d.deferred = true;
      pending_.set(bm, available);
    } else {
      saveReceiptFields(*s5_, receiptFields_, available);
      pending_.erase(bm);
      if (!numbersChecked_) {
        numbersChecked_ = true;
        const db::Value stored = s5_->field(receiptFields_.available);
        keepsNumbers_ = isNumeric(stored) && numeric(stored, "销合") == available;
      }
    }
    drawn_.push_back(std::move(d));
    headSaved_ = true;
  }

  bool takesBackLines() const override { return true; }
  void lineStarted() override {
    drawn_.clear();
    flushedInLine_ = false;
  }
  void takeBackLine() override {
    // The run ends after a failure, so only the stored rows matter, not the
    // queues. A receipt drawn twice gets its first value back last; then
    // what the completed lines drew is written.
    for (auto it = drawn_.rbegin(); it != drawn_.rend(); ++it) {
      if (it->deferred && !flushedInLine_) {
        if (it->pendingBefore) pending_.set(it->bookmark, *it->pendingBefore);
        else pending_.erase(it->bookmark);
        continue;
      }
      it->rows->goTo(it->bookmark);
      it->rows->edit();
      it->rows->setField(receiptFields_.available, it->available);
      it->rows->setField(receiptFields_.settled, it->settled);
      it->rows->update();
      if (!flushedInLine_) pending_.erase(it->bookmark);
    }
    drawn_.clear();
    flush();
  }
  void endItem() override {
    line_ = nullptr;
    queue_ = nullptr;
    headSaved_ = false;
    flush();
  }

 private:
  struct Queue {
    std::vector<long> rows;
    size_t head = 0;
  };
  // A receipt saved by the current line, with what it held before. The row
  // set is kept: the receipts may be read again within the line.
  struct Draw {
    std::shared_ptr<db::Recordset> rows;
    long bookmark;
    db::Value available, settled;  // as the line found them
    bool deferred;                 // kept in pending_, not written
    std::optional<double> pendingBefore;
  };

  // Writes the receipts' values not yet written, in the order of the rows.
  void flush() {
    if (pending_.empty()) return;
    std::sort(pending_.rows.begin(), pending_.rows.end());
    while (!pending_.empty()) {
      const auto [bm, available] = pending_.rows.front();
      s5_->goTo(bm);
      saveReceiptFields(*s5_, receiptFields_, available);
      pending_.rows.erase(pending_.rows.begin());
    }
  }

  void findQueue() {
    auto it = receipts_.find(code_);
    queue_ = it == receipts_.end() ? nullptr : &it->second;
  }

  void loadLines() {
    lines_.clear();
    // Items are told apart here, so the order within each is all that counts.
    s4_ = db_.openRecordset(kS4SnapshotSelect + s4Condition(cutOff_) + ") ORDER BY 库单.日期;");
    lineFields_.find(*s4_);
    for (; !s4_->eof(); s4_->moveNext())
      lines_[db::valueToText(s4_->field(lineFields_.code))].push_back(s4_->bookmark());
  }

  void loadReceipts() {
    receipts_.clear();
    headSaved_ = false;
    s5_ = db_.openRecordset(kS5SnapshotSelect + kS5Condition + ") ORDER BY 库单.日期, 库单.类别;");
    receiptFields_.find(*s5_);
    for (; !s5_->eof(); s5_->moveNext())
      receipts_[db::valueToText(s5_->field(receiptFields_.code))].rows.push_back(s5_->bookmark());
  }

  db::Database& db_;
  std::string cutOff_;
  int64_t version_ = 0;
  std::string code_;
  std::unique_ptr<db::Recordset> s4_;
  std::shared_ptr<db::Recordset> s5_;
  std::vector<Draw> drawn_;
  // Receipts' 销合 not yet written, by row of s5_: those of one item, few.
  struct Pending {
    std::vector<std::pair<long, double>> rows;
    bool empty() const { return rows.empty(); }
    const double* find(long bm) const {
      for (const auto& r : rows)
        if (r.first == bm) return &r.second;
      return nullptr;
    }
    void set(long bm, double v) {
      for (auto& r : rows)
        if (r.first == bm) {
          r.second = v;
          return;
        }
      rows.emplace_back(bm, v);
    }
    void erase(long bm) {
      for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i].first == bm) {
          rows.erase(rows.begin() + static_cast<long>(i));
          return;
        }
    }
  };
  Pending pending_;
  bool numbersChecked_ = false, keepsNumbers_ = false, flushedInLine_ = false;
  std::unordered_map<std::string, std::vector<long>> lines_;
  std::unordered_map<std::string, Queue> receipts_;
  const std::vector<long>* line_ = nullptr;
  size_t next_ = 0;
  bool headSaved_ = false;
  Queue* queue_ = nullptr;  // the current item's receipts
  LineFields lineFields_;
  ReceiptFields receiptFields_;  // the first receipt of the item was saved since it was read
};

// One outgoing line, steps 6.2.1 to 6.2.3.
void costLine(LedgerReader& reader, ItemSummary& summary) {
  const double q = toNumber(reader.lineQuantity(), "销数");
  double r = q;
  double cost = 0;
  for (;;) {
    if (!reader.openReceipt()) break;
    const double a = numeric(reader.receiptAvailable(), "销合");
    const double p = numeric(reader.receiptPrice(), "进价");
    ++summary.draws;
    if (a >= r) {
      cost += r * p;
      reader.saveReceipt(a - r);
      break;
    }
    cost += a * p;
    r -= a;
    reader.saveReceipt(0);
  }
  reader.saveLine(q > 0 ? std::optional<double>(cost / q) : std::nullopt, cost);
  ++summary.lines;
  summary.cost += cost;
}

// After a line failed part-way: its draws are taken back, so that the commit
// that follows keeps whole lines only. Where that cannot be done (the engine
// refuses the writes, or it has already rolled the transaction back itself)
// the transaction is rolled back: fewer lines stay, but only whole ones.
void takeBackLine(db::Database& year, LedgerReader& reader) {
  try {
    if (year.inTransaction()) {
      reader.takeBackLine();
      return;
    }
  } catch (const std::exception&) {
  }
  try {
    if (year.inTransaction()) year.rollback();
  } catch (const std::exception&) {
  }
}

}  // namespace

std::string statementS4(const std::string& itemCode, const std::string& cutOff) {
  return kS4Select + "((库清单.编号)=" + textLiteral(itemCode) + ") AND " + s4Condition(cutOff) +
         ") ORDER BY 库单.日期;";
}

std::string statementS5(const std::string& itemCode) {
  return kS5Select + "((库清单.编号)=" + textLiteral(itemCode) + ") AND " + kS5Condition +
         ") ORDER BY 库单.日期, 库单.类别;";
}

double toNumber(const db::Value& v, const char* field) {
  const std::string text = db::valueToText(v);
  size_t b = text.find_first_not_of(' ');
  size_t e = text.find_last_not_of(' ');
  bool ok = b != std::string::npos;
  std::string t = ok ? text.substr(b, e - b + 1) : "";
  // Sign, digits with at most one point, optional exponent: nothing else.
  size_t i = 0;
  if (ok && (t[i] == '+' || t[i] == '-')) ++i;
  size_t digits = 0;
  bool point = false;
  for (; ok && i < t.size() && ((t[i] >= '0' && t[i] <= '9') || (t[i] == '.' && !point)); ++i) {
    if (t[i] == '.') point = true;
    else ++digits;
  }
  ok = ok && digits > 0;
  if (ok && i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    size_t expDigits = 0;
    for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) ++expDigits;
    ok = expDigits > 0;
  }
  ok = ok && i == t.size();
  double d = 0;
  if (ok) {
    // from_chars takes no leading '+' and ignores the C locale.
    const char* first = t.data() + (t[0] == '+' ? 1 : 0);
    ok = std::from_chars(first, t.data() + t.size(), d).ptr == t.data() + t.size();
  }
  if (!ok || !std::isfinite(d))
    throw db::DbError(db::kErrTypeMismatch,
                      std::string("Type mismatch: ") + field + " '" + text + "' is not a number.");
  return d;
}

RunResult LPart(const std::string& appDb, const Services& services, const Options& options) {
  RunResult result;
  std::string dbpath, yearnew;
  {
    auto app = services.openDatabase(appDb, "; pwd=");
    auto settings = app->openRecordset(kS1);
    dbpath = db::valueToText(settings->field("dbpath"));
    yearnew = db::valueToText(settings->field("yearnew"));
    settings->close();
    app->close();
  }

  auto year = services.openDatabase(dbpath, "; pwd=xq4817");
  auto items = year->openRecordset(kS2);
  if (items->recordCount() == 0) {
    result.nothingToCost = true;
    return result;
  }
  // The reset shares the first commit with the first items: one wait for
  // the disk less, and a kill before that commit leaves the file untouched.
  year->beginTrans();
  try {
    year->execute(kS3);
    services.pumpEvents();
    std::unique_ptr<LedgerReader> reader;
    if (options.mode == ReadMode::kSnapshot)
      reader = std::make_unique<SnapshotReader>(*year, yearnew);
    else
      reader = std::make_unique<PerStatementReader>(*year, yearnew);
    size_t linesInTransaction = 0;
    using Clock = std::chrono::steady_clock;
    auto since = Clock::now();
    for (; !items->eof(); items->moveNext()) {
      ItemSummary summary;
      summary.code = db::valueToText(items->field("编号"));
      reader->startItem(summary.code);
      for (; !reader->lineEof(); reader->nextLine()) {
        if (reader->takesBackLines()) {
          reader->lineStarted();
          try {
            costLine(*reader, summary);
          } catch (...) {
            takeBackLine(*year, *reader);
            throw;
          }
        } else {
          year->beginTrans();
          try {
            costLine(*reader, summary);
          } catch (...) {
            year->rollback();
            throw;
          }
          year->commitTrans();
        }
        ++linesInTransaction;
      }
      try {
        reader->endItem();
      } catch (...) {
        // The item's lines are saved but not all their draws: none of the
        // open transaction may stay.
        try {
          if (year->inTransaction()) year->rollback();
        } catch (const std::exception&) {
        }
        throw;
      }
      result.items.push_back(summary);
      if (linesInTransaction >= options.linesPerCommit ||
          (linesInTransaction > 0 && std::chrono::duration<double>(Clock::now() - since).count() >=
                                         options.secondsPerCommit)) {
        since = Clock::now();
        year->commitTrans();
        year->beginTrans();
        reader->transactionStarted();
        linesInTransaction = 0;
      }
    }
    year->execute(kS6);
    year->commitTrans();
  } catch (...) {
    // What was saved before the failure stays: whole lines only.
    try {
      year->commitTrans();
    } catch (const std::exception&) {
    }
    throw;
  }
  services.pumpEvents();
  items->close();
  year->close();
  return result;
}

}  // namespace fifocost
