#include <gtest/gtest.h>

#include "engine/json_text.h"
#include "support/extension_fixture.h"

namespace corvane::testing {
namespace {

Change change(std::string path, bool deleted, bool dir = false) {
  return Change{makeEntry(std::move(path), dir), deleted};
}

class ChangesTest : public ExtensionTest {
 protected:
  void answer(const std::vector<Change>& changes, const std::string& anchor = "anchor-2",
              bool reset = false) {
    ChangeSet set{anchor, changes, reset};
    engine.on("GET", scopePath("/changes"), Reply{200, toJson(set)});
  }

  RecordingChangeObserver enumerate(const std::string& container, const host::SyncAnchor& from) {
    RecordingChangeObserver observer;
    ext().enumerator(container, {})->enumerateChanges(observer, from);
    return observer;
  }

  static std::vector<std::string> updatedIds(const ObserverCall& call) {
    std::vector<std::string> ids;
    for (auto& i : call.items) ids.push_back(i->itemIdentifier());
    return ids;
  }
};

TEST_F(ChangesTest, ContainersKeepOnlyTheirDirectChildren) {
  answer({change("a", false, true), change("a/b", false), change("x/y", true), change("x", true)});
  struct Case {
    std::string container;
    std::vector<std::string> deleted, updated;
  };
  const std::vector<Case> cases = {
      {kRoot, {"x"}, {"a"}},
      {"x", {"x/y"}, {}},
      {"a", {}, {"a/b"}},
      {kWorkingSet, {"x/y", "x"}, {"a", "a/b"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.container);
    auto observer = enumerate(c.container, "anchor-1");
    std::vector<std::string> deleted, updated;
    for (auto& call : observer.calls) {
      if (call.kind == ObserverCall::didDelete) deleted = call.identifiers;
      if (call.kind == ObserverCall::didUpdate) updated = updatedIds(call);
    }
    EXPECT_EQ(deleted, c.deleted);
    EXPECT_EQ(updated, c.updated);
    ASSERT_FALSE(observer.calls.empty());
    EXPECT_EQ(observer.calls.back().kind, ObserverCall::finishChanges);
    EXPECT_EQ(observer.calls.back().anchor, "anchor-2");
    EXPECT_FALSE(observer.calls.back().moreComing);
  }
}

TEST_F(ChangesTest, ParentsCompareUnderCanonicalEquivalence) {
  // The container is named precomposed, the engine's paths decomposed.
  answer({change("cafe\xCC\x81/menu.txt", false), change("cafe/other.txt", false)});
  auto observer = enumerate("caf\xC3\xA9", "a");
  ASSERT_EQ(observer.calls.size(), 2u);
  EXPECT_EQ(updatedIds(observer.calls[0]), (std::vector<std::string>{"cafe\xCC\x81/menu.txt"}));
}

TEST_F(ChangesTest, DeletionsComeBeforeUpdatesOfTheSamePath) {
  answer({change("f.txt", false), change("f.txt", true)});
  auto observer = enumerate(kRoot, "a");
  ASSERT_EQ(observer.calls.size(), 3u);
  EXPECT_EQ(observer.calls[0].kind, ObserverCall::didDelete);
  EXPECT_EQ(observer.calls[1].kind, ObserverCall::didUpdate);
  EXPECT_EQ(observer.calls[2].kind, ObserverCall::finishChanges);
}

TEST_F(ChangesTest, DeletedEmptyPathIsTheRootContainer) {
  answer({change("", true, true)});
  for (const auto& container : {kRoot, kWorkingSet}) {
    auto observer = enumerate(container, "a");
    ASSERT_EQ(observer.calls.size(), 2u);
    EXPECT_EQ(observer.calls[0].identifiers, (std::vector<std::string>{kRoot}));
  }
}

TEST_F(ChangesTest, NoChangesFinishWithTheNewAnchorOnly) {
  for (const char* body : {R"({"anchor": "n1", "reset": false})",
                           R"({"anchor": "n1", "changes": null, "reset": false})",
                           R"({"anchor": "n1", "changes": [], "reset": false})"}) {
    engine.on("GET", scopePath("/changes"), Reply{200, body});
    auto observer = enumerate(kRoot, "a");
    ASSERT_EQ(observer.calls.size(), 1u) << body;
    EXPECT_EQ(observer.calls[0].kind, ObserverCall::finishChanges);
    EXPECT_EQ(observer.calls[0].anchor, "n1");
  }
}

TEST_F(ChangesTest, ResetIsAnExpiredAnchorEvenWithChanges) {
  answer({change("a.txt", false)}, "new", true);
  auto observer = enumerate(kWorkingSet, "old");
  ASSERT_EQ(observer.calls.size(), 1u);
  EXPECT_EQ(observer.calls[0].kind, ObserverCall::finishWithError);
  expectHostError(observer.calls[0].error, host::kFileProviderErrorDomain,
                  host::codes::kSyncAnchorExpired);
  EXPECT_TRUE(observer.calls[0].error->userInfo.empty());
}

TEST_F(ChangesTest, EngineFailureIsMapped) {
  engine.on("GET", scopePath("/changes"), Reply{409, ""});
  auto observer = enumerate(kRoot, "a");
  ASSERT_EQ(observer.calls.size(), 1u);
  expectHostError(observer.calls[0].error, host::kFileProviderErrorDomain,
                  host::codes::kFilenameCollision);
}

TEST_F(ChangesTest, AnchorBytesTravelAsUTF8WithReplacement) {
  answer({}, "caf\xC3\xA9 &=+#%");
  auto observer = enumerate(kRoot, std::string("ab\xFF" "c", 4));
  auto requests = engine.requests("GET", scopePath("/changes"));
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].queryValue("anchor"), "ab\xEF\xBF\xBD" "c");
  EXPECT_EQ(requests[0].queryValue("refresh"), "0");
  // The engine's anchor text comes back as its exact bytes.
  EXPECT_EQ(observer.calls.back().anchor, "caf\xC3\xA9 &=+#%");
  // The empty anchor is sent as it is.
  enumerate(kRoot, "");
  EXPECT_EQ(engine.requests("GET", scopePath("/changes")).at(1).queryValue("anchor"), "");
}

TEST_F(ChangesTest, CurrentAnchorIsTheSameForEveryContainer) {
  answer({change("a", false)}, "tip-7", true);  // changes and reset are ignored
  std::vector<std::optional<host::SyncAnchor>> anchors;
  for (const auto& container : {kRoot, kWorkingSet, std::string("docs")}) {
    ext().enumerator(container, {})->currentSyncAnchor(
        [&](std::optional<host::SyncAnchor> a) { anchors.push_back(std::move(a)); });
  }
  ASSERT_EQ(anchors.size(), 3u);
  for (auto& a : anchors) EXPECT_EQ(a, host::SyncAnchor("tip-7"));
  for (auto& r : engine.requests("GET", scopePath("/changes"))) {
    EXPECT_EQ(r.queryValue("anchor"), "latest");
  }
}

TEST_F(ChangesTest, EngineDownGivesNoAnchor) {
  auto enumerator = ext().enumerator(kRoot, {});  // scope resolved while the engine runs
  env.removeDiscoveryFile();
  int calls = 0;
  std::optional<host::SyncAnchor> anchor = "unset";
  enumerator->currentSyncAnchor([&](std::optional<host::SyncAnchor> a) {
    ++calls;
    anchor = std::move(a);
  });
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(anchor.has_value());
}

}  // namespace
}  // namespace corvane::testing
