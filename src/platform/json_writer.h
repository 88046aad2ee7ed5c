// Compact JSON text for everything this project writes: the client's request
// bodies, the answers of our engines and the command-line host's output.
// Every function here is stateless and thread-safe; `JsonObjectWriter` is a
// plain value owned by whoever builds the text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::platform {

// Appends `utf8` to `out` as a JSON string literal, quotes included: '"' and
// '\' are escaped, control characters below U+0020 become \u00XX, every other
// byte (UTF-8 sequences included) is passed through unchanged. Text that is
// not valid UTF-8 throws std::system_error (EILSEQ) and appends nothing, here
// and in every writer below.
void appendJsonString(std::string& out, std::string_view utf8);

// `utf8` as a JSON string literal (see appendJsonString).
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

}  // namespace corvane::platform
