// The engine's records as the API writes them: an Entry's keys for an
// ItemEntry, a Change's for an ItemChange, a ChangeSet's for ItemChanges.
// "mod_time" is an internet date-time in UTC with nine fractional digits,
// the storage's time to the nanosecond; times outside the years 0001 to
// 9999, which RFC 3339 cannot write, are held at those limits.
//
// Stateless; any thread. Text that is not valid UTF-8 throws
// std::system_error (EILSEQ), as the platform's JSON writer does.
#pragma once

#include <string>
#include <vector>

#include "item_records.h"

namespace corvane::syncengine {

// "2026-12-08T20:12:53.123456789Z"
std::string wireTime(const ItemState& state);

std::string toJson(const ItemEntry& entry);
std::string toJson(const std::vector<ItemEntry>& entries);  // a JSON array
std::string toJson(const ItemChanges& changes);

}  // namespace corvane::syncengine
