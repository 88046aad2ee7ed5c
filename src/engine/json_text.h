// Compact JSON text for the few things this project writes: the client's
// request bodies and the answers of our engines (the test engine and the
// reference engine). Every function here is stateless and thread-safe;
// `JsonObjectWriter` is a plain value owned by whoever builds the text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/records.h"

namespace corvane {

// `utf8` as a JSON string literal, quotes included: '"' and '\' are escaped,
// control characters below U+0020 become \u00XX, every other byte (UTF-8
// sequences included) is passed through unchanged. Text that is not valid
// UTF-8 throws std::system_error (EILSEQ), here and in every writer below.
std::string jsonQuote(std::string_view utf8);

// Builds one JSON object, field by field, in the order added. Keys are not
// checked for duplicates.
//
//   std::string body = JsonObjectWriter().addString("path", p).addString("name", n).str();
class JsonObjectWriter {
 public:
  JsonObjectWriter& addString(std::string_view key, std::string_view value);
  JsonObjectWriter& addInt(std::string_view key, std::int64_t value);
  JsonObjectWriter& addBool(std::string_view key, bool value);
  JsonObjectWriter& addNull(std::string_view key);
  JsonObjectWriter& addStringArray(std::string_view key, const std::vector<std::string>& values);
  // `json` is inserted as it is and must itself be one JSON value.
  JsonObjectWriter& addRaw(std::string_view key, std::string_view json);

  // The object's text: "{}" when nothing was added.
  std::string str() const&;
  std::string str() &&;

 private:
  void beginField(std::string_view key);

  std::string text_ = "{";
};

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
