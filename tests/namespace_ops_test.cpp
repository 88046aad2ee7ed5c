// The namespace operations of the engine client against the test engine:
// request paths, query encoding, JSON bodies and how each answer is read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/decoding.h"
#include "engine/engine_client.h"
#include "engine/engine_error.h"
#include "engine/json_text.h"
#include "engine/query.h"
#include "support/test_engine.h"
#include "support/test_env.h"

namespace corvane {
namespace {

using testing::makeEntry;
using testing::Received;
using testing::Reply;
using testing::TestEngine;
using testing::TestEnvironment;

const auto* const kProcessLog =
    ::testing::AddGlobalTestEnvironment(new testing::ProcessLogEnvironment);

const std::string kScope = "/v1/scopes/local-1";

class NamespaceOpsTest : public ::testing::Test {
 protected:
  void SetUp() override { engine.writeDiscovery(env); }

  // The one request the engine received.
  Received only() {
    auto received = engine.requests();
    EXPECT_EQ(received.size(), 1u);
    return received.empty() ? Received{} : received.front();
  }

  TestEnvironment env;
  TestEngine engine;
  EngineClient client{"local-1"};
};

TEST(QueryEncoding, KeepsOnlyUnreservedCharactersAndSlash) {
  EXPECT_EQ(query::encode("AZaz09-._~/"), "AZaz09-._~/");
  EXPECT_EQ(query::encode("a b+c&d=e#f%g?h"), "a%20b%2Bc%26d%3De%23f%25g%3Fh");
  EXPECT_EQ(query::encode("\xc3\xa9"), "%C3%A9");
  EXPECT_EQ(query::encode(std::string("\0\x7f", 2)), "%00%7F");
  EXPECT_EQ(query::build({{"anchor", "x y"}, {"refresh", "0"}}), "anchor=x%20y&refresh=0");
}

TEST_F(NamespaceOpsTest, ListOfTheRootSendsAnEmptyDir) {
  engine.onList("local-1", "", {makeEntry("a.txt"), makeEntry("docs", true)});

  std::vector<Entry> entries = client.list("");

  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0], makeEntry("a.txt"));
  EXPECT_EQ(entries[1], makeEntry("docs", true));
  Received r = only();
  EXPECT_EQ(r.method, "GET");
  EXPECT_EQ(r.target, kScope + "/list?dir=");
  EXPECT_EQ(r.body, "");
}

TEST_F(NamespaceOpsTest, QueryValuesReachTheEngineExactly) {
  const std::vector<std::string> dirs = {
      "a b&c=d#e%f+g/\xc3\xa9",  // reserved characters, a blank, a plus and non-ASCII
      "%20",                     // looks encoded already
      "docs/",                   // a trailing slash
      "x?y=z&dir=evil",
  };
  for (const auto& dir : dirs) {
    SCOPED_TRACE(dir);
    engine.clearRequests();
    engine.onList("local-1", dir, {makeEntry(dir + "/f")});

    EXPECT_EQ(client.list(dir).at(0).path, dir + "/f");
    Received r = only();
    ASSERT_EQ(r.query.size(), 1u);
    EXPECT_EQ(r.query[0].first, "dir");
    EXPECT_EQ(r.query[0].second, dir);
  }
  // A blank and a plus go out as %20 and %2B, so a form-style parser that
  // reads "+" as a blank still sees the plus.
  engine.clearRequests();
  engine.onList("local-1", "a b+c", {});
  client.list("a b+c");
  EXPECT_EQ(only().target, kScope + "/list?dir=a%20b%2Bc");
}

TEST_F(NamespaceOpsTest, ChangesSendsTheAnchorThenRefresh) {
  struct Case {
    std::string since;
    std::string target;
  };
  const std::vector<Case> cases = {
      {"latest", kScope + "/changes?anchor=latest&refresh=0"},
      {"", kScope + "/changes?anchor=&refresh=0"},
      {"a+b c&refresh=1", kScope + "/changes?anchor=a%2Bb%20c%26refresh%3D1&refresh=0"},
  };
  engine.on("GET", kScope + "/changes", Reply{200, R"({"anchor":"next","reset":false})"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.since);
    engine.clearRequests();

    ChangeSet set = client.changes(c.since);

    EXPECT_EQ(set, (ChangeSet{"next", std::nullopt, false}));
    Received r = only();
    EXPECT_EQ(r.target, c.target);
    ASSERT_EQ(r.query.size(), 2u);
    EXPECT_EQ(r.query[0], (std::pair<std::string, std::string>{"anchor", c.since}));
    EXPECT_EQ(r.query[1], (std::pair<std::string, std::string>{"refresh", "0"}));
  }
}

TEST_F(NamespaceOpsTest, ChangesReturnsTheChangeSetUntouched) {
  Change deleted{
      {"old.txt", "old.txt", false, 3, Timestamp(std::chrono::seconds(1715000000)), "v2"}, true};
  Change updated{{"docs/", "docs", true, 0, Timestamp(std::chrono::seconds(1715000100)), "v9"},
                 false};
  const std::vector<ChangeSet> sets = {
      {"a1", std::vector<Change>{deleted, updated}, false},
      {"a2", std::vector<Change>{}, false},
      {"a3", std::nullopt, true},
  };
  for (const auto& set : sets) {
    SCOPED_TRACE(set.anchor);
    engine.on("GET", kScope + "/changes", Reply{200, toJson(set)});
    EXPECT_EQ(client.changes("x"), set);
  }
}

