#include "s3/s3_encoding.h"

#include <algorithm>

namespace corvane::s3 {
namespace {

bool unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string uriEncode(std::string_view text, bool keepSlash) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (unreserved(c) || (keepSlash && c == '/')) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xf]);
    }
  }
  return out;
}

std::string canonicalQuery(const QueryParameters& parameters) {
  std::vector<std::pair<std::string, std::string>> encoded;
  encoded.reserve(parameters.size());
  for (const auto& [name, value] : parameters) {
    encoded.emplace_back(uriEncode(name, false), uriEncode(value, false));
  }
  std::sort(encoded.begin(), encoded.end());
  std::string out;
  for (const auto& [name, value] : encoded) {
    if (!out.empty()) out.push_back('&');
    out.append(name).append("=").append(value);
  }
  return out;
}

std::optional<std::string> decodeListedName(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      const int high = hexValue(text[i + 1]);
      const int low = hexValue(text[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      out.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string bareEtag(std::string_view etag) {
  if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"') {
    etag = etag.substr(1, etag.size() - 2);
  }
  return std::string(etag);
}

std::string quotedEtag(std::string_view etag) {
  if (etag.empty()) return {};
  return "\"" + bareEtag(etag) + "\"";
}

}  // namespace corvane::s3
