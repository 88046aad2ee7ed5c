// Hex digits and percent-encoding of byte strings, for query texts and for
// file names made of arbitrary text. Pure functions, callable from any thread.
#pragma once

#include <string>
#include <string_view>

namespace corvane::platform {

// The value of one hex digit of either case, or -1 for any other character.
int hexDigitValue(char c);

// Appends `text` to `out` with every byte written as %XX (upper-case hex)
// except ASCII letters, digits and the characters listed in `keep`.
void appendPercentEncoded(std::string& out, std::string_view text, std::string_view keep);

// `text` encoded as appendPercentEncoded() writes it.
std::string percentEncoded(std::string_view text, std::string_view keep);

}  // namespace corvane::platform
