// Checks of option values whose refusals tell the user what to write: the
// value given, the allowed range in plain numbers, and an example. CLI11 puts
// the option's name in front ("--poll: 0 is too small; ...").
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <limits>
#include <string>

namespace corvane::cli {

// A whole number from `min` to `max` (no upper bound is said when `max` is
// the largest int64).
CLI::Validator wholeNumber(std::int64_t min, std::int64_t max, const std::string& example);

// A decimal number from `min` to `max`.
CLI::Validator decimalNumber(double min, double max, const std::string& example);

// The shortest decimal text that reads back as `value` ("0.05", "3600").
std::string numberText(double value);

// The refusal text of the checks above for `value`; empty when it passes.
std::string checkWholeNumber(const std::string& value, std::int64_t min, std::int64_t max,
                             const std::string& example);
std::string checkDecimalNumber(const std::string& value, double min, double max,
                               const std::string& example);

}  // namespace corvane::cli
