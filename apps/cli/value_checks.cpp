#include "cli/value_checks.h"

#include <charconv>
#include <cmath>

namespace corvane::cli {
namespace {

constexpr std::int64_t kUnbounded = std::numeric_limits<std::int64_t>::max();

std::string wholeRange(std::int64_t min, std::int64_t max) {
  if (max == kUnbounded) return "a whole number of at least " + std::to_string(min);
  return "a whole number from " + std::to_string(min) + " to " + std::to_string(max);
}

std::string advice(const std::string& range, const std::string& example) {
  return "write " + range + ", such as " + example;
}

}  // namespace

std::string numberText(double value) {
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (ec != std::errc()) return std::to_string(value);
  return std::string(buffer, end);
}

std::string checkWholeNumber(const std::string& value, std::int64_t min, std::int64_t max,
                             const std::string& example) {
  const std::string range = wholeRange(min, max);
  std::int64_t number = 0;
  const char* first = value.data();
  const char* last = first + value.size();
  if (first != last && *first == '+') ++first;
  auto [end, ec] = std::from_chars(first, last, number);
  if (value.empty() || end != last || ec == std::errc::invalid_argument) {
    return "'" + value + "' is not a whole number; " + advice(range, example);
  }
  if (ec == std::errc::result_out_of_range || number > max) {
    return value + " is too large; " + advice(range, example);
  }
  if (number < min) return value + " is too small; " + advice(range, example);
  return {};
}

std::string checkDecimalNumber(const std::string& value, double min, double max,
                               const std::string& example) {
  const std::string range = "a number from " + numberText(min) + " to " + numberText(max);
  double number = 0;
  const char* first = value.data();
  const char* last = first + value.size();
  if (first != last && *first == '+') ++first;
  auto [end, ec] = std::from_chars(first, last, number);
  if (value.empty() || end != last || ec == std::errc::invalid_argument || std::isnan(number)) {
    return "'" + value + "' is not a number; " + advice(range, example);
  }
  if (ec == std::errc::result_out_of_range || number > max) {
    return value + " is too large; " + advice(range, example);
  }
  if (number < min) return value + " is too small; " + advice(range, example);
  return {};
}

CLI::Validator wholeNumber(std::int64_t min, std::int64_t max, const std::string& example) {
  // No description: the option's help says the range in its own words.
  return CLI::Validator(
      [=](std::string& value) { return checkWholeNumber(value, min, max, example); }, "");
}

CLI::Validator decimalNumber(double min, double max, const std::string& example) {
  return CLI::Validator(
      [=](std::string& value) { return checkDecimalNumber(value, min, max, example); }, "");
}

}  // namespace corvane::cli
