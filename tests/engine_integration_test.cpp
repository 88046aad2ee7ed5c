// The extension against the real reference engine, through the host
// interface only: browsing, lookup, download, creation, modification with a
// real conflict, rename, move, deletion and change tracking.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "extension/file_provider_extension.h"
#include "support/engine_process.h"
#include "support/recording_host.h"
#include "support/test_env.h"

namespace corvane::testing {
namespace {

namespace fs = std::filesystem;
const std::string kRoot(host::kRootContainerItemIdentifier);
const std::string kWorkingSet(host::kWorkingSetContainerItemIdentifier);

std::string read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class EngineIntegrationTest : public ::testing::Test {
 protected:
  EngineIntegrationTest()
      : bucket(env.root() / "bucket"),
        engine(EngineProcess::Options{CORVANE_BIN_DIR "/corvane-engine", {{"main", prepare()}}, {},
                                      {}, {}, {}}) {
    extension = std::make_shared<FileProviderExtension>(host::Domain{"local-1", "main"});
  }

  fs::path prepare() {
    fs::create_directories(bucket / "docs");
    std::ofstream(bucket / "docs" / "a.txt", std::ios::binary) << "alpha";
    std::ofstream(bucket / "top.txt", std::ios::binary) << "top";
    return bucket;
  }

  fs::path writeLocal(const std::string& name, const std::string& bytes) {
    auto p = env.root() / name;
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }

  std::vector<std::string> names(const std::string& container) {
    RecordingEnumerationObserver observer;
    extension->enumerator(container, {})->enumerateItems(observer, {});
    std::vector<std::string> out;
    for (auto& item : observer.items()) out.push_back(item->filename());
    std::sort(out.begin(), out.end());
    return out;
  }

  Completion lookup(const std::string& id) {
    return host.call([&](RecordingHost& h) { return extension->item(id, {}, h.itemHandler()); });
  }

  Completion modify(const std::string& id, const std::string& parent, const std::string& name,
                    host::ItemFields fields, std::optional<fs::path> contents,
                    const host::ItemVersion& base, const char* type = "public.plain-text") {
    auto item = std::make_shared<TemplateItem>(id, parent, name, type);
    return host.call([&](RecordingHost& h) {
      return extension->modifyItem(item, base, fields, contents, 0, {}, h.changeHandler());
    });
  }

  TestEnvironment env;
  fs::path bucket;
  EngineProcess engine;
  std::shared_ptr<FileProviderExtension> extension;
  RecordingHost host;
};

TEST_F(EngineIntegrationTest, BrowseLookUpAndDownload) {
  EXPECT_EQ(names(kRoot), (std::vector<std::string>{"docs", "top.txt"}));
  EXPECT_EQ(names("docs"), (std::vector<std::string>{"a.txt"}));

  auto found = lookup("docs/a.txt");
  ASSERT_TRUE(found.item) << (found.error ? found.error->what() : "");
  EXPECT_EQ(found.item->documentSize(), 5);
  EXPECT_EQ(found.item->parentItemIdentifier(), "docs");
  EXPECT_EQ(lookup("docs/missing.txt").error->code, host::codes::kNoSuchItem);

  auto fetched = host.call([&](RecordingHost& h) {
    return extension->fetchContents("docs/a.txt", std::nullopt, {}, h.fetchHandler());
  });
  ASSERT_TRUE(fetched.url) << (fetched.error ? fetched.error->what() : "");
  EXPECT_EQ(read(*fetched.url), "alpha");
  EXPECT_EQ(fetched.item->itemVersion(), found.item->itemVersion());
}

TEST_F(EngineIntegrationTest, CreateFoldersAndFiles) {
  auto folder = host.call([&](RecordingHost& h) {
    return extension->createItem(std::make_shared<TemplateItem>("x", kRoot, "Reports", "public.folder"),
                                 0, std::nullopt, 0, {}, h.changeHandler());
  });
  ASSERT_TRUE(folder.item) << folder.error->what();
  EXPECT_TRUE(fs::is_directory(bucket / "Reports"));

  auto file = host.call([&](RecordingHost& h) {
    return extension->createItem(std::make_shared<TemplateItem>("y", "Reports", "q1.txt", std::nullopt),
                                 0, writeLocal("q1", "numbers"), 0, {}, h.changeHandler());
  });
  ASSERT_TRUE(file.item) << file.error->what();
  EXPECT_EQ(read(bucket / "Reports" / "q1.txt"), "numbers");
  EXPECT_EQ(file.item->itemIdentifier(), "Reports/q1.txt");

  // The same name again is a collision, and nothing is overwritten.
  auto again = host.call([&](RecordingHost& h) {
    return extension->createItem(std::make_shared<TemplateItem>("z", "Reports", "q1.txt", std::nullopt),
                                 0, writeLocal("q1b", "other"), 0, {}, h.changeHandler());
  });
  ASSERT_TRUE(again.error);
  EXPECT_EQ(again.error->code, host::codes::kFilenameCollision);
  EXPECT_EQ(read(bucket / "Reports" / "q1.txt"), "numbers");
}

TEST_F(EngineIntegrationTest, ConcurrentEditsKeepBothContents) {
  auto base = lookup("docs/a.txt").item->itemVersion();
  auto first = modify("docs/a.txt", "docs", "a.txt", host::fields::kContents,
                      writeLocal("mine", "first edit"), base);
  ASSERT_TRUE(first.item) << first.error->what();
  EXPECT_NE(first.item->itemVersion().contentVersion, base.contentVersion);
  EXPECT_EQ(read(bucket / "docs" / "a.txt"), "first edit");

  // A second edit from the same, now stale, base: the engine refuses the
  // upload and the user's bytes are kept as a conflict copy.
  auto second = modify("docs/a.txt", "docs", "a.txt", host::fields::kContents,
                       writeLocal("theirs", "second edit"), base);
  ASSERT_TRUE(second.item) << second.error->what();
  EXPECT_FALSE(second.error);
  EXPECT_EQ(second.item->itemVersion().contentVersion, first.item->itemVersion().contentVersion);
  EXPECT_EQ(read(bucket / "docs" / "a.txt"), "first edit");
  int copies = 0;
  for (auto& e : fs::directory_iterator(bucket / "docs")) {
    const std::string name = e.path().filename().string();
    if (name.rfind("a (conflict ", 0) == 0) {
      ++copies;
      EXPECT_EQ(read(e.path()), "second edit");
    }
  }
  EXPECT_EQ(copies, 1);
}

TEST_F(EngineIntegrationTest, RenameMoveAndDelete) {
  auto renamed = modify("docs/a.txt", "docs", "b.txt", host::fields::kFilename, std::nullopt, {});
  ASSERT_TRUE(renamed.item) << renamed.error->what();
  EXPECT_EQ(renamed.item->itemIdentifier(), "docs/b.txt");
  EXPECT_TRUE(fs::exists(bucket / "docs" / "b.txt"));

  auto moved = modify("docs/b.txt", kRoot, "b.txt", host::fields::kParentItemIdentifier,
                      std::nullopt, {});
  ASSERT_TRUE(moved.item) << moved.error->what();
  EXPECT_EQ(moved.item->itemIdentifier(), "b.txt");

  auto folder = modify("docs", kRoot, "papers", host::fields::kFilename, std::nullopt, {},
                       "public.folder");
  ASSERT_TRUE(folder.item) << folder.error->what();
  EXPECT_EQ(folder.item->itemIdentifier(), "papers");
  EXPECT_TRUE(fs::is_directory(bucket / "papers"));

  for (const char* id : {"b.txt", "papers"}) {
    auto gone = host.call([&](RecordingHost& h) {
      return extension->deleteItem(id, {}, 0, {}, h.deleteHandler());
    });
    EXPECT_FALSE(gone.error) << id << ": " << gone.error->what();
  }
  EXPECT_EQ(names(kRoot), (std::vector<std::string>{"top.txt"}));

  auto root = host.call([&](RecordingHost& h) {
    return extension->deleteItem(kRoot, {}, 0, {}, h.deleteHandler());
  });
  ASSERT_TRUE(root.error);
  EXPECT_EQ(root.error->code, host::codes::kDeletionRejected);
  EXPECT_TRUE(fs::exists(bucket / "top.txt"));
}

TEST_F(EngineIntegrationTest, ChangesSinceAnAnchor) {
  auto enumerator = extension->enumerator(kWorkingSet, {});
  std::optional<host::SyncAnchor> anchor;
  enumerator->currentSyncAnchor([&](std::optional<host::SyncAnchor> a) { anchor = std::move(a); });
  ASSERT_TRUE(anchor);

  // One change through the extension, one by another program in the folder.
  modify("docs/a.txt", "docs", "renamed.txt", host::fields::kFilename, std::nullopt, {});
  std::ofstream(bucket / "outside.txt", std::ios::binary) << "written directly";

  std::vector<std::string> deleted, updated;
  host::SyncAnchor current = *anchor;
  for (int attempt = 0; attempt < 100; ++attempt) {
    RecordingChangeObserver observer;
    enumerator->enumerateChanges(observer, current);
    ASSERT_FALSE(observer.calls.empty());
    ASSERT_EQ(observer.calls.back().kind, ObserverCall::finishChanges)
        << (observer.calls.back().error ? observer.calls.back().error->what() : "");
    for (auto& call : observer.calls) {
      if (call.kind == ObserverCall::didDelete) {
        deleted.insert(deleted.end(), call.identifiers.begin(), call.identifiers.end());
      }
      for (auto& item : call.items) updated.push_back(item->itemIdentifier());
    }
    current = observer.calls.back().anchor;
    if (std::count(updated.begin(), updated.end(), "outside.txt")) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(std::count(deleted.begin(), deleted.end(), "docs/a.txt"));
  EXPECT_TRUE(std::count(updated.begin(), updated.end(), "docs/renamed.txt"));
  EXPECT_TRUE(std::count(updated.begin(), updated.end(), "outside.txt"));

  // A made-up anchor has expired.
  RecordingChangeObserver stale;
  enumerator->enumerateChanges(stale, "not-an-anchor");
  ASSERT_EQ(stale.calls.size(), 1u);
  EXPECT_EQ(stale.calls[0].error->code, host::codes::kSyncAnchorExpired);
}

}  // namespace
}  // namespace corvane::testing
