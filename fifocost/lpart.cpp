#include "fifocost/lpart.h"

#include <chrono>
#include <exception>
#include <optional>

namespace fifocost {
namespace {

struct Settings {
  std::string yearDb;  // dbpath
  std::string cutOff;  // yearnew
};

Settings readSettings(const std::string& appDb, const Services& services) {
  auto app = services.openDatabase(appDb, "; pwd=");
  auto settings = app->openRecordset(kSettingsQuery);
  Settings s{db::valueToText(settings->field("dbpath")),
             db::valueToText(settings->field("yearnew"))};
  settings->close();
  app->close();
  return s;
}

// One outgoing line against the item's receipts, oldest first.
void costLine(LedgerReader& reader, ItemSummary& summary) {
  const double q = toNumber(reader.lineQuantity(), "销数");
  double r = q;
  double cost = 0;
  while (reader.openReceipt()) {
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

// Drops the open transaction, on the way to reporting another failure: a
// failure of its own would hide that one.
void rollBackAll(db::Database& year) {
  try {
    for (int level = 0; level < 64 && year.inTransaction(); ++level) year.rollback();
  } catch (const std::exception&) {
  }
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
  rollBackAll(year);
}

// A commit the engine refuses (another user's lock outlasting the wait) is
// tried once more, the transaction still open; when that fails too the
// transaction is dropped and the first failure reported.
void commitOrRetry(db::Database& year) {
  try {
    year.commitTrans();
  } catch (const std::exception&) {
    bool committed = false;
    try {
      if (year.inTransaction()) {
        year.commitTrans();
        committed = true;
      }
    } catch (const std::exception&) {
    }
    if (committed) return;
    rollBackAll(year);
    throw;
  }
}

// When the open transaction is committed: between items, once enough lines
// or time have gathered.
class CommitCadence {
 public:
  explicit CommitCadence(const Options& options) : options_(options), since_(Clock::now()) {}
  void lineCosted() { ++lines_; }
  bool due() const {
    return lines_ >= options_.linesPerCommit ||
           (lines_ > 0 && std::chrono::duration<double>(Clock::now() - since_).count() >=
                              options_.secondsPerCommit);
  }
  void committed() {
    lines_ = 0;
    since_ = Clock::now();
  }

 private:
  using Clock = std::chrono::steady_clock;
  const Options& options_;
  size_t lines_ = 0;
  Clock::time_point since_;
};

// The items one by one, inside the run's open transaction.
class ItemCosting {
 public:
  ItemCosting(db::Database& year, const Services& services, const Options& options,
              const std::string& dayAfterCutOff)
      : year_(year),
        services_(services),
        cadence_(options),
        reader_(makeLedgerReader(options.mode, year, dayAfterCutOff)) {}

  void costAll(db::Recordset& items, RunResult& result) {
    const int code = items.fieldIndex("编号");
    for (; !items.eof(); items.moveNext()) {
      result.items.push_back(costItem(items.field(code)));
      if (!cadence_.due()) continue;
      writeHeldLines();
      commitOrRetry(year_);
      year_.beginTrans();
      reader_->transactionStarted();
      cadence_.committed();
    }
  }

  // Before a commit, and before a statement reads the lines' cost. Written
  // in part, the lines would not match their draws: none of the open
  // transaction may stay then.
  void writeHeldLines() {
    try {
      reader_->writeHeldLines();
    } catch (...) {
      rollBackAll(year_);
      throw;
    }
  }

 private:
  ItemSummary costItem(const db::Value& code) {
    ItemSummary summary;
    summary.code = db::valueToText(code);
    reader_->startItem(code);
    while (reader_->nextOpenLine()) {
      costWholeLine(summary);
      cadence_.lineCosted();
      if (services_.lineCosted) services_.lineCosted(++linesCosted_);
    }
    try {
      reader_->endItem();
    } catch (...) {
      // The item's lines are saved but not all their draws: none of the
      // open transaction may stay.
      rollBackAll(year_);
      throw;
    }
    return summary;
  }

  void costWholeLine(ItemSummary& summary) {
    reader_->lineStarted();
    try {
      costLine(*reader_, summary);
      reader_->lineFinished();
    } catch (...) {
      takeBackLine(year_, *reader_);
      throw;
    }
  }

  db::Database& year_;
  const Services& services_;
  CommitCadence cadence_;
  std::unique_ptr<LedgerReader> reader_;
  size_t linesCosted_ = 0;
};

// The reset, the items and the gross profit. The reset shares the first
// commit with the first items: one wait for the disk less, and a kill before
// that commit leaves the file untouched.
void recalculate(db::Database& year, db::Recordset& items, const Services& services,
                 const Options& options, const std::string& dayAfterCutOff, RunResult& result) {
  year.beginTrans();
  std::optional<ItemCosting> costing;
  try {
    year.execute(kResetOpenLines);
    services.pumpEvents();
    costing.emplace(year, services, options, dayAfterCutOff);
    costing->costAll(items, result);
    costing->writeHeldLines();
    year.execute(kGrossProfitUpdate);
    commitOrRetry(year);
  } catch (...) {
    // What was saved before the failure stays: whole lines only.
    try {
      if (year.inTransaction()) {
        if (costing) costing->writeHeldLines();
        if (year.inTransaction()) year.commitTrans();
      }
    } catch (const std::exception&) {
    }
    throw;
  }
}

}  // namespace

RunResult LPart(const std::string& appDb, const Services& services, const Options& options) {
  const Settings settings = readSettings(appDb, services);
  // The cut-off goes into statements: it is checked whole before any is made.
  const std::string dayAfter = dayAfterCutOff(settings.cutOff);
  auto year = services.openDatabase(settings.yearDb, "; pwd=xq4817");
  auto items = year->openRecordset(kItemsToCostQuery);
  RunResult result;
  if (items->recordCount() == 0) {
    result.nothingToCost = true;
    return result;
  }
  recalculate(*year, *items, services, options, dayAfter, result);
  services.pumpEvents();
  items->close();
  year->close();
  return result;
}

}  // namespace fifocost
