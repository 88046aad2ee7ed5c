// The wire records as JSON text: the client's request bodies and the answers
// of our engines (the test engine and the reference engine). Every function
// here is stateless and thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/records.h"
#include "platform/json_writer.h"

namespace corvane {

// The engine's texts are built with the platform's writer; its names are
// offered here too for the code that writes records and objects together.
using platform::jsonQuote;
using platform::JsonObjectWriter;

// The wire records as the engine writes them. "mod_time" is an internet
// date-time in UTC with nine fractional digits; a change set without a change
// list leaves the "changes" key out.
std::string toJson(const Entry& entry);
std::string toJson(const Change& change);
std::string toJson(const ChangeSet& changeSet);
std::string toJson(const Scope& scope);

// JSON arrays of records, for answers such as {"entries": [...]}.
std::string toJson(const std::vector<Entry>& entries);
std::string toJson(const std::vector<Change>& changes);
std::string toJson(const std::vector<Scope>& scopes);

}  // namespace corvane
