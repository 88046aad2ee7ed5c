// Strict decoding of the wire records from JSON (simdjson).
//
// Every key a record names is required unless stated; a missing key, a null
// or a value of the wrong JSON type fails the whole answer with a
// DecodingError. Unknown keys are ignored. "mod_time" follows the wire
// timestamp rule: fractional seconds are removed, then the text is parsed as
// an internet date-time; a text that does not parse fails as dataCorrupted
// with the description "bad date " and the text as received.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/records.h"

namespace corvane {

class DecodingError : public std::exception {
 public:
  enum class Kind { typeMismatch, valueNotFound, keyNotFound, dataCorrupted };

  DecodingError(Kind kind, std::vector<std::string> codingPath, std::string description);

  Kind kind() const { return kind_; }
  const std::vector<std::string>& codingPath() const { return codingPath_; }
  const std::string& description() const { return description_; }
  // The default textual form: kind, coding path and description.
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  Kind kind_;
  std::vector<std::string> codingPath_;
  std::string description_;
  std::string text_;
};

// The fractional-seconds removal and parse of the wire timestamp rule.
// Returns nothing when the text does not parse.
std::optional<Timestamp> parseWireTimestamp(std::string_view text);

namespace decode {

// Each takes the whole answer body. `body` may be any bytes (padding in its capacity is used when present); a body that is
// not JSON fails as dataCorrupted.
std::vector<Scope> scopesAnswer(const std::string& body);     // {"scopes": [Scope]}
std::vector<Entry> entriesAnswer(const std::string& body);    // {"entries": [Entry]}
ChangeSet changeSet(const std::string& body);                 // ChangeSet
Entry entry(const std::string& body);                         // Entry
std::string pathAnswer(const std::string& body);              // {"path": string}
// {"deleted": optional array of strings}; the list is checked, then dropped.
void deletedAnswer(const std::string& body);

}  // namespace decode
}  // namespace corvane
