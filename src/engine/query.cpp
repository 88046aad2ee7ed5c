#include "engine/query.h"

namespace corvane::query {
namespace {

bool keptAsIs(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~' || c == '/';
}

void append(std::string& out, std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  for (unsigned char c : text) {
    if (keptAsIs(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    }
  }
}

}  // namespace

std::string encode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append(out, text);
  return out;
}

std::string build(std::initializer_list<std::pair<std::string_view, std::string_view>> items) {
  std::string out;
  bool first = true;
  for (const auto& [name, value] : items) {
    if (!first) out += '&';
    first = false;
    append(out, name);
    out += '=';
    append(out, value);
  }
  return out;
}

}  // namespace corvane::query
