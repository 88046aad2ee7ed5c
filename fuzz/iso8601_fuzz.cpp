// Fuzzes the internet date-time parser and the wire timestamp rule, with
// round trips through the formatters.
//
// Invariants checked for every input:
// - an accepted text names an instant of the years 0001-9999, and that
//   instant's UTC text parses back to it;
// - the wire rule agrees with the parser on every text the parser accepts,
//   and what it accepts is whole seconds of those years that survive being
//   written with nine fractional digits;
// - any instant (taken from the input's first bytes), with or without a
//   fraction, is written as a text that parses back to its whole seconds,
//   kept to those years.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "engine/decoding.h"
#include "engine/records.h"
#include "fuzz_check.h"
#include "platform/iso8601.h"

namespace {

using namespace corvane;
using namespace corvane::platform;
using namespace std::chrono;

constexpr SysSeconds kFirst = sys_days{year{1} / January / 1};
constexpr SysSeconds kLast = sys_days{year{9999} / December / 31} + days{1} - seconds{1};

bool writable(SysSeconds t) { return t >= kFirst && t <= kLast; }

void checkText(std::string_view text) {
  if (const std::optional<SysSeconds> t = parseInternetDateTime(text)) {
    FUZZ_CHECK(writable(*t));
    FUZZ_CHECK(parseInternetDateTime(formatInternetDateTime(*t)) == t);
    FUZZ_CHECK(parseWireTimestamp(text) == Timestamp(*t));
  }
  if (const std::optional<Timestamp> w = parseWireTimestamp(text)) {
    const SysSeconds whole = floor<seconds>(*w);
    FUZZ_CHECK(Timestamp(whole) == *w);
    FUZZ_CHECK(writable(whole));
    FUZZ_CHECK(parseWireTimestamp(formatInternetDateTimeNanos(*w)) == w);
  }
}

long long floorDiv(long long ticks, long long perSecond) {
  return ticks / perSecond - (ticks % perSecond < 0 ? 1 : 0);
}

// `raw` taken as seconds, microseconds and nanoseconds since 1970, and as an
// instant of the writable years to the microsecond. What is written parses
// back to its whole seconds, kept to the writable years.
void checkInstant(std::int64_t raw) {
  const SysSeconds s{seconds{raw}};
  FUZZ_CHECK(parseInternetDateTime(formatInternetDateTime(s)) == std::clamp(s, kFirst, kLast));

  const Timestamp micro{microseconds{raw}};
  const SysSeconds microWhole{seconds{floorDiv(raw, 1'000'000)}};
  FUZZ_CHECK(parseWireTimestamp(formatInternetDateTimeNanos(micro)) ==
             Timestamp(std::clamp(microWhole, kFirst, kLast)));

  const auto span = duration_cast<microseconds>(kLast - kFirst + seconds{1}).count();
  const auto offset = static_cast<std::int64_t>(static_cast<std::uint64_t>(raw) % span);
  const Timestamp inRange = Timestamp(kFirst) + microseconds{offset};
  FUZZ_CHECK(parseWireTimestamp(formatInternetDateTimeNanos(inRange)) ==
             Timestamp(floor<seconds>(inRange)));

  // Nanoseconds reach only 1677-2262, all of it writable.
  const SysNanoseconds nano{nanoseconds{raw}};
  const SysSeconds nanoWhole{seconds{floorDiv(raw, 1'000'000'000)}};
  FUZZ_CHECK(parseWireTimestamp(formatInternetDateTimeNanos(nano)) == Timestamp(nanoWhole));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  checkText(std::string_view(reinterpret_cast<const char*>(data), size));
  if (size >= sizeof(std::int64_t)) {
    std::int64_t raw;
    std::memcpy(&raw, data, sizeof raw);
    checkInstant(raw);
  }
  return 0;
}
