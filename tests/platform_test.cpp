// Tests of the platform stand-ins: dispatch queues, Unicode, Internet
// date-times, folders, UUIDs and uniform types.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/folders.h"
#include "platform/iso8601.h"
#include "platform/queue.h"
#include "platform/unicode.h"
#include "platform/uniform_types.h"
#include "platform/uuid.h"
#include "support/test_env.h"

namespace corvane::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace std::chrono_literals;

// ---- GlobalQueue ----

// Shared with bodies by shared_ptr so a failing test never leaves a detached
// worker pointing into a dead stack frame.
struct Tally {
  std::mutex mutex;
  std::condition_variable changed;
  int started = 0;
  int finished = 0;
  bool released = false;

  bool waitFinished(int count, milliseconds limit) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, limit, [&] { return finished >= count; });
  }
  void finish() {
    std::lock_guard lock(mutex);
    ++finished;
    changed.notify_all();
  }
};

TEST(GlobalQueueTest, AllBlockedBodiesRunAtTheSameTime) {
  // Every body waits until all of them have started: only a pool that starts a
  // thread whenever none is idle can get them all going.
  constexpr int kBodies = 64;
  auto tally = std::make_shared<Tally>();
  for (int i = 0; i < kBodies; ++i) {
    GlobalQueue::userInitiated().async([tally] {
      {
        std::unique_lock lock(tally->mutex);
        ++tally->started;
        tally->changed.notify_all();
        tally->changed.wait_for(lock, 30s,
                                [&] { return tally->released || tally->started == kBodies; });
      }
      tally->finish();
    });
  }
  bool allStarted;
  {
    std::unique_lock lock(tally->mutex);
    allStarted = tally->changed.wait_for(lock, 20s, [&] { return tally->started == kBodies; });
    tally->released = true;
    tally->changed.notify_all();
  }
  EXPECT_TRUE(allStarted) << "bodies running together: " << tally->started;
  EXPECT_TRUE(tally->waitFinished(kBodies, 40s));
  EXPECT_GE(GlobalQueue::userInitiated().threadCount(), 1u);
  EXPECT_LE(GlobalQueue::userInitiated().threadCount(), GlobalQueue::kMaxThreads);
}

TEST(GlobalQueueTest, SleepingBodiesFinishInAboutTheTimeOfOne) {
  // 64 bodies of 200 ms: 12.8 s one at a time, 6.4 s on two threads.
  constexpr int kBodies = 64;
  auto tally = std::make_shared<Tally>();
  const auto start = steady_clock::now();
  for (int i = 0; i < kBodies; ++i) {
    GlobalQueue::userInitiated().async([tally] {
      std::this_thread::sleep_for(200ms);
      tally->finish();
    });
  }
  ASSERT_TRUE(tally->waitFinished(kBodies, 30s));
  EXPECT_LT(steady_clock::now() - start, 2s);
}

TEST(GlobalQueueTest, IdleWorkerIsReusedInsteadOfStartingAnother) {
  auto first = std::make_shared<Tally>();
  GlobalQueue::userInitiated().async([first] { first->finish(); });
  ASSERT_TRUE(first->waitFinished(1, 10s));
  std::this_thread::sleep_for(100ms);  // let the worker go back to waiting
  const auto before = GlobalQueue::userInitiated().threadCount();
  ASSERT_GE(before, 1u);
  for (int i = 0; i < 10; ++i) {
    auto tally = std::make_shared<Tally>();
    GlobalQueue::userInitiated().async([tally] { tally->finish(); });
    ASSERT_TRUE(tally->waitFinished(1, 10s));
    std::this_thread::sleep_for(20ms);
  }
  // Idle workers may retire meanwhile, so the count can only have gone down.
  EXPECT_LE(GlobalQueue::userInitiated().threadCount(), before);
}

TEST(GlobalQueueTest, ThrowingBodyIsDroppedAndTheQueueGoesOn) {
  auto tally = std::make_shared<Tally>();
  for (int i = 0; i < 3; ++i) {
    GlobalQueue::userInitiated().async([] { throw std::runtime_error("body failed"); });
  }
  for (int i = 0; i < 3; ++i) {
    GlobalQueue::userInitiated().async([tally] { tally->finish(); });
  }
  EXPECT_TRUE(tally->waitFinished(3, 10s));
}

