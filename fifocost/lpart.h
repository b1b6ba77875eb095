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
// taken back; should the engine refuse even that, the open transaction is
// rolled back instead). A commit the engine refuses is tried once more; when
// that works the run goes on. Read from the snapshot, the lines and the
// receipts of the items done are written just before each commit: should the
// engine refuse one of those writes, the open transaction is rolled back.
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/database.h"
#include "fifocost/ledger_readers.h"
#include "fifocost/statements.h"

namespace fifocost {

struct Options {
  ReadMode mode = ReadMode::kSnapshot;
  // Whole items are grouped into one transaction until this many lines are
  // costed or this much time has passed: every commit waits for the disk
  // and rewrites most pages of the ledger (its items are spread all over
  // the file), so they are kept few, yet a kill loses little work. The time
  // bounds the work lost; the lines bound the saves held for the commit
  // (some 40 bytes a line).
  size_t linesPerCommit = 1000000;
  double secondsPerCommit = 5.0;
};

struct ItemSummary {
  std::string code;
  size_t lines = 0;  // outgoing lines costed
  double cost = 0;   // their cost
  size_t draws = 0;  // receipts saved
};

struct RunResult {
  bool nothingToCost = false;  // no item to cost: nothing was written
  std::vector<ItemSummary> items;
};

struct Services {
  std::function<std::unique_ptr<db::Database>(const std::string& path, const std::string& connect)>
      openDatabase = [](const std::string& path, const std::string& connect) {
        return db::openDatabase(path, connect);
      };
  // Lets the window system handle pending messages once.
  std::function<void()> pumpEvents = [] {};
  // Told after every outgoing line costed, with the number costed so far in
  // this run (the line is saved, not yet committed). May be empty.
  std::function<void(size_t linesCosted)> lineCosted;
};

// The application database is `appDb`; the year database is the one its
// settings table names. Throws db::DbError (or another std::exception) on
// failure, after committing what was saved.
RunResult LPart(const std::string& appDb, const Services& services, const Options& options = {});

}  // namespace fifocost
