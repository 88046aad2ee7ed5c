// The readable form of results: `key: value` lines, aligned tables for
// listings and scopes, and host errors as one line
// "error: <command> <item>: <domain> <code>: <description>". Pure functions
// (apart from the look at the engine's discovery file for an engine that
// does not answer).
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

// "error: <about>: <domain> <code>: <description>\n" (without "<about>: "
// when `about` is empty); a code the host names gets its name when the
// error carries no description, an unreachable engine gets the advice to
// start one, and `advice` (what to write instead) follows after "; ".
std::string errorLine(const host::Error& error, const std::string& about = {},
                      const std::string& advice = {});

// Every line of `text` with `prefix` in front.
std::string prefixLines(const std::string& text, const std::string& prefix);

}  // namespace corvane::fpctl
