#pragma once
// The statements of the cost run, written in the original engine's dialect,
// and the way the run reads numbers and dates out of the ledger.
#include <optional>
#include <string>

#include "db/database.h"

namespace fifocost {

// The settings row of the application database.
extern const char* const kSettingsQuery;
// The codes of the items with an open sale line of a non-zero quantity.
extern const char* const kItemsToCostQuery;
// Every open line back to its received quantity, without cost figures.
extern const char* const kResetOpenLines;
// Gross profit of every line with a quantity, settled or open.
extern const char* const kGrossProfitUpdate;

// The open outgoing lines of one item dated before `dayAfterCutOff`, oldest
// first. `itemCode` is the value the items query gave (Null included).
std::string outgoingLinesQuery(const db::Value& itemCode, const std::string& dayAfterCutOff);
// The item's receipts with a price and something left, oldest first (same
// date: category order).
std::string openReceiptsQuery(const db::Value& itemCode);
// The same two over all items at once, with the fields the run reads.
std::string allOutgoingLinesQuery(const std::string& dayAfterCutOff);
std::string allOpenReceiptsQuery();

// The cut-off text of the settings, validated as one date as a whole (it
// goes into statements); returns the day after it as yyyy-mm-dd, so that
// every movement of the cut-off day counts whatever its time of day.
// Anything else is DbError 3075.
std::string dayAfterCutOff(const std::string& cutOff);

// A field value as a number, the way the original turns text into a number
// ("5", " 2.5", "-1e3"); empty, other text or a number out of range is a type
// mismatch (DbError 13).
double toNumber(const db::Value& v, const char* field);
// Numbers as they are, text converted by toNumber.
double numeric(const db::Value& v, const char* field);
// What toNumber reads, without the error: nullopt where it would throw.
std::optional<double> readNumber(const db::Value& v);

}  // namespace fifocost
