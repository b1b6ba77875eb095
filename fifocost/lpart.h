#pragma once
// The FIFO cost recalculation of a year ledger (LPart). One thread; the run
// owns the databases it opens and closes them before it returns.
//
// Commits: the costing of one outgoing line (the receipts it draws and the
// line itself) is never split by a commit, and neither is one item: commits
// fall between items only, the last one carrying the gross profit update.
// So a run killed at any moment leaves whole items costed, and the next run
// ends in the state one uninterrupted run would have reached (the item list
// is chosen by open sale lines, so a half-costed item could drop out of it).
// A failure reported by the engine keeps what was saved before it: the lines
// completed so far are committed, the failing line's draws are not (they are
// taken back, or held in a savepoint when reading per statement; should the
// engine refuse even that, the open transaction is rolled back instead).
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/database.h"

namespace fifocost {

// How the open outgoing lines and receipts are read.
enum class ReadMode {
  // Every item's outgoing lines and every receipt re-read are separate
  // statements, issued exactly as written (S4, S5): slow on a big ledger
  // without indexes, kept as the reference.
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

struct Options {
  ReadMode mode = ReadMode::kSnapshot;
  // Whole items are grouped into one transaction until this many lines are
  // costed or this much time has passed: every commit waits for the disk,
  // so they are kept few, yet a kill loses little work.
  size_t linesPerCommit = 200000;
  double secondsPerCommit = 5.0;
};

struct ItemSummary {
  std::string code;
  size_t lines = 0;     // outgoing lines costed
  double cost = 0;      // their cost
  size_t draws = 0;     // receipts saved
};

struct RunResult {
  bool nothingToCost = false;  // S2 gave no item: nothing was written
  std::vector<ItemSummary> items;
};

struct Services {
  std::function<std::unique_ptr<db::Database>(const std::string& path, const std::string& connect)> openDatabase =
      [](const std::string& path, const std::string& connect) { return db::openDatabase(path, connect); };
  // Lets the window system handle pending messages once.
  std::function<void()> pumpEvents = [] {};
};

// The application database is `appDb`; the year database is the one its
// settings table names. Throws db::DbError (or another std::exception) on
// failure, after committing what was saved.
RunResult LPart(const std::string& appDb, const Services& services, const Options& options = {});

// The statements of the run, in the original dialect.
std::string statementS4(const std::string& itemCode, const std::string& cutOff);
std::string statementS5(const std::string& itemCode);
extern const char* const kS1;
extern const char* const kS2;
extern const char* const kS3;
extern const char* const kS6;

// A field value as a number, the way the original turns text into a number
// ("5", " 2.5", "-1e3"); empty or other text is a type mismatch (DbError 13).
double toNumber(const db::Value& v, const char* field);

}  // namespace fifocost
