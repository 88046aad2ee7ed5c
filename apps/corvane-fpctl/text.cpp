#include "text.h"

#include "platform/percent_encoding.h"
#include "platform/unicode.h"

namespace corvane::fpctl {
using platform::hexDigitValue;

std::string toHex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 0xF];
  }
  return out;
}

std::optional<std::string> fromHex(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string out;
  out.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = hexDigitValue(hex[i]);
    const int low = hexDigitValue(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
  }
  return out;
}

std::string lossyText(std::string_view bytes) { return platform::decodeUTF8Lossy(bytes); }

std::string printable(std::string_view bytes) {
  std::string text = lossyText(bytes);
  for (char& c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = '?';
  }
  return text;
}

std::size_t displayWidth(std::string_view text) {
  std::size_t width = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++width;
  }
  return width;
}

}  // namespace corvane::fpctl
