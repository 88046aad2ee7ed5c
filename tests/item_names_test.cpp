// The one rule for item names and paths, and the names of conflict copies,
// which the engine and the mount both use.
#include "host/item_names.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <string>

#include "platform/unicode.h"

namespace corvane::host {
namespace {

using namespace std::chrono;
using Kind = NameVerdict::Kind;

// Conflict stamps are local time; the expectations are written in UTC.
class ConflictNameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  const system_clock::time_point when = sys_days{year{2024} / 5 / 1} + 12h + 3min + 9s;
  static constexpr std::string_view kStamp = " (conflict 2024-05-01 120309)";
};

TEST(PrefixAtCharacterTest, CutsAtACharacterBoundary) {
  const struct {
    std::string name;
    std::size_t bytes;
    std::string expected;
  } cases[] = {
      {"short", 10, "short"},
      {"exactly", 7, "exactly"},
      {"abcdef", 3, "abc"},
      {"a\xc3\xa9z", 2, "a"},           // would end inside the two-byte é
      {"a\xc3\xa9z", 3, "a\xc3\xa9"},
      {"\xe2\x82\xac\xe2\x82\xac", 4, "\xe2\x82\xac"},  // two euro signs
      {"abc", 0, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::prefixAtCharacter(c.name, c.bytes), c.expected) << c.name << " " << c.bytes;
  }
}

TEST_F(ConflictNameTest, StemAndExtensionAroundTheStamp) {
  const struct {
    std::string name;
    int counter;
    std::string expected;
  } cases[] = {
      {"report.pdf", 1, "report (conflict 2024-05-01 120309).pdf"},
      {"archive.tar.gz", 1, "archive.tar (conflict 2024-05-01 120309).gz"},
      {"README", 1, "README (conflict 2024-05-01 120309)"},
      {".bashrc", 1, ".bashrc (conflict 2024-05-01 120309)"},
      {"a.txt", 2, "a (conflict 2024-05-01 120309 2).txt"},
      {"notes.md", 9999, "notes (conflict 2024-05-01 120309 9999).md"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(conflictName(c.name, when, c.counter, kMaxNameBytes, ""), c.expected) << c.name;
  }
}

TEST_F(ConflictNameTest, ACopyOfA250ByteNameFitsAndIsCutAtACharacter) {
  // Two bytes a character after one of one byte: the stem's room ends
  // inside a character, so a cut in the wrong place leaves half of one.
  std::string name = "x";
  for (int i = 0; i < 122; ++i) name += "\xc3\xa9";
  name += "y.txt";
  ASSERT_EQ(name.size(), 250u);

  const std::string copy = conflictName(name, when, 1, kMaxNameBytes, "");
  EXPECT_LE(copy.size(), kMaxNameBytes);
  EXPECT_TRUE(platform::isValidUTF8(copy)) << "cut inside a character";
  EXPECT_TRUE(copy.ends_with(std::string(kStamp) + ".txt")) << copy;
  const std::string stem = copy.substr(0, copy.size() - kStamp.size() - 4);
  EXPECT_TRUE(name.starts_with(stem)) << "the stem is the name's start";
  EXPECT_GE(stem.size(), kMaxNameBytes - kStamp.size() - 4 - 1) << "no more is cut than needed";
  EXPECT_TRUE(checkItemName(copy).ok()) << checkItemName(copy).message;
}

TEST_F(ConflictNameTest, LongNamesGiveWayToTheStamp) {
  const struct {
    std::string name;
    std::string keptExtension;
  } cases[] = {
      {std::string(255, 'n'), ""},         // the longest name, no extension
      {"x." + std::string(250, 'e'), ""},  // an "extension" with no room left for a stem
      {std::string(240, 's') + ".jpeg", ".jpeg"},
  };
  for (const auto& c : cases) {
    for (const int counter : {1, 2, 9999}) {
      const std::string copy = conflictName(c.name, when, counter, kMaxNameBytes, "");
      SCOPED_TRACE(copy);
      EXPECT_EQ(copy.size(), kMaxNameBytes) << "the stem gives way exactly";
      const std::size_t tag = copy.find(" (conflict ");
      ASSERT_NE(tag, std::string::npos);
      EXPECT_TRUE(c.name.starts_with(copy.substr(0, tag)));
      EXPECT_TRUE(copy.ends_with(")" + c.keptExtension));
    }
  }
}

TEST_F(ConflictNameTest, AnySmallerRoomIsRespected) {
  const std::string name = "quarterly report.xlsx";
  EXPECT_EQ(conflictName(name, when, 1, 60, ""), "quarterly report" + std::string(kStamp) + ".xlsx");
  EXPECT_EQ(conflictName(name, when, 1, 40, ""), "quarte" + std::string(kStamp) + ".xlsx");
  // Too little room for the extension: the name is cut as a whole.
  EXPECT_EQ(conflictName(name, when, 1, 33, ""), "quar" + std::string(kStamp));
  // No room even for the stamp: the stamp alone, and the caller refuses it.
  EXPECT_EQ(conflictName(name, when, 1, 10, ""), std::string(kStamp));
}

TEST_F(ConflictNameTest, TheMachineThatMadeTheCopyIsNamedBeforeTheStamp) {
  const struct {
    std::string name;
    int counter;
    std::string machine;
    std::string expected;
  } cases[] = {
      {"report.pdf", 1, "laptop", "report (conflict laptop 2024-05-01 120309).pdf"},
      {"a.txt", 3, "desk-2", "a (conflict desk-2 2024-05-01 120309 3).txt"},
      {".bashrc", 1, "x", ".bashrc (conflict x 2024-05-01 120309)"},
      {"README", 1, "", "README (conflict 2024-05-01 120309)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(conflictName(c.name, when, c.counter, kMaxNameBytes, c.machine), c.expected)
        << c.name;
  }
  // The machine's name takes room from the stem, never from the limit.
  const std::string copy = conflictName(std::string(255, 'n'), when, 1, kMaxNameBytes, "laptop");
  EXPECT_EQ(copy.size(), kMaxNameBytes);
  EXPECT_TRUE(copy.ends_with(" (conflict laptop 2024-05-01 120309)")) << copy;
}

TEST(MachineNameTest, OnlyAShortFirstLabelOfPlainCharactersIsKept) {
  const struct {
    std::string raw;
    std::string expected;
  } cases[] = {
      {"laptop", "laptop"},
      {"build-07.example.org", "build-07"},
      {"Anna's MacBook Pro", "AnnasMacBook"},  // cut to 12 bytes after dropping the rest
      {"d\xc3\xa9sk_1", "dsk_1"},
      {"averyveryverylongname", "averyveryver"},
      {".hidden", ""},
      {"", ""},
      {"(){}", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(machineNameOf(c.raw), c.expected) << c.raw;
}

TEST(MachineNameTest, TheEnvironmentNamesTheMachineOnce) {
  ::setenv("CORVANE_MACHINE_NAME", "studio.lan", 1);
  EXPECT_EQ(machineName(), "studio");
  ::setenv("CORVANE_MACHINE_NAME", "other", 1);
  EXPECT_EQ(machineName(), "studio") << "decided once for the process";
  ::unsetenv("CORVANE_MACHINE_NAME");
}

TEST_F(ConflictNameTest, CopyNamesAreReadBack) {
  const struct {
    std::string name;
    int counter;
    std::string machine;
  } cases[] = {
      {"report.pdf", 1, "laptop"}, {"archive.tar.gz", 2, "a"}, {".bashrc", 1, "desk"},
      {"README", 17, ""},          {"a (b).txt", 1, "x"},      {"notes.md", 1, ""},
  };
  for (const auto& c : cases) {
    const std::string copy = conflictName(c.name, when, c.counter, kMaxNameBytes, c.machine);
    SCOPED_TRACE(copy);
    const auto parsed = parseConflictName(copy);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->original, c.name);
    EXPECT_EQ(parsed->machine, c.machine);
    EXPECT_EQ(parsed->when, when);
    EXPECT_EQ(parsed->counter, c.counter);
  }
  for (const std::string other :
       {"report.pdf", "report (conflict).pdf", "report (conflict 2024-13-01 120309).pdf",
        "report (conflict laptop 2024-05-01 1203).pdf", "(conflict 2024-05-01 120309)",
        "r (conflict 2024-05-01 120309 1).txt", "r (conflict lap top 2024-05-01 120309).txt",
        "r (conflict 2024-05-01 120309).tar.gz"}) {
    EXPECT_FALSE(parseConflictName(other).has_value()) << other;
  }
}

TEST(ItemNameRuleTest, Names) {
  const struct {
    std::string name;
    Kind kind;
  } cases[] = {
      {"report.pdf", Kind::ok},
      {".corvane-part-notes.txt", Kind::ok},
      {"\xc3\xa9t\xc3\xa9", Kind::ok},
      {std::string(255, 'n'), Kind::ok},
      {std::string(256, 'n'), Kind::tooLong},
      {"", Kind::invalid},
      {".", Kind::invalid},
      {"..", Kind::invalid},
      {"...", Kind::ok},
      {"a/b", Kind::invalid},
      {std::string("a\0b", 3), Kind::invalid},
      {"a\\b", Kind::invalid},
      {"\xc3", Kind::invalid},          // a sequence cut short
      {"\xed\xa0\x80", Kind::invalid},  // a surrogate
      {"\xc0\xaf", Kind::invalid},      // an overlong "/"
  };
  for (const auto& c : cases) {
    const NameVerdict verdict = checkItemName(c.name);
    EXPECT_EQ(verdict.kind, c.kind) << ::testing::PrintToString(c.name);
    EXPECT_EQ(verdict.message.empty(), c.kind == Kind::ok) << verdict.message;
  }
}

TEST(ItemNameRuleTest, Paths) {
  std::string longest;  // exactly the limit, of short names
  while (longest.size() < kMaxPathBytes) longest += "d/";
  longest.back() = 'f';
  ASSERT_EQ(longest.size(), kMaxPathBytes);
  const struct {
    std::string path;
    Kind kind;
    std::string says;  // a part of the message
  } cases[] = {
      {"", Kind::ok, ""},
      {"a/b/c.txt", Kind::ok, ""},
      {longest, Kind::ok, ""},
      {longest + "x", Kind::tooLong, "1025 bytes long, more than the 1024"},
      {std::string(63'000'000, 'a'), Kind::tooLong, "63000000 bytes long"},
      {"a/" + std::string(256, 'n'), Kind::tooLong, "a name of 256 bytes"},
      {"/a", Kind::invalid, "begins with \"/\""},
      {"a//b", Kind::invalid, "empty name"},
      {"a/", Kind::invalid, "empty name"},
      {"a/../b", Kind::invalid, "\"..\" name"},
      {"./a", Kind::invalid, "\".\" or"},
      {std::string("a/b\0c", 5), Kind::invalid, "holds a NUL character"},
      {"a\\b/c", Kind::invalid, "holds a backslash"},
      {"a/\xff", Kind::invalid, "not valid UTF-8"},
  };
  for (const auto& c : cases) {
    const NameVerdict verdict = checkItemPath(c.path);
    SCOPED_TRACE(c.path.substr(0, 40));
    EXPECT_EQ(verdict.kind, c.kind);
    EXPECT_NE(verdict.message.find(c.says), std::string::npos) << verdict.message;
    EXPECT_LT(verdict.message.size(), 200u) << "the verdict never repeats the input";
  }
}

TEST(ItemNameRuleTest, RoomForANameInAFolder) {
  EXPECT_EQ(nameRoomIn(""), kMaxNameBytes);
  EXPECT_EQ(nameRoomIn("docs"), kMaxNameBytes);
  EXPECT_EQ(nameRoomIn(std::string(900, 'd')), kMaxPathBytes - 901);
  EXPECT_EQ(nameRoomIn(std::string(1023, 'd')), 0u);
  EXPECT_EQ(nameRoomIn(std::string(5000, 'd')), 0u);
  // Whatever the room says fits, fits the path limit.
  std::string folder = "d";
  while (folder.size() < 1000) folder += "/dddd";
  EXPECT_TRUE(checkItemPath(folder + "/" + std::string(nameRoomIn(folder), 'n')).ok());
  EXPECT_FALSE(checkItemPath(folder + "/" + std::string(nameRoomIn(folder) + 1, 'n')).ok());
}

}  // namespace
}  // namespace corvane::host
