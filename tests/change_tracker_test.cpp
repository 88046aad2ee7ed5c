// The change tracker's comparisons of parts of a scope against the snapshot
// on disk: a folder's own items (a watched folder) and a range of order keys
// (one page of a listing of a whole bucket), where a folder sorts as its
// name with a "/" after it.
#include "change_tracker.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "local_storage.h"
#include "support/test_env.h"

namespace corvane::syncengine {
namespace {

ItemState file(const std::string& version) {
  ItemState state;
  state.size = 1;
  state.version = version;
  return state;
}

const ItemState kFolder = ItemState::folder();

// In order keys: "a b.txt" < "a/" < "a/x" < "b/" < "b/y" < "c.txt".
const ItemList kSnapshot = {{"a", kFolder},       {"a/x", file("x1")}, {"a b.txt", file("s1")},
                            {"b", kFolder},       {"b/y", file("y1")}, {"c.txt", file("c1")}};

using Seen = std::vector<std::pair<std::string, bool>>;  // path, deleted; in log order

ChangeTarget range(std::string after, std::optional<std::string> through, ItemList below) {
  ChangeTarget target = ChangeTarget::range(std::move(after), nullptr);
  target.through = std::move(through);
  target.below = std::move(below);
  return target;
}

ChangeTarget children(std::string path, std::optional<ItemList> below) {
  ChangeTarget target = ChangeTarget::children(std::move(path), nullptr);
  target.below = std::move(below);
  return target;
}

// A scope whose snapshot holds kSnapshot.
struct TrackedScope {
  TrackedScope() {
    std::filesystem::create_directories(env.root() / "scope");
    std::vector<ChangeLog::SnapshotEdit> edits;
    for (const auto& [path, state] : kSnapshot) edits.emplace_back(path, state);
    log.append({}, edits);
  }
  Seen reconcile(const ChangeTarget& target) {
    const std::string anchor = log.currentAnchor();
    tracker.reconcile({target});
    Seen seen;
    for (const ItemChange& c : log.changesSince(anchor).changes) {
      seen.emplace_back(c.entry.path, c.deleted);
    }
    return seen;
  }

  testing::TestEnvironment env;
  ChangeLog log{env.root() / "changes.sqlite", "test", 1000};
  LocalStorage storage{env.root() / "scope", log};  // never read: every target carries its items
  ChangeTracker tracker{storage, log};
};

class ChangeTrackerTest : public ::testing::Test, public TrackedScope {};

TEST_F(ChangeTrackerTest, ARangeAnswersForTheItemsWhoseOrderKeysItHolds) {
  struct Case {
    const char* what;
    ChangeTarget target;
    Seen expected;
  };
  const std::vector<Case> cases = {
      {"unchanged", range("", std::nullopt, kSnapshot), {}},
      {"a changed file; what lies past the range stays",
       range("", "a/x", {{"a b.txt", file("s2")}, {"a", kFolder}, {"a/x", file("x1")}}),
       {{"a b.txt", false}}},
      {"a file that sorts before its neighbour folder's marker: the folder is not in range",
       range("", "a b.txt", {}),
       {{"a b.txt", true}}},
      {"a folder gone: everything in it first, also what later pages would hold",
       range("a/", "b/", {}),
       {{"b/y", true}, {"b", true}, {"a/x", true}}},
      {"to the end", range("b/y", std::nullopt, {{"d.txt", file("d1")}}),
       {{"c.txt", true}, {"d.txt", false}}},
      {"a folder that became a file", range("a/x", "b/y", {{"b", file("b1")}}),
       {{"b/y", true}, {"b", true}, {"b", false}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TrackedScope fresh;
    EXPECT_EQ(fresh.reconcile(c.target), c.expected);
  }
}

TEST_F(ChangeTrackerTest, AFolderIsComparedByItsOwnItemsOnly) {
  EXPECT_EQ(reconcile(children("", ItemList{{"a", kFolder},
                                            {"a b.txt", file("s1")},
                                            {"b", kFolder},
                                            {"c.txt", file("c1")}})),
            Seen{})
      << "the root's own items unchanged, whatever lies deeper";
  EXPECT_EQ(reconcile(children("a", ItemList{{"a/z", file("z1")}, {"a/new", kFolder}})),
            (Seen{{"a/x", true}, {"a/new", false}, {"a/z", false}}));
  EXPECT_EQ(reconcile(children("", ItemList{{"a", kFolder}, {"c.txt", file("c2")}})),
            (Seen{{"b/y", true}, {"b", true}, {"a b.txt", true}, {"c.txt", false}}));
  EXPECT_EQ(reconcile(children("a", std::nullopt)),
            (Seen{{"a/z", true}, {"a/new", true}, {"a", true}}))
      << "a folder that is gone";
}

TEST_F(ChangeTrackerTest, QuietAdditionsOnlyTakeInWhatTheSnapshotLacks) {
  ChangeTarget first = range("", std::nullopt,
                             {{"a", kFolder}, {"a/x", file("x2")}, {"new.txt", file("n1")}});
  first.quietAdditions = true;
  EXPECT_EQ(reconcile(first), (Seen{{"c.txt", true},
                                    {"b/y", true},
                                    {"b", true},
                                    {"a b.txt", true},
                                    {"a/x", false}}));
  EXPECT_EQ(log.snapshotState("new.txt")->version, "n1") << "taken in without a change";
  EXPECT_EQ(reconcile(range("", std::nullopt,
                            {{"a", kFolder}, {"a/x", file("x2")}, {"new.txt", file("n2")}})),
            (Seen{{"new.txt", false}}));
}

TEST_F(ChangeTrackerTest, TheSnapshotIsReadInPartsAsTheLogKeepsIt) {
  EXPECT_EQ(log.snapshotChildren("").size(), 4u);
  std::vector<std::string> ordered;
  for (const ItemEntry& e : log.snapshotRange("a b.txt", "b/")) ordered.push_back(e.path);
  EXPECT_EQ(ordered, (std::vector<std::string>{"a", "a/x", "b"}));
  std::vector<std::string> below;
  for (const ItemEntry& e : log.snapshotBelow("a")) below.push_back(e.path);
  EXPECT_EQ(below, std::vector<std::string>{"a/x"});
}

}  // namespace
}  // namespace corvane::syncengine
