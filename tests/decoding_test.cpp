// Strict decoding of the engine's answers, the wire timestamp rule, and the
// JSON text that our engines write (checked by decoding it again).
#include "engine/decoding.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <simdjson.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/json_text.h"

namespace corvane {
namespace {

using namespace std::chrono;
using Kind = DecodingError::Kind;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// 2024-05-01T10:00:00Z
const Timestamp kMay1 = Timestamp(sys_days{2024y / May / 1} + 10h);

struct Failure {
  Kind kind;
  std::vector<std::string> codingPath;
  std::string description;
};

// Runs `decodeIt` and returns the DecodingError it throws; fails the test
// when it throws nothing or something else.
template <class F>
std::optional<Failure> failureOf(F decodeIt) {
  try {
    decodeIt();
  } catch (const DecodingError& e) {
    return Failure{e.kind(), e.codingPath(), e.description()};
  }
  ADD_FAILURE() << "decoding succeeded";
  return std::nullopt;
}

// An entry's JSON text with some values replaced: a key mapped to nullopt is
// left out, any other value is inserted as raw JSON.
std::string entryJson(const std::map<std::string, std::optional<std::string>>& replaced = {}) {
  const std::vector<std::pair<std::string, std::string>> fields = {
      {"path", R"("docs/a.txt")"}, {"name", R"("a.txt")"},
      {"dir", "false"},            {"size", "42"},
      {"mod_time", R"("2024-05-01T10:00:00Z")"}, {"version", R"("v1")"}};
  JsonObjectWriter w;
  for (const auto& [key, value] : fields) {
    auto it = replaced.find(key);
    if (it == replaced.end()) {
      w.addRaw(key, value);
    } else if (it->second) {
      w.addRaw(key, *it->second);
    }
  }
  for (const auto& [key, value] : replaced) {
    bool known = false;
    for (const auto& field : fields) known = known || field.first == key;
    if (!known && value) w.addRaw(key, *value);
  }
  return std::move(w).str();
}

const Entry kEntry{"docs/a.txt", "a.txt", false, 42, kMay1, "v1"};

// --- Wire timestamp rule -------------------------------------------------

TEST(WireTimestamp, ParsesInternetDateTimesAndDropsFractions) {
  struct Case {
    std::string text;
    std::optional<Timestamp> expected;
  };
  const std::vector<Case> cases = {
      {"2024-05-01T10:00:00Z", kMay1},
      // The fraction is dropped, not rounded.
      {"2024-05-01T10:00:00.999999999Z", kMay1},
      {"2024-05-01T10:00:00.5Z", kMay1},
      {"2024-05-01T10:00:00.123456789012Z", kMay1},
      // An offset is applied: 11:00 at +01:00 is 10:00 UTC.
      {"2024-05-01T11:00:00+01:00", kMay1},
      {"2024-05-01T11:00:00.25+01:00", kMay1},
      {"2024-05-01T08:30:00-01:30", kMay1},
      // Every ".digits" is removed wherever it stands.
      {"2024-05-01T10:00.75:00Z", kMay1},
      {"2024-05-01T10:00:00.1.2Z", kMay1},
      {"2024-05-01 10:00:00Z", std::nullopt},
      {"2024-05-01T10:00:00", std::nullopt},
      {"2024-05-01T10:00:00.Z", std::nullopt},  // a lone full stop stays
      // Instants outside the years 0001-9999, once the offset is applied.
      {"0000-01-01T00:00:00+23:50", std::nullopt},
      {"0000-06-01T00:00:00.5Z", std::nullopt},
      {"9999-12-31T23:59:59.999-00:01", std::nullopt},
      {"0000-12-31T23:00:00.5-01:00", Timestamp(sys_days{1y / January / 1})},
      {"9999-12-31T23:59:59.999Z", Timestamp(sys_days{9999y / December / 31} + 86399s)},
      {"2024-05-01", std::nullopt},
      {"", std::nullopt},
      {"yesterday", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parseWireTimestamp(c.text), c.expected) << c.text;
  }
}

TEST(WireTimestamp, BadDateFailsWithTheTextAsReceived) {
  for (const std::string text : {"2024-05-01 10:00:00Z", "2024-05-01 10:00:00.123Z", "soon",
                                 "0000-01-01T00:00:00+23:50", "9999-12-31T23:59:59.5-00:01"}) {
    auto failure = failureOf([&] { decode::entry(entryJson({{"mod_time", jsonQuote(text)}})); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind, Kind::dataCorrupted);
    EXPECT_EQ(failure->description, "bad date " + text);
    EXPECT_THAT(failure->codingPath, ElementsAre("mod_time"));
  }
}

TEST(WireTimestamp, BadDateInAListNamesItsPlace) {
  std::string body = R"({"entries": [)" + entryJson() + "," +
                     entryJson({{"mod_time", R"("2024-05-01 10:00:00Z")"}}) + "]}";
  auto failure = failureOf([&] { decode::entriesAnswer(body); });
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->kind, Kind::dataCorrupted);
  EXPECT_EQ(failure->description, "bad date 2024-05-01 10:00:00Z");
  EXPECT_THAT(failure->codingPath, ElementsAre("entries", "Index 1", "mod_time"));
}

// --- Strict types, missing keys and nulls --------------------------------

TEST(EntryDecoding, DecodesAllFields) {
  EXPECT_EQ(decode::entry(entryJson()), kEntry);
  EXPECT_EQ(decode::entry(entryJson({{"dir", "true"}, {"size", "-9223372036854775808"}})).size,
            INT64_MIN);
  EXPECT_EQ(decode::entry(entryJson({{"size", "9223372036854775807"}})).size, INT64_MAX);
  EXPECT_TRUE(decode::entry(entryJson({{"dir", "true"}})).dir);
  // The first and the last second of the format decode without overflow.
  EXPECT_EQ(decode::entry(entryJson({{"mod_time", R"("0001-01-01T00:00:00Z")"}})).mod_time,
            Timestamp(std::chrono::seconds(-62135596800)));
  EXPECT_EQ(decode::entry(entryJson({{"mod_time", R"("9999-12-31T23:59:59.999999999Z")"}})).mod_time,
            Timestamp(std::chrono::seconds(253402300799)));
  // Whole numbers written with a fraction or an exponent are still integers.
  EXPECT_EQ(decode::entry(entryJson({{"size", "1.0"}})).size, 1);
  EXPECT_EQ(decode::entry(entryJson({{"size", "1e3"}})).size, 1000);
}

TEST(EntryDecoding, RejectsWrongTypesMissingKeysAndNulls) {
  struct Case {
    std::string key;
    std::optional<std::string> value;  // nullopt: key left out
    Kind kind;
  };
  const std::vector<Case> cases = {
      {"dir", "1", Kind::typeMismatch},
      {"dir", "0", Kind::typeMismatch},
      {"dir", R"("true")", Kind::typeMismatch},
      {"dir", "null", Kind::valueNotFound},
      {"dir", std::nullopt, Kind::keyNotFound},
      {"size", "1.5", Kind::dataCorrupted},
      {"size", "1e300", Kind::dataCorrupted},
      {"size", R"("42")", Kind::typeMismatch},
      {"size", "true", Kind::typeMismatch},
      {"size", "9223372036854775808", Kind::dataCorrupted},
      {"size", "null", Kind::valueNotFound},
      {"path", "5", Kind::typeMismatch},
      {"path", "[]", Kind::typeMismatch},
      {"path", "{}", Kind::typeMismatch},
      {"path", "null", Kind::valueNotFound},
      {"path", std::nullopt, Kind::keyNotFound},
      {"name", "false", Kind::typeMismatch},
      {"mod_time", "1714557600", Kind::typeMismatch},
      {"mod_time", "null", Kind::valueNotFound},
      {"mod_time", std::nullopt, Kind::keyNotFound},
      {"version", "1", Kind::typeMismatch},
      {"version", "null", Kind::valueNotFound},
      {"version", std::nullopt, Kind::keyNotFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key + " = " + c.value.value_or("(missing)"));
    auto failure = failureOf([&] { decode::entry(entryJson({{c.key, c.value}})); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind, c.kind);
    EXPECT_THAT(failure->codingPath, ElementsAre(c.key));
  }
}

TEST(EntryDecoding, DescriptionsAreSentences) {
  struct Case {
    std::string key;
    std::optional<std::string> value;
    std::string description;
  };
  const std::vector<Case> cases = {
      {"version", std::nullopt, R"(No value associated with key "version".)"},
      {"dir", "1", "Expected Bool but found number."},
      {"name", "null", "Expected String value but found null."},
      {"size", "9223372036854775808", "Number 9223372036854775808 does not fit in Int64."},
  };
  for (const Case& c : cases) {
    auto failure = failureOf([&] { decode::entry(entryJson({{c.key, c.value}})); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->description, c.description);
  }
}

TEST(EntryDecoding, IgnoresUnknownKeysAndTakesTheFirstOfDuplicates) {
  EXPECT_EQ(decode::entry(entryJson({{"extra", R"({"nested": [1, null, "x"]})"}, {"Path", "1"}})),
            kEntry);

  std::string duplicated = entryJson();
  duplicated.pop_back();
  duplicated += R"(,"path":"other","size":"not a number"})";
  EXPECT_EQ(decode::entry(duplicated), kEntry);
}

TEST(DecodingError, TextNamesKindPathAndDescription) {
  DecodingError e(Kind::keyNotFound, {"entries", "Index 3", "version"},
                  R"(No value associated with key "version".)");
  EXPECT_THAT(e.what(), HasSubstr("keyNotFound"));
  EXPECT_THAT(e.what(), HasSubstr("entries.Index 3.version"));
  EXPECT_THAT(e.what(), HasSubstr(e.description()));
}

// --- Whole bodies ---------------------------------------------------------

TEST(AnswerDecoding, BodiesThatAreNotJsonFailAsDataCorrupted) {
  const std::vector<std::string> bodies = {
      "", "not json", "{", R"({"path": "a"} trailing)", "{\"path\": \"\xff\"}",
      R"({"path": "a",})", R"({"path": 'a'})", R"({"path": "a", "x": 100000000000000000000000})"};
  const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> decoders = {
      {"scopesAnswer", [](const std::string& b) { decode::scopesAnswer(b); }},
      {"entriesAnswer", [](const std::string& b) { decode::entriesAnswer(b); }},
      {"changeSet", [](const std::string& b) { decode::changeSet(b); }},
      {"entry", [](const std::string& b) { decode::entry(b); }},
      {"pathAnswer", [](const std::string& b) { decode::pathAnswer(b); }},
      {"deletedAnswer", [](const std::string& b) { decode::deletedAnswer(b); }},
  };
  for (const auto& [name, decodeIt] : decoders) {
    for (const std::string& body : bodies) {
      SCOPED_TRACE(name + ": " + body);
      auto failure = failureOf([&] { decodeIt(body); });
      ASSERT_TRUE(failure);
      EXPECT_EQ(failure->kind, Kind::dataCorrupted);
      EXPECT_TRUE(failure->codingPath.empty());
    }
  }
}

TEST(AnswerDecoding, TopLevelMustBeAnObject) {
  struct Case {
    std::string body;
    Kind kind;
  };
  const std::vector<Case> cases = {
      {"[]", Kind::typeMismatch},
      {R"("path")", Kind::typeMismatch},
      {"5", Kind::typeMismatch},
      {"true", Kind::typeMismatch},
      {"null", Kind::valueNotFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    for (auto decodeIt : {+[](const std::string& b) { decode::entry(b); },
                          +[](const std::string& b) { decode::deletedAnswer(b); },
                          +[](const std::string& b) { decode::changeSet(b); }}) {
      auto failure = failureOf([&] { decodeIt(c.body); });
      ASSERT_TRUE(failure);
      EXPECT_EQ(failure->kind, c.kind);
      EXPECT_TRUE(failure->codingPath.empty());
    }
  }
}

// The body's spare capacity is read as padding in place; what lies there must
// not leak into the document.
TEST(AnswerDecoding, SpareCapacityIsNotPartOfTheBody) {
  std::string json = R"({"path":"a/b"})";
  std::string padded = json + std::string(200, '}') + "garbage";
  padded.resize(json.size());
  ASSERT_GE(padded.capacity() - padded.size(), simdjson::SIMDJSON_PADDING);
  EXPECT_EQ(decode::pathAnswer(padded), "a/b");

  std::string tight = json;
  tight.shrink_to_fit();
  EXPECT_EQ(decode::pathAnswer(tight), "a/b");
}

TEST(EntriesAnswer, DecodesInOrder) {
  Entry second = kEntry;
  second.path = "docs/b";
  second.name = "b";
  second.dir = true;
  std::string body = R"({"entries": [)" + entryJson() + "," +
                     entryJson({{"path", R"("docs/b")"}, {"name", R"("b")"}, {"dir", "true"}}) +
                     R"(], "next": "ignored"})";
  EXPECT_THAT(decode::entriesAnswer(body), ElementsAre(kEntry, second));
  EXPECT_TRUE(decode::entriesAnswer(R"({"entries": []})").empty());
}

TEST(EntriesAnswer, OneBadEntryFailsTheWholeList) {
  std::string body = R"({"entries": [)";
  for (int i = 0; i < 5; ++i) {
    if (i > 0) body += ",";
    body += i == 3 ? entryJson({{"size", R"("1")"}}) : entryJson();
  }
  body += "]}";
  auto failure = failureOf([&] { decode::entriesAnswer(body); });
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->kind, Kind::typeMismatch);
  EXPECT_THAT(failure->codingPath, ElementsAre("entries", "Index 3", "size"));
}

TEST(EntriesAnswer, ListMustBeThere) {
  struct Case {
    std::string body;
    Kind kind;
    std::vector<std::string> path;
  };
  const std::vector<Case> cases = {
      {"{}", Kind::keyNotFound, {"entries"}},
      {R"({"entries": null})", Kind::valueNotFound, {"entries"}},
      {R"({"entries": {}})", Kind::typeMismatch, {"entries"}},
      {R"({"entries": [null]})", Kind::valueNotFound, {"entries", "Index 0"}},
      {R"({"entries": ["a"]})", Kind::typeMismatch, {"entries", "Index 0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    auto failure = failureOf([&] { decode::entriesAnswer(c.body); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind, c.kind);
    EXPECT_EQ(failure->codingPath, c.path);
  }
}

// --- ChangeSet ----------------------------------------------------------

std::string changeJson(const std::string& path, bool deleted) {
  return JsonObjectWriter()
      .addString("path", path)
      .addString("name", path)
      .addBool("dir", false)
      .addInt("size", 7)
      .addString("mod_time", "2024-05-01T10:00:00.5Z")
      .addString("version", "v2")
      .addBool("deleted", deleted)
      .str();
}

TEST(ChangeSetDecoding, AbsentNullAndEmptyChanges) {
  struct Case {
    std::string body;
    std::optional<std::vector<Change>> changes;
  };
  const std::vector<Case> cases = {
      {R"({"anchor": "a1", "reset": false})", std::nullopt},
      {R"({"anchor": "a1", "changes": null, "reset": false})", std::nullopt},
      {R"({"anchor": "a1", "changes": [], "reset": false})", std::vector<Change>{}},
      {R"({"anchor": "a1", "changes": [)" + changeJson("x", true) + R"(], "reset": false})",
       std::vector<Change>{Change{{"x", "x", false, 7, kMay1, "v2"}, true}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    ChangeSet set = decode::changeSet(c.body);
    EXPECT_EQ(set.anchor, "a1");
    EXPECT_EQ(set.changes, c.changes);
    EXPECT_FALSE(set.reset);
  }
  EXPECT_TRUE(decode::changeSet(R"({"reset": true, "anchor": "", "x": 1})").reset);
}

TEST(ChangeSetDecoding, RequiredKeysAndBadChanges) {
  std::string deletedWithoutVersion = R"({"path": "gone", "name": "gone", "dir": false, "size": 0,
      "mod_time": "2024-05-01T10:00:00Z", "deleted": true})";
  struct Case {
    std::string body;
    Kind kind;
    std::vector<std::string> path;
  };
  const std::vector<Case> cases = {
      {R"({"anchor": "a1", "changes": []})", Kind::keyNotFound, {"reset"}},
      {R"({"anchor": "a1", "reset": null})", Kind::valueNotFound, {"reset"}},
      {R"({"changes": [], "reset": false})", Kind::keyNotFound, {"anchor"}},
      {R"({"anchor": 5, "reset": false})", Kind::typeMismatch, {"anchor"}},
      {R"({"anchor": "a1", "changes": {}, "reset": false})", Kind::typeMismatch, {"changes"}},
      {R"({"anchor": "a1", "changes": [)" + changeJson("x", false) + "," + deletedWithoutVersion +
           R"(], "reset": false})",
       Kind::keyNotFound,
       {"changes", "Index 1", "version"}},
      {R"({"anchor": "a1", "changes": [{"path": "x", "name": "x", "dir": false, "size": 0,
          "mod_time": "2024-05-01T10:00:00Z", "version": "v"}], "reset": false})",
       Kind::keyNotFound,
       {"changes", "Index 0", "deleted"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    auto failure = failureOf([&] { decode::changeSet(c.body); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind, c.kind);
    EXPECT_EQ(failure->codingPath, c.path);
  }
}

// --- Scopes -----------------------------------------------------------------

TEST(ScopesAnswer, DecodesScopesAndTheirIds) {
  std::string body = R"({"scopes": [
      {"connection": "c", "scope": 12, "name": "Photos", "bucket": "photos", "prefix": "",
       "region": "eu-1", "versioned": true, "write": true, "delete": false, "extra": []},
      {"connection": "c", "scope": -1, "name": "n", "bucket": "b", "prefix": "p/",
       "region": "r", "versioned": false, "write": false, "delete": true}]})";
  std::vector<Scope> scopes = decode::scopesAnswer(body);
  ASSERT_EQ(scopes.size(), 2u);
  EXPECT_EQ(scopes[0], (Scope{"c", 12, "Photos", "photos", "", "eu-1", true, true, false}));
  EXPECT_EQ(scopes[0].id(), "c-12");
  EXPECT_EQ(scopes[1].id(), "c--1");
  EXPECT_TRUE(scopes[1].delete_);
}

TEST(ScopesAnswer, FailsWithoutScopesOrWithABadScope) {
  struct Case {
    std::string body;
    Kind kind;
    std::vector<std::string> path;
  };
  const std::vector<Case> cases = {
      {"{}", Kind::keyNotFound, {"scopes"}},
      {R"({"scopes": null})", Kind::valueNotFound, {"scopes"}},
      {R"({"scopes": [{"connection": "c", "scope": "12", "name": "n", "bucket": "b",
          "prefix": "", "region": "r", "versioned": false, "write": false, "delete": false}]})",
       Kind::typeMismatch,
       {"scopes", "Index 0", "scope"}},
      {R"({"scopes": [{"connection": "c", "scope": 12, "name": "n", "bucket": "b",
          "prefix": "", "region": "r", "versioned": false, "write": false}]})",
       Kind::keyNotFound,
       {"scopes", "Index 0", "delete"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    auto failure = failureOf([&] { decode::scopesAnswer(c.body); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind, c.kind);
    EXPECT_EQ(failure->codingPath, c.path);
  }
}

