#include "platform/iso8601.h"

#include <algorithm>
#include <charconv>

namespace corvane::platform {
namespace {

using namespace std::chrono;

constexpr std::size_t kDateTimeLength = 19;  // "YYYY-MM-DDTHH:MM:SS"
constexpr std::size_t kOffsetLength = 6;     // "+HH:MM"

// The instants whose UTC text has a four-digit year. An offset can move a
// text's local year 0000 or 9999 past these ends; such a value would format
// as "-0001-..." or "10000-..." and not parse back, so it is refused as if
// the text were malformed.
constexpr SysSeconds kFirstWritable = sys_days{year{1} / January / 1};
constexpr SysSeconds kLastWritable = sys_days{year{9999} / December / 31} + days{1} - seconds{1};

// Exactly `count` ASCII digits at `pos`; from_chars alone would accept fewer.
std::optional<int> digits(std::string_view text, std::size_t pos, std::size_t count) {
  int value = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// `value` with at least `width` digits, zero-padded.
void appendPadded(std::string& out, long long value, int width) {
  if (value < 0) {
    out.push_back('-');
    value = -value;
  }
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  const auto length = static_cast<int>(result.ptr - buffer);
  out.append(static_cast<std::size_t>(width > length ? width - length : 0), '0');
  out.append(buffer, result.ptr);
}

void appendDateTime(std::string& out, SysSeconds t) {
  const auto day = floor<days>(t);
  const year_month_day date{day};
  const hh_mm_ss time{t - day};
  appendPadded(out, static_cast<int>(date.year()), 4);
  out.push_back('-');
  appendPadded(out, static_cast<unsigned>(date.month()), 2);
  out.push_back('-');
  appendPadded(out, static_cast<unsigned>(date.day()), 2);
  out.push_back('T');
  appendPadded(out, time.hours().count(), 2);
  out.push_back(':');
  appendPadded(out, time.minutes().count(), 2);
  out.push_back(':');
  appendPadded(out, time.seconds().count(), 2);
}

// The UTC text of `whole` seconds since 1970 and `fraction` of `perSecond`
// parts of the next, with nine fractional digits; a time outside the years
// 0001-9999 is held at the first or the last instant those parts can name.
std::string withFraction(long long whole, long long fraction, long long perSecond) {
  if (whole < kFirstWritable.time_since_epoch().count()) {
    whole = kFirstWritable.time_since_epoch().count();
    fraction = 0;
  } else if (whole > kLastWritable.time_since_epoch().count()) {
    whole = kLastWritable.time_since_epoch().count();
    fraction = perSecond - 1;
  }
  std::string out;
  out.reserve(kDateTimeLength + 11);
  appendDateTime(out, SysSeconds{seconds{whole}});
  out.push_back('.');
  appendPadded(out, fraction * (1'000'000'000 / perSecond), 9);
  out.push_back('Z');
  return out;
}

// The UTC text of `t` with nine fractional digits. The split into seconds
// and fraction is done on the tick count: converting whole seconds back to
// nanoseconds would overflow near the ends of what nanoseconds can hold.
template <class Duration>
std::string formatWithFraction(sys_time<Duration> t) {
  static_assert(Duration::period::num == 1 && 1'000'000'000 % Duration::period::den == 0);
  constexpr long long kPerSecond = Duration::period::den;
  const long long ticks = t.time_since_epoch().count();
  long long whole = ticks / kPerSecond;
  long long fraction = ticks % kPerSecond;
  if (fraction < 0) {  // before 1970: count the fraction forward from the second before
    fraction += kPerSecond;
    --whole;
  }
  return withFraction(whole, fraction, kPerSecond);
}

}  // namespace

std::string formatInternetDateTimeNanos(std::int64_t secondsSinceEpoch, std::int64_t nanoseconds) {
  return withFraction(secondsSinceEpoch, nanoseconds, 1'000'000'000);
}

std::optional<SysSeconds> parseInternetDateTime(std::string_view text) {
  if (text.size() != kDateTimeLength + 1 && text.size() != kDateTimeLength + kOffsetLength) {
    return std::nullopt;
  }
  if (text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':') {
    return std::nullopt;
  }
  const auto y = digits(text, 0, 4), mo = digits(text, 5, 2), d = digits(text, 8, 2);
  const auto h = digits(text, 11, 2), mi = digits(text, 14, 2), s = digits(text, 17, 2);
  if (!y || !mo || !d || !h || !mi || !s) return std::nullopt;
  const year_month_day date{year{*y}, month{static_cast<unsigned>(*mo)},
                            day{static_cast<unsigned>(*d)}};
  // A leap second (":60") names no instant that sys_seconds can hold.
  if (!date.ok() || *h > 23 || *mi > 59 || *s > 59) return std::nullopt;

  minutes offset{0};
  const char zone = text[kDateTimeLength];
  if (zone == 'Z') {
    if (text.size() != kDateTimeLength + 1) return std::nullopt;
  } else if (zone == '+' || zone == '-') {
    if (text.size() != kDateTimeLength + kOffsetLength || text[22] != ':') return std::nullopt;
    const auto oh = digits(text, 20, 2), om = digits(text, 23, 2);
    if (!oh || !om || *oh > 23 || *om > 59) return std::nullopt;
    offset = hours{*oh} + minutes{*om};
    if (zone == '-') offset = -offset;
  } else {
    return std::nullopt;
  }
  // The text is local time at `offset` east of UTC.
  const SysSeconds instant = sys_days{date} + hours{*h} + minutes{*mi} + seconds{*s} - offset;
  if (instant < kFirstWritable || instant > kLastWritable) return std::nullopt;
  return instant;
}

std::optional<SysNanoseconds> parseInternetDateTimeNanos(std::string_view text) {
  if (text.size() <= kDateTimeLength || text[kDateTimeLength] != '.') {
    const auto whole = parseInternetDateTime(text);
    if (!whole) return std::nullopt;
    return SysNanoseconds(*whole);
  }
  std::size_t end = kDateTimeLength + 1;
  std::int64_t nanoseconds = 0;
  int kept = 0;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
    if (kept < 9) {
      nanoseconds = nanoseconds * 10 + (text[end] - '0');
      ++kept;
    }
    ++end;
  }
  if (kept == 0) return std::nullopt;
  for (; kept < 9; ++kept) nanoseconds *= 10;
  std::string whole(text.substr(0, kDateTimeLength));
  whole.append(text.substr(end));
  const auto instant = parseInternetDateTime(whole);
  if (!instant) return std::nullopt;
  return SysNanoseconds(*instant) + std::chrono::nanoseconds(nanoseconds);
}

std::string formatInternetDateTime(SysSeconds t) {
  std::string out;
  out.reserve(kDateTimeLength + 1);
  appendDateTime(out, std::clamp(t, kFirstWritable, kLastWritable));
  out.push_back('Z');
  return out;
}

std::string formatInternetDateTimeNanos(SysNanoseconds t) { return formatWithFraction(t); }

std::string formatInternetDateTimeNanos(std::chrono::sys_time<std::chrono::microseconds> t) {
  return formatWithFraction(t);
}

}  // namespace corvane::platform
