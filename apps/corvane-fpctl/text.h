// Small text conversions shared by the parser and the two output forms.
// Pure functions, callable from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvane::fpctl {

// Lower-case hex of every byte.
std::string toHex(std::string_view bytes);

// The bytes of an even-length hex text (either case); nothing when the text
// is not hex.
std::optional<std::string> fromHex(std::string_view hex);

// Bytes as UTF-8 text, ill-formed sequences replaced by U+FFFD.
std::string lossyText(std::string_view bytes);

// Lossy text with control characters shown as "?", so that a value stays on
// its line of a terminal.
std::string printable(std::string_view bytes);

// How many columns a printable text takes: one per code point.
std::size_t displayWidth(std::string_view text);

}  // namespace corvane::fpctl