// --- Small answers ------------------------------------------------------------

TEST(PathAnswer, ReturnsThePathUnchanged) {
  EXPECT_EQ(decode::pathAnswer(R"({"path": "papers/", "other": 1})"), "papers/");
  EXPECT_EQ(decode::pathAnswer(R"({"path": ""})"), "");

  struct Case {
    std::string body;
    Kind kind;
  };
  for (const Case& c : std::vector<Case>{{"{}", Kind::keyNotFound},
                                         {R"({"path": null})", Kind::valueNotFound},
                                         {R"({"path": 1})", Kind::typeMismatch},
                                         {R"({"path": ["a"]})", Kind::typeMismatch}}) {
    SCOPED_TRACE(c.body);
    auto failure = failureOf([&] { decode::pathAnswer(c.body); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind, c.kind);
    EXPECT_THAT(failure->codingPath, ElementsAre("path"));
  }
}

TEST(DeletedAnswer, AcceptsAbsentNullAndStringLists) {
  for (const std::string body : {"{}", R"({"deleted": null})", R"({"deleted": []})",
                                 R"({"deleted": ["a", "b/"], "x": 1})"}) {
    EXPECT_NO_THROW(decode::deletedAnswer(body)) << body;
  }
}

TEST(DeletedAnswer, RejectsAnythingElse) {
  struct Case {
    std::string body;
    Kind kind;
    std::vector<std::string> path;
  };
  const std::vector<Case> cases = {
      {R"({"deleted": "a"})", Kind::typeMismatch, {"deleted"}},
      {R"({"deleted": {}})", Kind::typeMismatch, {"deleted"}},
      {R"({"deleted": true})", Kind::typeMismatch, {"deleted"}},
      {R"({"deleted": ["a", 1]})", Kind::typeMismatch, {"deleted", "Index 1"}},
      {R"({"deleted": [["a"]]})", Kind::typeMismatch, {"deleted", "Index 0"}},
      {R"({"deleted": ["a", null]})", Kind::valueNotFound, {"deleted", "Index 1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    auto failure = failureOf([&] { decode::deletedAnswer(c.body); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind, c.kind);
    EXPECT_EQ(failure->codingPath, c.path);
  }
}

// Each thread has its own parser; answers decoded at the same time must not
// see each other's documents.
TEST(AnswerDecoding, ThreadsDecodeIndependently) {
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &mismatches] {
      Entry expected = kEntry;
      expected.path = "thread-" + std::to_string(t);
      std::string body = R"({"entries": [)" + toJson(expected) + "]}";
      for (int i = 0; i < 200; ++i) {
        std::vector<Entry> got = decode::entriesAnswer(body);
        if (got.size() != 1 || got[0] != expected) ++mismatches[t];
        if (decode::pathAnswer(R"({"path": ")" + expected.path + "\"}") != expected.path) {
          ++mismatches[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_THAT(mismatches, ElementsAre(0, 0, 0, 0));
}

// --- JSON text ------------------------------------------------------------

TEST(JsonQuote, EscapesQuotesBackslashesAndControlCharacters) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"", R"("")"},
      {"plain", R"("plain")"},
      {"say \"hi\"", R"("say \"hi\"")"},
      {"a\\b", R"("a\\b")"},
      {std::string("\0", 1), R"("\u0000")"},
      {"\x01\n\t\x1f", R"("\u0001\u000a\u0009\u001f")"},
      {"/ \x7f", "\"/ \x7f\""},
      {"Grüße 日本 🎉", "\"Grüße 日本 🎉\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(jsonQuote(c.in), c.out);
  }
}

// Every byte below 0x80 comes back unchanged through a JSON parser.
TEST(JsonQuote, EveryAsciiByteSurvivesAParser) {
  std::string all;
  for (int c = 0; c < 0x80; ++c) all += static_cast<char>(c);
  all += "é→𝄞";
  simdjson::dom::parser parser;
  simdjson::padded_string doc(jsonQuote(all));
  std::string_view back;
  ASSERT_EQ(parser.parse(doc).get_string().get(back), simdjson::SUCCESS);
  EXPECT_EQ(back, all);
}

TEST(JsonObjectWriter, WritesCompactFieldsInOrder) {
  EXPECT_EQ(JsonObjectWriter().str(), "{}");
  EXPECT_EQ(JsonObjectWriter()
                .addString("path", "a\"b")
                .addInt("n", -9223372036854775807 - 1)
                .addBool("t", true)
                .addBool("f", false)
                .addNull("z")
                .addStringArray("paths", {"x/", "y"})
                .addStringArray("none", {})
                .addRaw("raw", R"({"k":[1]})")
                .str(),
            R"({"path":"a\"b","n":-9223372036854775808,"t":true,"f":false,"z":null,)"
            R"("paths":["x/","y"],"none":[],"raw":{"k":[1]}})");

  JsonObjectWriter w;
  w.addInt("a", 1);
  std::string first = w.str();
  w.addInt("b", 2);
  EXPECT_EQ(first, R"({"a":1})");
  EXPECT_EQ(w.str(), R"({"a":1,"b":2})");
}

TEST(RecordJson, WritesNineFractionalDigitsInUtc) {
  Entry e = kEntry;
  e.mod_time += 123456us;
  EXPECT_THAT(toJson(e), HasSubstr(R"("mod_time":"2024-05-01T10:00:00.123456000Z")"));
  EXPECT_THAT(toJson(kEntry), HasSubstr(R"("mod_time":"2024-05-01T10:00:00.000000000Z")"));
}

TEST(RecordJson, RoundTripsThroughTheDecoders) {
  Entry odd{"dir/\"quoted\" \\ back\x01\n\ttab", "Grüße \"日本\" \\ \x1f 🎉", true,
            INT64_MAX, Timestamp(sys_days{1969y / July / 20} + 20h + 17min), ""};
  EXPECT_EQ(decode::entry(toJson(odd)), odd);
  EXPECT_EQ(decode::entry(toJson(kEntry)), kEntry);

  // A fraction on the way out is dropped on the way in.
  Entry fractional = kEntry;
  fractional.mod_time += 999999us;
  EXPECT_EQ(decode::entry(toJson(fractional)), kEntry);

  std::vector<Entry> entries = {kEntry, odd};
  EXPECT_EQ(decode::entriesAnswer(JsonObjectWriter().addRaw("entries", toJson(entries)).str()),
            entries);

  Change gone{{"x/y", "y", false, 0, kMay1, "v9"}, true};
  Change added{{"a", "a\"", true, 5, kMay1, "dir"}, false};
  for (const ChangeSet& set : {ChangeSet{"anchor-1", std::nullopt, true},
                               ChangeSet{"", std::vector<Change>{}, false},
                               ChangeSet{"a\\2", std::vector<Change>{gone, added}, false}}) {
    EXPECT_EQ(decode::changeSet(toJson(set)), set) << toJson(set);
  }
  EXPECT_EQ(toJson(std::vector<Change>{gone}), "[" + toJson(gone) + "]");

  std::vector<Scope> scopes = {Scope{"conn-1", -1, "n\"", "b", "p/", "r", true, false, true},
                               Scope{"c", 12, "", "", "", "", false, true, false}};
  EXPECT_EQ(decode::scopesAnswer(JsonObjectWriter().addRaw("scopes", toJson(scopes)).str()), scopes);
  EXPECT_THAT(toJson(scopes[0]), HasSubstr(R"("delete":true)"));
}

}  // namespace
}  // namespace corvane
