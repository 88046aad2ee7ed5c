// Percent-encoding of query names and values for the engine's GET requests.
//
// Every byte outside A-Z a-z 0-9 - . _ ~ and / is written as %XX with
// upper-case hex digits, so "+", "&", "=", "#", "%", blanks and every byte of
// a non-ASCII character survive any query parser on the engine's side. The
// rule is stricter than a URL library's query component, which keeps "+" and
// thereby lets form-style parsers read it as a blank.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace corvane::query {

std::string encode(std::string_view text);

// "name=value&name=value", each part encoded, in the given order.
std::string build(std::initializer_list<std::pair<std::string_view, std::string_view>> items);

}  // namespace corvane::query
