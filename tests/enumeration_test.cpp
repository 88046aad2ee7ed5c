#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/log.h"
#include "support/extension_fixture.h"

namespace corvane::testing {
namespace {

// Keeps the log in one folder for the whole process, whichever test writes first.
const auto* const kLogEnvironment =
    ::testing::AddGlobalTestEnvironment(new ProcessLogEnvironment);

std::string readLog() { return logText(); }

std::vector<std::string> identifiers(const host::ItemList& items) {
  std::vector<std::string> ids;
  for (auto& i : items) ids.push_back(i->itemIdentifier());
  return ids;
}

class EnumerationTest : public ExtensionTest {
 protected:
  RecordingEnumerationObserver list(const std::string& container, const host::Page& page = {}) {
    RecordingEnumerationObserver observer;
    ext().enumerator(container, {})->enumerateItems(observer, page);
    return observer;
  }
};

TEST_F(EnumerationTest, RootListsTheEmptyFolderInOneBatch) {
  onList("", {makeEntry("a.txt"), makeEntry("docs", true), makeEntry("b.txt")});
  auto observer = list(kRoot);
  ASSERT_EQ(observer.calls.size(), 2u);
  EXPECT_EQ(observer.calls[0].kind, ObserverCall::didEnumerateItems);
  // Engine order, unsorted.
  EXPECT_EQ(identifiers(observer.calls[0].items),
            (std::vector<std::string>{"a.txt", "docs", "b.txt"}));
  for (auto& item : observer.calls[0].items) EXPECT_EQ(item->parentItemIdentifier(), kRoot);
  EXPECT_EQ(observer.calls[1].kind, ObserverCall::finishUpToPage);
  EXPECT_FALSE(observer.calls[1].page.has_value());
  auto lists = engine.requests("GET", scopePath("/list"));
  ASSERT_EQ(lists.size(), 1u);
  EXPECT_EQ(lists[0].queryValue("dir"), "");
}

TEST_F(EnumerationTest, EmptyFolderStillReportsOneEmptyBatch) {
  onList("docs", {});
  auto observer = list("docs");
  ASSERT_EQ(observer.calls.size(), 2u);
  EXPECT_EQ(observer.calls[0].kind, ObserverCall::didEnumerateItems);
  EXPECT_TRUE(observer.calls[0].items.empty());
  EXPECT_EQ(observer.calls[1].kind, ObserverCall::finishUpToPage);
}

TEST_F(EnumerationTest, AMadeUpPageListsTheWholeFolderAgain) {
  onList("docs", {makeEntry("docs/a.txt")});
  auto enumerator = ext().enumerator("docs", {});
  RecordingEnumerationObserver first, second;
  enumerator->enumerateItems(first, {});
  enumerator->enumerateItems(second, "page-42");
  EXPECT_EQ(identifiers(second.items()), (std::vector<std::string>{"docs/a.txt"}));
  EXPECT_EQ(engine.requests("GET", scopePath("/list")).size(), 2u);
}

TEST_F(EnumerationTest, WorkingSetListsNothingAndAsksNothing) {
  auto enumerator = ext().enumerator(kWorkingSet, {});
  const auto before = engine.requests().size();
  RecordingEnumerationObserver observer;
  enumerator->enumerateItems(observer, {});
  ASSERT_EQ(observer.calls.size(), 1u);
  EXPECT_EQ(observer.calls[0].kind, ObserverCall::finishUpToPage);
  EXPECT_EQ(engine.requests().size(), before);
}

TEST_F(EnumerationTest, TrashIsRefusedBeforeAnythingElse) {
  env.removeDiscoveryFile();  // not even the scope is asked for
  try {
    ext().enumerator(kTrash, {});
    FAIL() << "expected a refusal";
  } catch (const host::Error& e) {
    EXPECT_EQ(e.domain, host::kFileProviderErrorDomain);
    EXPECT_EQ(e.code, host::codes::kNoSuchItem);
    EXPECT_TRUE(e.userInfo.empty());
  }
  EXPECT_TRUE(engine.requests().empty());
}

TEST_F(EnumerationTest, FailedScopeResolutionIsPassedOnUnmapped) {
  engine.onScopes({});
  try {
    ext().enumerator(kRoot, {});
    FAIL() << "expected the resolution's error";
  } catch (const host::Error& e) {
    EXPECT_EQ(e.domain, "CorvaneSyncFileProvider.EngineError");
    EXPECT_EQ(e.code, 4);  // notFound, unmapped
  }
}

TEST_F(EnumerationTest, ListingFailureIsLoggedAndMapped) {
  engine.on("GET", scopePath("/list"), Reply{500, R"({"message": "disk on fire"})"});
  auto observer = list(kRoot);
  ASSERT_EQ(observer.calls.size(), 1u);
  EXPECT_EQ(observer.calls[0].kind, ObserverCall::finishWithError);
  expectHostError(observer.calls[0].error, host::kFileProviderErrorDomain,
                  host::codes::kServerUnreachable);
  EXPECT_EQ(observer.calls[0].error->localizedDescription(), "disk on fire");
  // The root's path is empty: "list " directly followed by ": ".
  EXPECT_NE(readLog().find("Z list : server(500, \"disk on fire\")\n"), std::string::npos);
}

TEST_F(EnumerationTest, ItemsCarryTheEnumeratorsScope) {
  engine.onScopes({makeScope("local", 1, false, false, "bucket")});
  onList("", {makeEntry("a.txt")});
  auto observer = list(kRoot);
  ASSERT_EQ(observer.items().size(), 1u);
  EXPECT_EQ(observer.items()[0]->capabilities(), 1u);
}

class LookupTest : public ExtensionTest {
 protected:
  Completion lookup(const std::string& identifier) {
    return host.call([&](RecordingHost& h) { return ext().item(identifier, {}, h.itemHandler()); });
  }
};

TEST_F(LookupTest, RootNeedsNoListing) {
  auto c = lookup(kRoot);
  ASSERT_TRUE(c.item);
  EXPECT_EQ(c.item->filename(), "bucket");
  EXPECT_EQ(c.item->itemIdentifier(), kRoot);
  EXPECT_TRUE(engine.requests("GET", scopePath("/list")).empty());
}

TEST_F(LookupTest, ListsTheParentAndPicksByName) {
  onList("a/b", {makeEntry("a/b/x.txt"), makeEntry("a/b/c.txt", false, 42)});
  onList("", {makeEntry("report.pdf")});
  auto deep = lookup("a/b/c.txt");
  ASSERT_TRUE(deep.item);
  EXPECT_EQ(deep.item->documentSize(), 42);
  auto top = lookup("report.pdf");
  ASSERT_TRUE(top.item);
  EXPECT_EQ(top.item->filename(), "report.pdf");
  auto lists = engine.requests("GET", scopePath("/list"));
  ASSERT_EQ(lists.size(), 2u);
  EXPECT_EQ(lists[0].queryValue("dir"), "a/b");
  EXPECT_EQ(lists[1].queryValue("dir"), "");
}

TEST_F(LookupTest, NamesMatchUnderCanonicalEquivalence) {
  // The engine lists the name decomposed; the host asks with it precomposed.
  Entry listed = makeEntry("cafe\xCC\x81.txt");
  onList("", {listed});
  auto c = lookup("caf\xC3\xA9.txt");
  ASSERT_TRUE(c.item) << (c.error ? c.error->what() : "");
  // The engine's own path is kept.
  EXPECT_EQ(c.item->itemIdentifier(), "cafe\xCC\x81.txt");
}

TEST_F(LookupTest, FirstOfAFileAndAFolderOfOneNameWins) {
  onList("", {makeEntry("same", true), makeEntry("same", false, 5)});
  auto c = lookup("same");
  ASSERT_TRUE(c.item);
  EXPECT_EQ(c.item->contentType(), "public.folder");
}

TEST_F(LookupTest, TrashAndWorkingSet) {
  auto trash = lookup(kTrash);
  expectNoSuchItem(trash.error);
  EXPECT_TRUE(engine.requests("GET", scopePath("/list")).empty());
  EXPECT_EQ(engine.count("GET", "/v1/scopes"), 1u);  // refused after the scope resolved
  // The working set is just a top-level name like any other.
  onList("", {makeEntry("a.txt")});
  auto ws = lookup(kWorkingSet);
  expectNoSuchItem(ws.error);
  auto lists = engine.requests("GET", scopePath("/list"));
  ASSERT_EQ(lists.size(), 1u);
  EXPECT_EQ(lists[0].queryValue("dir"), "");
}

TEST_F(LookupTest, ListingFailureIsNotNoSuchItem) {
  engine.on("GET", scopePath("/list"), Reply{401, ""});
  auto c = lookup("docs/a.txt");
  expectHostError(c.error, host::kFileProviderErrorDomain, host::codes::kNotAuthenticated);
  onList("docs", {makeEntry("docs/b.txt")});
  expectNoSuchItem(lookup("docs/a.txt").error);
}

}  // namespace
}  // namespace corvane::testing
