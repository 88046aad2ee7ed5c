#include "engine/query.h"

#include "platform/percent_encoding.h"

namespace corvane::query {
namespace {

constexpr std::string_view kKeptAsIs = "-._~/";

}  // namespace

std::string encode(std::string_view text) { return platform::percentEncoded(text, kKeptAsIs); }

std::string build(std::initializer_list<std::pair<std::string_view, std::string_view>> items) {
  std::string out;
  bool first = true;
  for (const auto& [name, value] : items) {
    if (!first) out += '&';
    first = false;
    platform::appendPercentEncoded(out, name, kKeptAsIs);
    out += '=';
    platform::appendPercentEncoded(out, value, kKeptAsIs);
  }
  return out;
}

}  // namespace corvane::query
