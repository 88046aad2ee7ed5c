#include "platform/json_writer.h"

#include <simdjson.h>

#include <cerrno>
#include <charconv>
#include <system_error>
#include <utility>

namespace corvane::platform {

void appendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  // JSON text is UTF-8: bytes that are not (a name from a file system that
  // allows anything) cannot be serialised, and nothing is sent.
  if (!simdjson::validate_utf8(text.data(), text.size())) {
    throw std::system_error(EILSEQ, std::generic_category(), "text is not valid UTF-8");
  }
  out += '"';
  std::size_t runStart = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text, runStart, i - runStart);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
    runStart = i + 1;
  }
  out.append(text, runStart, std::string_view::npos);
  out += '"';
}

std::string jsonQuote(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 2);
  appendJsonString(out, utf8);
  return out;
}

void JsonObjectWriter::beginField(std::string_view key) {
  if (text_.size() > 1) text_ += ',';
  appendJsonString(text_, key);
  text_ += ':';
}

JsonObjectWriter& JsonObjectWriter::addString(std::string_view key, std::string_view value) {
  beginField(key);
  appendJsonString(text_, value);
  return *this;
}

JsonObjectWriter& JsonObjectWriter::addInt(std::string_view key, std::int64_t value) {
  beginField(key);
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  text_.append(buffer, end);
  return *this;
}

JsonObjectWriter& JsonObjectWriter::addBool(std::string_view key, bool value) {
  beginField(key);
  text_ += value ? "true" : "false";
  return *this;
}

JsonObjectWriter& JsonObjectWriter::addNull(std::string_view key) {
  beginField(key);
  text_ += "null";
  return *this;
}

JsonObjectWriter& JsonObjectWriter::addStringArray(std::string_view key,
                                                   const std::vector<std::string>& values) {
  beginField(key);
  text_ += '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text_ += ',';
    appendJsonString(text_, values[i]);
  }
  text_ += ']';
  return *this;
}

JsonObjectWriter& JsonObjectWriter::addRaw(std::string_view key, std::string_view json) {
  beginField(key);
  text_ += json;
  return *this;
}

std::string JsonObjectWriter::str() const& { return text_ + "}"; }

std::string JsonObjectWriter::str() && {
  text_ += '}';
  return std::move(text_);
}

}  // namespace corvane::platform
