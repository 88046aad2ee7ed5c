#include "platform/unicode.h"

#include <utf8proc.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>

namespace corvane::platform {
namespace {

bool isASCII(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The canonical decomposition, or nothing when the text is not valid UTF-8.
std::optional<std::string> decomposed(std::string_view text) {
  utf8proc_uint8_t* out = nullptr;
  const auto length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                   static_cast<utf8proc_ssize_t>(text.size()), &out,
                   static_cast<utf8proc_option_t>(UTF8PROC_DECOMPOSE | UTF8PROC_STABLE));
  std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(out, &std::free);
  if (length < 0) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(length));
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool inRange(unsigned char byte, unsigned char low, unsigned char high) {
  return byte >= low && byte <= high;
}

}  // namespace

bool isValidUTF8(std::string_view text) {
  const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  auto left = static_cast<utf8proc_ssize_t>(text.size());
  while (left > 0) {
    if (*p < 0x80) {  // ASCII needs no decoding
      ++p;
      --left;
      continue;
    }
    utf8proc_int32_t codePoint = 0;
    const utf8proc_ssize_t length = utf8proc_iterate(p, left, &codePoint);
    if (length <= 0) return false;
    p += length;
    left -= length;
  }
  return true;
}

std::string_view prefixAtCharacter(std::string_view text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  std::size_t cut = maxBytes;
  // Back up over continuation bytes: the cut then falls before a lead byte.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
  if (a == b) return true;
  // Even one non-ASCII character may decompose to ASCII (KELVIN SIGN is "K"),
  // so the byte comparison is only final when both sides are ASCII.
  if (isASCII(a) && isASCII(b)) return false;
  const auto da = decomposed(a);
  const auto db = decomposed(b);
  if (!da || !db) return false;  // bytes differ, and that is all ill-formed text can say
  return *da == *db;
}

std::string decodeUTF8Lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  std::size_t i = 0;
  while (i < bytes.size()) {
    const unsigned char lead = byteAt(i);
    if (lead < 0x80) {
      out.push_back(static_cast<char>(lead));
      ++i;
      continue;
    }
    // Length of the sequence and the allowed range of its second byte; the
    // narrowed ranges exclude overlong forms, surrogates and values past U+10FFFF.
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (inRange(lead, 0xC2, 0xDF)) {
      length = 2;
    } else if (lead == 0xE0) {
      length = 3;
      low = 0xA0;
    } else if (inRange(lead, 0xE1, 0xEC) || inRange(lead, 0xEE, 0xEF)) {
      length = 3;
    } else if (lead == 0xED) {
      length = 3;
      high = 0x9F;
    } else if (lead == 0xF0) {
      length = 4;
      low = 0x90;
    } else if (inRange(lead, 0xF1, 0xF3)) {
      length = 4;
    } else if (lead == 0xF4) {
      length = 4;
      high = 0x8F;
    }
    if (length == 0) {  // never valid as a first byte
      out.append(kReplacement);
      ++i;
      continue;
    }
    // Consume the longest prefix that could still start a valid sequence; when
    // it falls short, that prefix is one maximal subpart and one U+FFFD.
    std::size_t taken = 1;
    while (taken < length && i + taken < bytes.size()) {
      const unsigned char next = byteAt(i + taken);
      if (taken == 1 ? !inRange(next, low, high) : !inRange(next, 0x80, 0xBF)) break;
      ++taken;
    }
    if (taken == length) {
      out.append(bytes.substr(i, length));
    } else {
      out.append(kReplacement);
    }
    i += taken;
  }
  return out;
}

}  // namespace corvane::platform
