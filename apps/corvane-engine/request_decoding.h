// Decoding of what a request carries: the percent-encoded query of a GET and
// the JSON object of a POST. Strict: a malformed query, a body that is not a
// JSON object, a missing key or a value of the wrong type is an ApiError 400
// naming the problem.
#pragma once

#include <simdjson.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::syncengine {

// Percent-decodes `text`; "+" stays "+". Throws 400 on a bad escape.
std::string percentDecode(std::string_view text);

// The query's name=value pairs, decoded; the first of repeated names counts.
class Query {
 public:
  explicit Query(std::string_view query);
  // The value of `name`; 400 when it is missing.
  const std::string& required(const std::string& name) const;

 private:
  std::map<std::string, std::string> values_;
};

// A request body that must be one JSON object. Owns its parse.
class JsonBody {
 public:
  explicit JsonBody(const std::string& body);
  std::string string(const char* key) const;
  std::vector<std::string> stringArray(const char* key) const;
  // A whole number of 0 or more, or nothing when the key is absent or null.
  std::optional<std::int64_t> optionalCount(const char* key) const;

 private:
  simdjson::dom::element value(const char* key) const;

  simdjson::dom::parser parser_;
  simdjson::dom::object object_;
};

}  // namespace corvane::syncengine
