// Internet date-time texts (RFC 3339 profile of ISO 8601).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::platform {

using SysSeconds = std::chrono::sys_seconds;
using SysNanoseconds = std::chrono::sys_time<std::chrono::nanoseconds>;

// Parses exactly "YYYY-MM-DDTHH:MM:SS" followed by "Z" or "+HH:MM"/"-HH:MM",
// without fractional seconds. Returns the absolute instant, or nothing when
// the text does not have that form, names no valid date and time (a leap
// second included), or names an instant outside 0001-01-01T00:00:00Z to
// 9999-12-31T23:59:59Z once its offset is applied. Every instant it returns
// formats to a text that parses back to it.
std::optional<SysSeconds> parseInternetDateTime(std::string_view text);

// The same form with an optional fraction of a second after the seconds
// (a full stop and one or more digits): the instant to the nanosecond, later
// digits cut off.
std::optional<SysNanoseconds> parseInternetDateTimeNanos(std::string_view text);

// "2026-12-08T20:12:53Z": UTC, whole seconds. An instant before the year
// 0001 or after 9999 is written as the first or last instant of those years,
// so that every text written here parses back.
std::string formatInternetDateTime(SysSeconds t);

// "2026-12-08T20:12:53.123456789Z": UTC with nine fractional digits, kept to
// the years 0001-9999 in the same way.
std::string formatInternetDateTimeNanos(SysNanoseconds t);
// The same for a time held in microseconds (the last three digits are 0).
std::string formatInternetDateTimeNanos(std::chrono::sys_time<std::chrono::microseconds> t);
// The same for a time held as seconds since 1970 and the nanoseconds after
// them (0 to 999,999,999): the form of every time a file system can hold.
std::string formatInternetDateTimeNanos(std::int64_t secondsSinceEpoch, std::int64_t nanoseconds);

}  // namespace corvane::platform