// ---- SerialQueue ----

TEST(SerialQueueTest, RunsItemsOneAtATimeInOrder) {
  std::vector<int> order;
  std::atomic<int> active{0};
  std::atomic<int> mostActive{0};
  SerialQueue queue;
  for (int i = 0; i < 200; ++i) {
    queue.async([&, i] {
      const int now = ++active;
      if (now > mostActive) mostActive = now;
      if (i % 20 == 0) std::this_thread::sleep_for(1ms);
      order.push_back(i);
      --active;
    });
  }
  std::vector<int> seen;
  queue.sync([&] { seen = order; });
  ASSERT_EQ(seen.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_EQ(mostActive.load(), 1);
}

TEST(SerialQueueTest, SyncReturnsOnlyAfterItsWorkRan) {
  SerialQueue queue;
  bool ran = false;
  queue.async([] { std::this_thread::sleep_for(50ms); });
  queue.sync([&] {
    std::this_thread::sleep_for(20ms);
    ran = true;
  });
  EXPECT_TRUE(ran);
}

TEST(SerialQueueTest, DestructorRunsEverythingQueued) {
  std::vector<int> order;
  {
    SerialQueue queue;
    for (int i = 0; i < 50; ++i) {
      queue.async([&order, i] {
        std::this_thread::sleep_for(200us);
        order.push_back(i);
      });
    }
  }
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
}

TEST(SerialQueueTest, ThrowingItemIsDroppedAndLaterItemsRun) {
  SerialQueue queue;
  queue.async([] { throw std::runtime_error("item failed"); });
  bool ran = false;
  queue.sync([] { throw std::logic_error("sync item failed"); });
  queue.sync([&] { ran = true; });
  EXPECT_TRUE(ran);
}

// ---- Unicode ----

struct EqualityCase {
  const char* name;
  std::string a;
  std::string b;
  bool equal;
};

TEST(UnicodeTest, CanonicalEquality) {
  using namespace std::string_literals;
  const EqualityCase cases[] = {
      {"NFC and NFD e-acute", "caf\xC3\xA9", "cafe\xCC\x81", true},
      {"same ASCII", "report.txt", "report.txt", true},
      {"different ASCII", "report.txt", "report.TXT", false},
      {"empty", "", "", true},
      {"empty and text", "", "a", false},
      {"Kelvin sign decomposes to ASCII K", "\xE2\x84\xAA", "K", true},
      {"combining marks in either order", "a\xCC\x81\xCC\xA3", "a\xCC\xA3\xCC\x81", true},
      {"Hangul syllable and its jamo", "\xEA\xB0\x80", "\xE1\x84\x80\xE1\x85\xA1", true},
      {"compatibility ligature is not canonical", "\xEF\xAC\x81", "fi", false},
      {"different accents", "\xC3\xA9", "\xC3\xA8", false},
      {"same invalid bytes", "a\xFF", "a\xFF", true},
      {"invalid bytes after equivalent text", "\xC3\xA9\xFF", "e\xCC\x81\xFF", false},
      {"invalid against valid", "\xFF", "\xEF\xBF\xBD", false},
      {"embedded NUL kept", "a\0b"s, "a\0c"s, false},
      {"embedded NUL with equivalent text", "\0\xC3\xA9"s, "\0e\xCC\x81"s, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(canonicallyEqual(c.a, c.b), c.equal) << c.name;
    EXPECT_EQ(canonicallyEqual(c.b, c.a), c.equal) << c.name << " (swapped)";
  }
}

TEST(UnicodeTest, LossyDecodingReplacesEachMaximalIllFormedSubpart) {
  using namespace std::string_literals;
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  const struct {
    const char* name;
    std::string bytes;
    std::string text;
  } cases[] = {
      {"empty", "", ""},
      {"ASCII", "hello", "hello"},
      {"valid multi-byte", "h\xC3\xA9llo \xE6\x97\xA5 \xF0\x9F\x98\x80",
       "h\xC3\xA9llo \xE6\x97\xA5 \xF0\x9F\x98\x80"},
      {"embedded NUL", "a\0b"s, "a\0b"s},
      {"stray continuation bytes", "a\x80\xBF!", "a" + r + r + "!"},
      {"lead bytes never valid", "\xC0\xC1\xF5\xFF", r + r + r + r},
      {"overlong two-byte form", "\xC0\xAF", r + r},
      {"overlong three-byte form", "\xE0\x80\xAF", r + r + r},
      {"surrogate", "\xED\xA0\x80", r + r + r},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", r + r + r + r},
      {"truncated at the end", "ab\xE6\x97", "ab" + r},
      {"truncated four-byte then ASCII", "\xF0\x9F\x98x", r + "x"},
      {"mixed sequence", "\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
       "a" + r + r + r + "b" + r + "c" + r + r + "d"},
      {"largest scalar kept", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
  };
  for (const auto& c : cases) EXPECT_EQ(decodeUTF8Lossy(c.bytes), c.text) << c.name;
}

// ---- Internet date-times ----

constexpr SysSeconds at(int y, unsigned mo, unsigned d, int h, int mi, int s) {
  return sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s};
}

TEST(InternetDateTimeTest, ParsesValidTexts) {
  const struct {
    const char* text;
    SysSeconds instant;
  } cases[] = {
      {"2026-12-08T20:12:53Z", at(2026, 12, 8, 20, 12, 53)},
      {"2026-12-08T21:12:53+01:00", at(2026, 12, 8, 20, 12, 53)},
      {"2026-12-08T14:42:53-05:30", at(2026, 12, 8, 20, 12, 53)},
      {"2026-12-08T20:12:53+00:00", at(2026, 12, 8, 20, 12, 53)},
      {"2026-12-08T20:12:53-00:00", at(2026, 12, 8, 20, 12, 53)},
      {"2026-01-01T00:30:00+01:00", at(2025, 12, 31, 23, 30, 0)},
      {"2024-02-29T00:00:00Z", at(2024, 2, 29, 0, 0, 0)},
      {"2000-02-29T12:00:00Z", at(2000, 2, 29, 12, 0, 0)},
      {"1970-01-01T00:00:00Z", SysSeconds{}},
      {"1969-12-31T23:59:59Z", SysSeconds{seconds{-1}}},
      {"2026-06-30T23:59:59+23:59", at(2026, 6, 30, 0, 0, 59)},
  };
  for (const auto& c : cases) {
    const auto parsed = parseInternetDateTime(c.text);
    ASSERT_TRUE(parsed.has_value()) << c.text;
    EXPECT_EQ(*parsed, c.instant) << c.text;
  }
}

TEST(InternetDateTimeTest, RejectsOtherForms) {
  // Lower-case "t" and "z" are refused: engines write the upper-case form, and
  // a strict parser keeps a mistyped value from passing as a time.
  const char* cases[] = {
      "",
      "2026-12-08 20:12:53Z",    // space instead of T
      "2026-12-08t20:12:53Z",    // lower-case t
      "2026-12-08T20:12:53z",    // lower-case z
      "2026-12-08T20:12:53.5Z",  // fractional seconds
      "2026-12-08T20:12:53.123+01:00",
      "2026-12-08T20:12:53",   // no zone
      "2026-12-08T20:12Z",     // no seconds
      "2026-12-08",            // date only
      "2026-02-30T00:00:00Z",  // no such day
      "2023-02-29T00:00:00Z",  // not a leap year
      "1900-02-29T00:00:00Z",  // century, not a leap year
      "2026-04-31T00:00:00Z",
      "2026-00-10T00:00:00Z",
      "2026-13-10T00:00:00Z",
      "2026-12-00T00:00:00Z",
      "2026-12-32T00:00:00Z",
      "2026-12-08T24:00:00Z",
      "2026-12-08T20:60:00Z",
      "2026-12-08T20:12:60Z",  // leap second
      "2026-12-08T20:12:53+0100",
      "2026-12-08T20:12:53+01",
      "2026-12-08T20:12:53+24:00",
      "2026-12-08T20:12:53+01:60",
      "2026-12-08T20:12:53 +01:00",
      "2026-12-08T20:12:53ZZ",
      "2026-12-08T20:12:53Z ",
      " 2026-12-08T20:12:53Z",
      "+2026-12-08T20:12:53Z",
      "26-12-08T20:12:53Z",
      "2026-12-8T20:12:53Z",
      "2026-1a-08T20:12:53Z",
      "2026/12/08T20:12:53Z",
      "2026-12-08T20-12-53Z",
      "20261208T201253Z",
      "2026-12-08T20:12:53Y",
      "2026-12-08T20:12:53+01:00Z",
  };
  for (const char* text : cases) {
    EXPECT_FALSE(parseInternetDateTime(text).has_value()) << '"' << text << '"';
  }
  // The length check must not be fooled by an embedded NUL.
  EXPECT_FALSE(parseInternetDateTime(std::string_view("2026-12-08T20:12:53Z\0", 21)));
}

// Only instants of the years 0001-9999 are accepted, judged after the offset
// is applied: a local year 0000 or 9999 may or may not be in range.
TEST(InternetDateTimeTest, KeepsToTheYearsThatCanBeWritten) {
  const struct {
    const char* text;
    std::optional<SysSeconds> instant;
  } cases[] = {
      {"0001-01-01T00:00:00Z", at(1, 1, 1, 0, 0, 0)},
      {"0001-01-01T00:00:00-00:00", at(1, 1, 1, 0, 0, 0)},
      {"0000-12-31T23:59:59Z", std::nullopt},
      {"0000-01-01T00:00:00Z", std::nullopt},
      {"0000-01-01T00:00:00+23:50", std::nullopt},
      {"0001-01-01T00:00:00+00:01", std::nullopt},  // pushed back into year 0
      {"0001-01-01T23:49:59+23:50", std::nullopt},
      {"0001-01-01T23:50:00+23:50", at(1, 1, 1, 0, 0, 0)},
      {"0000-12-31T23:00:00-01:00", at(1, 1, 1, 0, 0, 0)},  // pushed forward into year 1
      {"0000-12-31T22:59:59-01:00", std::nullopt},
      {"0000-12-31T00:10:00-23:50", at(1, 1, 1, 0, 0, 0)},
      {"9999-12-31T23:59:59Z", at(9999, 12, 31, 23, 59, 59)},
      {"9999-12-31T23:59:59+00:01", at(9999, 12, 31, 23, 58, 59)},
      {"9999-12-31T23:59:59-00:01", std::nullopt},  // pushed into year 10000
      {"9999-12-31T00:09:59-23:50", at(9999, 12, 31, 23, 59, 59)},
      {"9999-12-31T00:10:00-23:50", std::nullopt},
      {"9999-12-31T23:59:60Z", std::nullopt},  // leap second
  };
  for (const auto& c : cases) {
    const auto parsed = parseInternetDateTime(c.text);
    EXPECT_EQ(parsed, c.instant) << c.text;
    if (parsed) {
      EXPECT_EQ(parseInternetDateTime(formatInternetDateTime(*parsed)), parsed) << c.text;
    }
  }
}

TEST(InternetDateTimeTest, FormatsInUTCAndRoundTrips) {
  const struct {
    SysSeconds instant;
    const char* text;
  } cases[] = {
      {at(2026, 12, 8, 20, 12, 53), "2026-12-08T20:12:53Z"},
      {SysSeconds{}, "1970-01-01T00:00:00Z"},
      {SysSeconds{seconds{-1}}, "1969-12-31T23:59:59Z"},
      {at(2024, 2, 29, 9, 5, 7), "2024-02-29T09:05:07Z"},
      {at(1, 1, 1, 0, 0, 0), "0001-01-01T00:00:00Z"},
      {at(999, 3, 4, 5, 6, 7), "0999-03-04T05:06:07Z"},
      {at(9999, 12, 31, 23, 59, 59), "9999-12-31T23:59:59Z"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(formatInternetDateTime(c.instant), c.text);
    EXPECT_EQ(parseInternetDateTime(formatInternetDateTime(c.instant)), c.instant) << c.text;
  }
  // An offset text comes back in UTC.
  EXPECT_EQ(formatInternetDateTime(*parseInternetDateTime("2026-01-01T00:30:00+01:00")),
            "2025-12-31T23:30:00Z");
}

TEST(InternetDateTimeTest, FormatsNanoseconds) {
  const SysNanoseconds base{at(2026, 12, 8, 20, 12, 53)};
  EXPECT_EQ(formatInternetDateTimeNanos(base + 123456789ns), "2026-12-08T20:12:53.123456789Z");
  EXPECT_EQ(formatInternetDateTimeNanos(base), "2026-12-08T20:12:53.000000000Z");
  EXPECT_EQ(formatInternetDateTimeNanos(base + 7ns), "2026-12-08T20:12:53.000000007Z");
  EXPECT_EQ(formatInternetDateTimeNanos(SysNanoseconds{-500ms}), "1969-12-31T23:59:59.500000000Z");
  EXPECT_EQ(formatInternetDateTimeNanos(sys_time<microseconds>{-1us}),
            "1969-12-31T23:59:59.999999000Z");
  // The ends of what nanoseconds hold: the split into whole seconds must not
  // overflow on the way.
  EXPECT_EQ(formatInternetDateTimeNanos(SysNanoseconds::min()), "1677-09-21T00:12:43.145224192Z");
  EXPECT_EQ(formatInternetDateTimeNanos(SysNanoseconds::max()), "2262-04-11T23:47:16.854775807Z");
}

// Instants outside the years 0001-9999 are written as the nearest end of
// those years, so a written text always parses back.
// A time with a fraction, as a file system keeps it: read to the
// nanosecond (later digits cut off), written from seconds and nanoseconds.
TEST(InternetDateTimeTest, ReadsAndWritesFractionsToTheNanosecond) {
  using Nanos = SysNanoseconds;
  const Nanos base{sys_days{2001y / February / 3} + 4h + 5min + 6s};
  const struct {
    const char* text;
    std::optional<Nanos> instant;
  } read[] = {
      {"2001-02-03T04:05:06Z", base},
      {"2001-02-03T04:05:06.5Z", base + 500ms},
      {"2001-02-03T04:05:06.123456789Z", base + 123456789ns},
      {"2001-02-03T04:05:06.1234567891Z", base + 123456789ns},
      {"2001-02-03T05:05:06.25+01:00", base + 250ms},
      {"2001-02-03T04:05:06.Z", std::nullopt},
      {"2001-02-03T04:05:06,5Z", std::nullopt},
      {"2001-02-03T04:05:06.5", std::nullopt},
  };
  for (const auto& c : read) EXPECT_EQ(parseInternetDateTimeNanos(c.text), c.instant) << c.text;

  EXPECT_EQ(formatInternetDateTimeNanos(981173106, 123456789), "2001-02-03T04:05:06.123456789Z");
  EXPECT_EQ(formatInternetDateTimeNanos(-2, 500'000'000), "1969-12-31T23:59:58.500000000Z");
  EXPECT_EQ(formatInternetDateTimeNanos(INT64_MAX, 5), "9999-12-31T23:59:59.999999999Z");
  EXPECT_EQ(formatInternetDateTimeNanos(INT64_MIN, 5), "0001-01-01T00:00:00.000000000Z");
}

TEST(InternetDateTimeTest, WritesOnlyTextsThatParse) {
  const struct {
    SysSeconds instant;
    const char* text;
  } whole[] = {
      {at(0, 12, 31, 23, 59, 59), "0001-01-01T00:00:00Z"},
      {at(-1, 6, 1, 0, 0, 0), "0001-01-01T00:00:00Z"},
      {SysSeconds::min(), "0001-01-01T00:00:00Z"},
      {at(10000, 1, 1, 0, 0, 0), "9999-12-31T23:59:59Z"},
      {SysSeconds::max(), "9999-12-31T23:59:59Z"},
  };
  for (const auto& c : whole) {
    EXPECT_EQ(formatInternetDateTime(c.instant), c.text);
    EXPECT_TRUE(parseInternetDateTime(formatInternetDateTime(c.instant))) << c.text;
  }
  const struct {
    sys_time<microseconds> instant;
    const char* text;
  } fractional[] = {
      {sys_time<microseconds>{at(0, 12, 31, 23, 59, 59)} + 1ms, "0001-01-01T00:00:00.000000000Z"},
      {sys_time<microseconds>::min(), "0001-01-01T00:00:00.000000000Z"},
      {sys_time<microseconds>{at(10000, 1, 1, 0, 0, 0)}, "9999-12-31T23:59:59.999999000Z"},
      {sys_time<microseconds>::max(), "9999-12-31T23:59:59.999999000Z"},
  };
  for (const auto& c : fractional) EXPECT_EQ(formatInternetDateTimeNanos(c.instant), c.text);
}

// ---- Folders ----

// Sets or removes one environment variable for the scope and puts it back after.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedVariable() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(FoldersTest, DataAndCacheFoldersFollowTheEnvironment) {
  using Maybe = std::optional<std::string>;
  const struct {
    const char* name;
    Maybe xdg;
    Maybe home;
    Maybe data;   // expected applicationSupportFolder()
    Maybe cache;  // expected cacheFolder()
  } cases[] = {
      {"XDG set", "/x", "/home/u", "/x/CorvaneSync", "/x/CorvaneSync"},
      {"XDG only", "/x", std::nullopt, "/x/CorvaneSync", "/x/CorvaneSync"},
      {"HOME only", std::nullopt, "/home/u", "/home/u/.local/share/CorvaneSync",
       "/home/u/.cache/CorvaneSync"},
      {"XDG empty", "", "/home/u", "/home/u/.local/share/CorvaneSync",
       "/home/u/.cache/CorvaneSync"},
      {"XDG relative is ignored", "rel", "/home/u", "/home/u/.local/share/CorvaneSync",
       "/home/u/.cache/CorvaneSync"},
      {"neither", std::nullopt, std::nullopt, std::nullopt, std::nullopt},
      {"both empty", "", "", std::nullopt, std::nullopt},
      {"XDG relative, no HOME", "rel", std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    ScopedVariable home("HOME", c.home);
    ScopedVariable data("XDG_DATA_HOME", c.xdg);
    ScopedVariable cache("XDG_CACHE_HOME", c.xdg);
    const auto toText = [](const std::optional<fs::path>& p) -> Maybe {
      return p ? Maybe(p->string()) : std::nullopt;
    };
    EXPECT_EQ(toText(applicationSupportFolder()), c.data) << c.name;
    EXPECT_EQ(toText(cacheFolder()), c.cache) << c.name;
  }
}

TEST(FoldersTest, TemporaryFolderIsTMPDIRAsGiven) {
  testing::TestEnvironment env;
  EXPECT_EQ(temporaryFolder(), env.tmp());
  // Taken as given: neither created nor checked.
  const fs::path missing = env.root() / "not-there";
  ScopedVariable tmpdir("TMPDIR", missing.string());
  EXPECT_EQ(temporaryFolder(), missing);
  EXPECT_FALSE(fs::exists(missing));
}

TEST(FoldersTest, TemporaryFolderWithoutTMPDIRIsPrivatePerUser) {
  const fs::path expected = "/tmp/corvane-" + std::to_string(::geteuid());
  const bool existed = fs::exists(fs::symlink_status(expected));
  for (const std::optional<std::string>& value :
       {std::optional<std::string>(""), std::optional<std::string>()}) {
    ScopedVariable tmpdir("TMPDIR", value);
    EXPECT_EQ(temporaryFolder(), expected);
  }
  struct stat st {};
  ASSERT_EQ(::lstat(expected.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(st.st_uid, ::geteuid());
  if (!existed) ::rmdir(expected.c_str());  // fails harmlessly if something is in it now
}

mode_t modeOf(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

// Expects ensurePrivateFolder to refuse `folder` with `error`.
void expectRefused(const fs::path& folder, int error) {
  try {
    ensurePrivateFolder(folder);
    ADD_FAILURE() << "accepted " << folder;
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(e.code(), std::error_code(error, std::generic_category())) << e.what();
    EXPECT_EQ(e.path1(), folder);
  }
}

class PrivateFolderTest : public ::testing::Test {
 protected:
  testing::TestEnvironment env_;
  fs::path folder_ = env_.root() / "private";
};

TEST_F(PrivateFolderTest, CreatedWithMode0700WhateverTheUmask) {
  for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{077}, mode_t{0277}}) {
    const mode_t old = ::umask(mask);
    ensurePrivateFolder(folder_);
    ::umask(old);
    EXPECT_EQ(modeOf(folder_), 0700u) << "umask " << mask;
    fs::remove(folder_);
  }
}

TEST_F(PrivateFolderTest, ExistingFolderIsNarrowedTo0700) {
  fs::create_directory(folder_);
  fs::permissions(folder_, fs::perms(0777));
  fs::path inside = folder_ / "kept";
  fs::create_directory(inside);
  ensurePrivateFolder(folder_);
  EXPECT_EQ(modeOf(folder_), 0700u);
  EXPECT_TRUE(fs::is_directory(inside));
}

TEST_F(PrivateFolderTest, SymbolicLinkIsRefusedAndItsTargetLeftAlone) {
  const fs::path target = env_.root() / "target";
  fs::create_directory(target);
  fs::permissions(target, fs::perms(0755));
  fs::create_directory_symlink(target, folder_);
  expectRefused(folder_, ELOOP);
  EXPECT_EQ(modeOf(target), 0755u);
}

TEST_F(PrivateFolderTest, DanglingSymbolicLinkIsRefused) {
  fs::create_symlink(env_.root() / "nowhere", folder_);
  expectRefused(folder_, ELOOP);
  EXPECT_FALSE(fs::exists(env_.root() / "nowhere"));
}

TEST_F(PrivateFolderTest, FileIsRefused) {
  std::ofstream(folder_) << "x";
  expectRefused(folder_, ENOTDIR);
}

TEST_F(PrivateFolderTest, AnotherUsersFolderIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a folder away";
  fs::create_directory(folder_);
  fs::permissions(folder_, fs::perms(0755));
  ASSERT_EQ(::chown(folder_.c_str(), 65534, 65534), 0);
  expectRefused(folder_, EPERM);
  EXPECT_EQ(modeOf(folder_), 0755u);
}

TEST_F(PrivateFolderTest, MissingParentIsAnError) {
  expectRefused(env_.root() / "no" / "parent", ENOENT);
}

TEST(ApplicationSupportFolderTest, MadePrivateWithTheFoldersAboveIt) {
  testing::TestEnvironment env;
  ScopedVariable data("XDG_DATA_HOME", std::nullopt);
  ScopedVariable home("HOME", (env.root() / "home").string());
  for (const mode_t mask : {mode_t{022}, mode_t{0277}}) {
    const mode_t old = ::umask(mask);
    const auto folder = makeApplicationSupportFolder();
    ::umask(old);
    ASSERT_TRUE(folder);
    EXPECT_EQ(*folder, env.root() / "home" / ".local" / "share" / "CorvaneSync");
    EXPECT_EQ(modeOf(*folder), 0700u) << "umask " << mask;
    fs::remove_all(env.root() / "home" / ".local");
  }
  const mode_t old = ::umask(022);
  makeApplicationSupportFolder();
  ::umask(old);
  EXPECT_EQ(modeOf(env.root() / "home" / ".local"), 0700u) << "a missing base folder is private";
  EXPECT_EQ(modeOf(env.root() / "home" / ".local" / "share"), 0700u);
}

TEST(ApplicationSupportFolderTest, AnExistingFolderOfOursIsNarrowed) {
  testing::TestEnvironment env;  // makes CorvaneSync under the umask, as earlier versions did
  fs::permissions(env.applicationSupport(), fs::perms(0755));
  std::ofstream(env.applicationSupport() / "engine.json") << "{}";
  EXPECT_EQ(makeApplicationSupportFolder(), env.applicationSupport());
  EXPECT_EQ(modeOf(env.applicationSupport()), 0700u);
  EXPECT_TRUE(fs::exists(env.applicationSupport() / "engine.json"));
}

TEST(ApplicationSupportFolderTest, ALinkInItsPlaceIsTheUsersAndLeftAlone) {
  testing::TestEnvironment env;
  const fs::path target = env.root() / "elsewhere";
  fs::create_directory(target);
  fs::permissions(target, fs::perms(0750));
  fs::remove(env.applicationSupport());
  fs::create_directory_symlink(target, env.applicationSupport());
  EXPECT_EQ(makeApplicationSupportFolder(), env.applicationSupport());
  EXPECT_EQ(modeOf(target), 0750u);

  fs::remove(env.applicationSupport());
  std::ofstream(env.applicationSupport()) << "a file in the way";
  EXPECT_THROW(makeApplicationSupportFolder(), fs::filesystem_error);
}

TEST(FoldersTest, HostTemporaryFolderIsCreatedPerDomain) {
  testing::TestEnvironment env;
  const fs::path folder = hostTemporaryFolder("Work Files");
  EXPECT_EQ(folder, env.cacheHome() / "CorvaneSync" / "Work Files" / "tmp");
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_EQ(hostTemporaryFolder("Work Files"), folder);  // already there is fine

  ScopedVariable cache("XDG_CACHE_HOME", std::nullopt);
  ScopedVariable home("HOME", (env.root() / "home").string());
  EXPECT_EQ(hostTemporaryFolder("d"), env.root() / "home" / ".cache" / "CorvaneSync" / "d" / "tmp");
}

TEST(FoldersTest, HostTemporaryFolderRefusesDomainsThatEscape) {
  using namespace std::string_literals;
  testing::TestEnvironment env;
  for (const std::string& domain : {""s, "."s, ".."s, "a/b"s, "../x"s, "/abs"s, "a\0b"s}) {
    try {
      hostTemporaryFolder(domain);
      ADD_FAILURE() << "accepted domain \"" << domain << '"';
    } catch (const fs::filesystem_error& e) {
      EXPECT_EQ(e.code(), std::errc::invalid_argument) << e.what();
    }
  }
  EXPECT_FALSE(fs::exists(env.cacheHome() / "CorvaneSync"));
  EXPECT_FALSE(fs::exists(env.cacheHome() / "tmp"));
}

TEST(FoldersTest, HostTemporaryFolderNeedsCacheOrHome) {
  testing::TestEnvironment env;
  ScopedVariable cache("XDG_CACHE_HOME", std::nullopt);
  ScopedVariable home("HOME", std::nullopt);
  EXPECT_THROW(hostTemporaryFolder("d"), fs::filesystem_error);
}

// ---- UUIDs ----

TEST(UUIDTest, CanonicalUpperCaseRandomVersion) {
  const std::regex form("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string id = newUUID();
    ASSERT_EQ(id.size(), 36u) << id;
    ASSERT_TRUE(std::regex_match(id, form)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

// ---- Uniform types ----

TEST(UniformTypesTest, TypeForExtension) {
  const struct {
    const char* extension;
    const char* type;
  } cases[] = {
      {"jpg", "public.jpeg"},
      {"JPEG", "public.jpeg"},
      {"Png", "public.png"},
      {"gif", "com.compuserve.gif"},
      {"heic", "public.heic"},
      {"tif", "public.tiff"},
      {"tiff", "public.tiff"},
      {"pdf", "com.adobe.pdf"},
      {"txt", "public.plain-text"},
      {"md", "net.daringfireball.markdown"},
      {"htm", "public.html"},
      {"html", "public.html"},
      {"json", "public.json"},
      {"xml", "public.xml"},
      {"csv", "public.comma-separated-values-text"},
      {"zip", "public.zip-archive"},
      {"gz", "org.gnu.gnu-zip-archive"},
      {"tar", "public.tar-archive"},
      {"mp3", "public.mp3"},
      {"mp4", "public.mpeg-4"},
      {"MOV", "com.apple.quicktime-movie"},
      {"doc", "com.microsoft.word.doc"},
      {"docx", "org.openxmlformats.wordprocessingml.document"},
      {"xls", "com.microsoft.excel.xls"},
      {"xlsx", "org.openxmlformats.spreadsheetml.sheet"},
      {"ppt", "com.microsoft.powerpoint.ppt"},
      {"pptx", "org.openxmlformats.presentationml.presentation"},
      {"c", "public.c-source"},
      {"h", "public.c-header"},
      {"cpp", "public.c-plus-plus-source"},
      {"py", "public.python-script"},
      {"js", "com.netscape.javascript-source"},
      {"swift", "public.swift-source"},
      {"sh", "public.shell-script"},
      {"rtf", "public.rtf"},
      {"zzz", "public.data"},
      {"", "public.data"},
      {".jpg", "public.data"},
      {"jpg ", "public.data"},
      {"7z", "org.7-zip.7-zip-archive"},
      {"zip2", "public.data"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(typeForFilenameExtension(c.extension), c.type) << '"' << c.extension << '"';
  }
}

TEST(UniformTypesTest, PathExtension) {
  const struct {
    const char* name;
    const char* extension;
  } cases[] = {
      {"photo.jpg", "jpg"},
      {"Photo.JPG", "JPG"},
      {"archive.tar.gz", "gz"},
      {"README", ""},
      {"", ""},
      {".bashrc", ""},
      {".config.json", "json"},
      {"name.", ""},
      {".", ""},
      {"..", ""},
      {"folder/photo.png", "png"},
      {"folder.d/README", ""},
      {"a b.c d", "c d"},
  };
  for (const auto& c : cases) EXPECT_EQ(pathExtension(c.name), c.extension) << c.name;
}

}  // namespace
}  // namespace corvane::platform
