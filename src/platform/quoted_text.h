// A user's input as messages and log lines quote it: whole when it is short,
// cut after its first 1 KiB otherwise, and marked as cut. An input of any
// size (a 63 MB path, say) then gives an answer and a log line of a few KiB
// at most. Pure functions, callable from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvane::platform {

// How much of an input is quoted, in bytes.
inline constexpr std::size_t kQuotedInputLimit = 1024;

// `text` when it has at most kQuotedInputLimit bytes; else its start, cut at
// a UTF-8 character boundary, followed by "... (N of M bytes shown)".
std::string shortenedInput(std::string_view text);

// shortenedInput(text) in double quotes; the mark of a cut follows the closing
// quote, so the quoted part is only ever the input itself.
std::string quotedInput(std::string_view text);

}  // namespace corvane::platform
