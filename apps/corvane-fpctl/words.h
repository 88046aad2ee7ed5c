// Shell-style word splitting of one batch line.
//
// Words are separated by blanks and tabs. Single quotes keep everything up to
// the next single quote literally; double quotes keep blanks, and inside them
// a backslash escapes only '"' and '\'; outside quotes a backslash makes the
// next character literal. An unquoted '#' at the start of a word begins a
// comment that runs to the end of the line. No variables, globs or
// substitutions. Pure functions, callable from any thread.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::fpctl {

// An unterminated quote or a line that ends in a lone backslash.
class WordSyntaxError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::vector<std::string> splitWords(std::string_view line);

}  // namespace corvane::fpctl
