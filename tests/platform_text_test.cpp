// Text helpers of the platform layer: hex digits, percent-encoding and the
// quoting of a user's input.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/byte_count.h"
#include "platform/percent_encoding.h"
#include "platform/quoted_text.h"
#include "platform/unicode.h"

namespace corvane::platform {
namespace {

TEST(PercentEncodingTest, KeepsLettersDigitsAndTheNamedCharactersOnly) {
  const struct {
    std::string text;
    std::string keep;
    std::string expected;
  } cases[] = {
      {"AZaz09", "", "AZaz09"},
      {"a/b.c-d_e~f", "-._~/", "a/b.c-d_e~f"},
      {"a/b.c-d_e~f", "._-", "a%2Fb.c-d_e%7Ef"},
      {"a b+c&d=e#f%g?h", "-._~/", "a%20b%2Bc%26d%3De%23f%25g%3Fh"},
      {"\xc3\xa9", "-._~/", "%C3%A9"},
      {std::string("\0\x7f\xff", 3), "", "%00%7F%FF"},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(percentEncoded(c.text, c.keep), c.expected) << c.text << " keeping " << c.keep;
  }
  // A non-ASCII byte is never kept, even when the kept set names it.
  EXPECT_EQ(percentEncoded("\xc3", "\xc3"), "%C3");
}

TEST(PercentEncodingTest, HexDigitValues) {
  EXPECT_EQ(hexDigitValue('0'), 0);
  EXPECT_EQ(hexDigitValue('9'), 9);
  EXPECT_EQ(hexDigitValue('a'), 10);
  EXPECT_EQ(hexDigitValue('F'), 15);
  for (const char c : {'g', 'G', '/', ':', '@', '`', ' ', '\0'}) {
    EXPECT_EQ(hexDigitValue(c), -1) << static_cast<int>(c);
  }
}

TEST(QuotedTextTest, ShortInputIsQuotedWhole) {
  EXPECT_EQ(quotedInput("a/b.txt"), "\"a/b.txt\"");
  EXPECT_EQ(quotedInput(""), "\"\"");
  const std::string limit(kQuotedInputLimit, 'x');
  EXPECT_EQ(quotedInput(limit), "\"" + limit + "\"");
  EXPECT_EQ(shortenedInput(limit), limit);
}

TEST(QuotedTextTest, LongInputIsCutAndMarked) {
  const std::string huge(63'000'000, 'p');
  const std::string q = quotedInput(huge);
  EXPECT_EQ(q, "\"" + huge.substr(0, kQuotedInputLimit) + "...\" (1024 of 63000000 bytes shown)");
  EXPECT_EQ(shortenedInput(huge),
            huge.substr(0, kQuotedInputLimit) + "... (1024 of 63000000 bytes shown)");
  EXPECT_EQ(shortenedInput(std::string(kQuotedInputLimit + 1, 'p')),
            std::string(kQuotedInputLimit, 'p') + "... (1024 of 1025 bytes shown)");
}

TEST(QuotedTextTest, ACutNeverSplitsACharacter) {
  // One byte, then characters of two: byte 1024 is the second of a pair.
  std::string text = "x";
  while (text.size() < 2000) text += "\xc3\xa9";
  const std::string cut = shortenedInput(text);
  EXPECT_TRUE(cut.starts_with(text.substr(0, 1023) + "..."));
  EXPECT_TRUE(cut.ends_with("(1023 of " + std::to_string(text.size()) + " bytes shown)")) << cut;
  EXPECT_TRUE(isValidUTF8(cut));
}

TEST(ByteCountTextTest, ShowsBytesInTheLargestUnitThatStaysBelow1024) {
  const std::vector<std::pair<std::uint64_t, std::string>> cases = {
      {0, "0 B"},
      {1023, "1023 B"},
      {1024, "1.0 KiB"},
      {1536, "1.5 KiB"},
      {1048524, "1023.9 KiB"},
      {1048525, "1.0 MiB"},  // 1023.95 KiB would read as "1024.0 KiB"
      {5'000'000, "4.8 MiB"},
      {512ull << 20, "512.0 MiB"},
      {(1ull << 30) + (1ull << 29), "1.5 GiB"},
      {10ull << 30, "10.0 GiB"},
      {5ull << 40, "5.0 TiB"},
      {~0ull, "16.0 EiB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(byteCountText(bytes), text) << bytes;
}

}  // namespace
}  // namespace corvane::platform
