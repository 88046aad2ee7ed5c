#include "platform/percent_encoding.h"

namespace corvane::platform {

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void appendPercentEncoded(std::string& out, std::string_view text, std::string_view keep) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const bool alphanumeric = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                              (byte >= '0' && byte <= '9');
    if (alphanumeric || (byte < 0x80 && keep.find(c) != std::string_view::npos)) {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    }
  }
}

std::string percentEncoded(std::string_view text, std::string_view keep) {
  std::string out;
  out.reserve(text.size());
  appendPercentEncoded(out, text, keep);
  return out;
}

}  // namespace corvane::platform
