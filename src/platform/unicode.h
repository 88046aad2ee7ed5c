// Unicode text helpers. Texts are UTF-8 byte strings.
#pragma once

#include <string>
#include <string_view>

namespace corvane::platform {

// True when the two texts are canonically equivalent (NFD of both equal).
// ASCII texts compare by bytes; text that is not valid UTF-8 compares by bytes.
bool canonicallyEqual(std::string_view a, std::string_view b);

// True when `text` is well-formed UTF-8: no overlong forms, surrogates or
// values past U+10FFFF.
bool isValidUTF8(std::string_view text);

// The longest start of `text` with at most `maxBytes` bytes that does not
// end inside a UTF-8 sequence (judged by the bytes after the cut only).
std::string_view prefixAtCharacter(std::string_view text, std::size_t maxBytes);

// Decodes bytes as UTF-8, replacing every ill-formed sequence with U+FFFD.
std::string decodeUTF8Lossy(std::string_view bytes);

}  // namespace corvane::platform
