#pragma once
// Where the cost run reads the open outgoing lines and receipts of an item
// and saves them: per statement, or from one snapshot of the ledger.
#include <memory>
#include <optional>
#include <string>

#include "db/database.h"

namespace fifocost {

// How the open outgoing lines and receipts are read.
enum class ReadMode {
  // Every item's outgoing lines and every receipt re-read are separate
  // statements, issued exactly as written: slow on a big ledger without
  // indexes, kept as the reference.
  kPerStatement,
  // One read of all open outgoing lines and one of all open receipts after
  // the reset, kept in memory and updated with what each save stored. Only
  // this run writes to an item's lines while it is being costed, so the
  // result equals re-reading; a commit by another user (seen in the
  // database's data version) makes the run read again.
  // The year database is the user's: no index is added to it (SQLite has no
  // temporary index on a table of the file itself), so this is what keeps a
  // run linear in the size of the ledger.
  kSnapshot,
};

class LedgerReader {
 public:
  virtual ~LedgerReader() = default;
  // Called at the start of every transaction that follows a commit.
  virtual void transactionStarted() {}
  // `code` as the items query gave it.
  virtual void startItem(const db::Value& code) = 0;
  // The item's next open outgoing line: false when there is none left. A
  // line saved in this run is not open any more.
  virtual bool nextOpenLine() = 0;
  virtual db::Value lineQuantity() = 0;
  virtual void saveLine(std::optional<double> unitCost, double cost) = 0;
  // Finds the item's oldest receipt with something left: false when none.
  virtual bool openReceipt() = 0;
  virtual db::Value receiptAvailable() = 0;
  virtual db::Value receiptPrice() = 0;
  // Saves the open receipt with its new 销合, settled.
  virtual void saveReceipt(double available) = 0;
  // A line is costed whole or not at all: between lineStarted and
  // lineFinished its draws can be taken back (in the open transaction).
  virtual void lineStarted() = 0;
  virtual void lineFinished() = 0;
  virtual void takeBackLine() = 0;
  // Writes what the item left unwritten.
  virtual void endItem() = 0;
  // Writes the saved lines not yet written; called in the open transaction
  // before it is committed and before a statement reads what they hold. A
  // failure leaves some of them written: the transaction must then go.
  virtual void writeHeldLines() {}
};

// `dayAfterCutOff`: outgoing lines dated before it are costed.
std::unique_ptr<LedgerReader> makeLedgerReader(ReadMode mode, db::Database& year,
                                               const std::string& dayAfterCutOff);

// A receipt with nothing left is never drawn, whatever type its column
// gave the value ('0.0' in a text column still passes "销合 > 0").
bool nothingLeft(const db::Value& available);

}  // namespace fifocost
