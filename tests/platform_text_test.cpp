// Text helpers of the platform layer: hex digits and percent-encoding.
#include <gtest/gtest.h>

#include <string>

#include "platform/percent_encoding.h"

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

}  // namespace
}  // namespace corvane::platform
