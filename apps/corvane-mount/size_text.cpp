#include "corvane-mount/size_text.h"

#include <cctype>
#include <cstdio>
#include <iterator>
#include <limits>

namespace corvane::mount {

std::optional<std::uint64_t> parseSize(std::string_view text) {
  std::size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  if (digits == 0 || text.size() - digits > 1) return std::nullopt;
  unsigned shift = 0;
  if (digits < text.size()) {
    switch (std::toupper(static_cast<unsigned char>(text.back()))) {
      case 'K': shift = 10; break;
      case 'M': shift = 20; break;
      case 'G': shift = 30; break;
      default: return std::nullopt;
    }
  }
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    const auto digit = static_cast<std::uint64_t>(text[i] - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (value > (kMax >> shift)) return std::nullopt;
  return value << shift;
}

}  // namespace corvane::mount
