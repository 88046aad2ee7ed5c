#include "platform/quoted_text.h"

#include "platform/unicode.h"

namespace corvane::platform {
namespace {

// "... (N of M bytes shown)" for a start of N bytes of an input of M.
std::string cutMark(std::size_t shown, std::size_t total) {
  return " (" + std::to_string(shown) + " of " + std::to_string(total) + " bytes shown)";
}

}  // namespace

std::string shortenedInput(std::string_view text) {
  if (text.size() <= kQuotedInputLimit) return std::string(text);
  const std::string_view start = prefixAtCharacter(text, kQuotedInputLimit);
  std::string out(start);
  out += "...";
  out += cutMark(start.size(), text.size());
  return out;
}

std::string quotedInput(std::string_view text) {
  if (text.size() <= kQuotedInputLimit) return "\"" + std::string(text) + "\"";
  const std::string_view start = prefixAtCharacter(text, kQuotedInputLimit);
  std::string out = "\"";
  out += start;
  out += "...\"";
  out += cutMark(start.size(), text.size());
  return out;
}

}  // namespace corvane::platform
