// The readable form of results: `key: value` lines, aligned tables for
// listings and scopes, and host errors as one line
// "error: <domain> <code>: <description>". Pure functions.
#pragma once

#include <string>

#include "host/error.h"
#include "result.h"

namespace corvane::fpctl {

// What to print for one result: on standard output, and on standard error
// (the error line). Each is empty or ends in a line feed.
struct HumanText {
  std::string out;
  std::string err;
};

HumanText resultText(const Outcome& outcome);

// "error: <domain> <code>: <description>\n"; a code the host names gets its
// name when the error carries no description.
std::string errorLine(const host::Error& error);

// Every line of `text` with `prefix` in front.
std::string prefixLines(const std::string& text, const std::string& prefix);

}  // namespace corvane::fpctl