TEST_F(NamespaceOpsTest, OneBadRecordFailsTheWholeAnswer) {
  const std::string good = toJson(makeEntry("a.txt"));
  const std::string bad =
      R"({"path":"b","name":"b","dir":false,"size":1,"mod_time":"2024-05-06 12:00:00Z","version":"v"})";
  engine.on("GET", kScope + "/list", Reply{200, "{\"entries\":[" + good + "," + bad + "]}"});
  EXPECT_THROW(client.list(""), DecodingError);

  const std::string badChange =
      R"({"path":"c","name":"c","dir":false,"size":1,"mod_time":"2024-05-06T12:00:00Z","deleted":true})";
  engine.on("GET", kScope + "/changes",
            Reply{200, R"({"anchor":"a","reset":false,"changes":[)" + badChange + "]}"});
  EXPECT_THROW(client.changes("latest"), DecodingError);
}

TEST_F(NamespaceOpsTest, ListNeedsAnEntriesArray) {
  struct Case {
    std::string body;
    bool ok;
  };
  const std::vector<Case> cases = {
      {R"({"entries":[]})", true},
      {R"({"entries":[],"more":true})", true},
      {"{}", false},
      {R"({"entries":null})", false},
      {R"({"entries":{}})", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    engine.on("GET", kScope + "/list", Reply{200, c.body});
    if (c.ok) {
      EXPECT_TRUE(client.list("").empty());
    } else {
      EXPECT_THROW(client.list(""), DecodingError);
    }
  }
}

TEST_F(NamespaceOpsTest, ALargeListingArrivesWhole) {
  std::vector<Entry> entries;
  for (int i = 0; i < 20000; ++i) {
    entries.push_back(
        makeEntry("big/file-" + std::to_string(i) + ".dat", false, i, "v" + std::to_string(i)));
  }
  engine.onList("local-1", "big", entries);
  EXPECT_EQ(client.list("big"), entries);
}

TEST_F(NamespaceOpsTest, MkdirSendsThePathAndNeedsOneBack) {
  engine.on("POST", kScope + "/mkdir", Reply{200, R"({"path":"a/b"})"});
  client.mkdir("a/b");
  Received r = only();
  EXPECT_EQ(r.target, kScope + "/mkdir");
  EXPECT_EQ(r.bodyString("path"), "a/b");

  for (const std::string body : {"{}", R"({"path":null})", R"({"path":3})"}) {
    SCOPED_TRACE(body);
    engine.on("POST", kScope + "/mkdir", Reply{200, body});
    EXPECT_THROW(client.mkdir("a/b"), DecodingError);
  }
}

TEST_F(NamespaceOpsTest, DeleteSendsThePathsInOrder) {
  engine.on("POST", kScope + "/delete", Reply{200, "{}"});
  client.delete_({"docs/", "a \"quoted\" name", "z"});
  EXPECT_EQ(only().bodyStrings("paths"),
            (std::vector<std::string>{"docs/", "a \"quoted\" name", "z"}));
}

TEST_F(NamespaceOpsTest, DeleteAcceptsAnAbsentListButNotAWrongOne) {
  struct Case {
    std::string body;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"{}", true},
      {R"({"deleted":null})", true},
      {R"({"deleted":["a"]})", true},
      {R"({"deleted":[]})", true},
      {R"({"deleted":"a"})", false},
      {R"({"deleted":[1]})", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    engine.on("POST", kScope + "/delete", Reply{200, c.body});
    if (c.ok) {
      EXPECT_NO_THROW(client.delete_({"a"}));
    } else {
      EXPECT_THROW(client.delete_({"a"}), DecodingError);
    }
  }
}

TEST_F(NamespaceOpsTest, RenameAndMoveReturnThePathAsAnswered) {
  engine.on("POST", kScope + "/rename", Reply{200, R"({"path":"docs/b/"})"});
  engine.on("POST", kScope + "/move", Reply{200, R"({"path":"archive/b/"})"});

  EXPECT_EQ(client.rename("docs/a/", "b"), "docs/b/");
  EXPECT_EQ(client.move("docs/b/", ""), "archive/b/");

  auto renames = engine.requests("POST", kScope + "/rename");
  ASSERT_EQ(renames.size(), 1u);
  EXPECT_EQ(renames[0].bodyString("path"), "docs/a/");
  EXPECT_EQ(renames[0].bodyString("name"), "b");
  auto moves = engine.requests("POST", kScope + "/move");
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(moves[0].bodyString("path"), "docs/b/");
  EXPECT_EQ(moves[0].bodyString("dir"), "");

  engine.on("POST", kScope + "/rename", Reply{200, "{}"});
  EXPECT_THROW(client.rename("a", "b"), DecodingError);
  engine.on("POST", kScope + "/move", Reply{200, R"({"path":null})"});
  EXPECT_THROW(client.move("a", "b"), DecodingError);
}

TEST_F(NamespaceOpsTest, EngineErrorsPassThrough) {
  engine.on("POST", kScope + "/rename", Reply{409, R"({"message":"exists"})"});
  EXPECT_THROW(client.rename("a", "b"), EngineError);
  try {
    client.rename("a", "b");
  } catch (const EngineError& e) {
    EXPECT_EQ(e, EngineError::conflict());
  }
  // The test engine answers what is not scripted with 404.
  try {
    client.list("nowhere");
    ADD_FAILURE() << "no error";
  } catch (const EngineError& e) {
    EXPECT_EQ(e, EngineError::notFound());
  }
}

TEST_F(NamespaceOpsTest, TheScopeIdGoesIntoThePathUnescaped) {
  EngineClient other("conn-with-dash--1");
  engine.on("POST", "/v1/scopes/conn-with-dash--1/mkdir", Reply{200, R"({"path":"x"})"});
  other.mkdir("x");
  EXPECT_EQ(engine.count("POST", "/v1/scopes/conn-with-dash--1/mkdir"), 1u);
}

}  // namespace
}  // namespace corvane
