#include <gtest/gtest.h>

#include "host/identifiers.h"
#include "host/item_paths.h"
#include "items/item.h"

namespace corvane {
namespace {

const std::string kRoot(host::kRootContainerItemIdentifier);

Scope scopeWith(bool write, bool del) {
  Scope s;
  s.connection = "local";
  s.scope = 1;
  s.bucket = "photos-bucket";
  s.write = write;
  s.delete_ = del;
  return s;
}

Entry entry(std::string path, std::string name, bool dir, std::int64_t size = 0,
            std::int64_t seconds = 1715000000, std::string version = "v1") {
  return Entry{std::move(path), std::move(name), dir, size,
               Timestamp(std::chrono::seconds(seconds)), std::move(version)};
}

TEST(ItemScheme, IdentifierPathAndParent) {
  EXPECT_EQ(Item::identifier(""), kRoot);
  EXPECT_EQ(Item::identifier("photos/2024/a.jpg"), "photos/2024/a.jpg");
  EXPECT_EQ(Item::path(kRoot), "");
  EXPECT_EQ(Item::path("docs/a.txt"), "docs/a.txt");
  EXPECT_EQ(Item::path(host::kWorkingSetContainerItemIdentifier),
            std::string(host::kWorkingSetContainerItemIdentifier));
  EXPECT_EQ(Item::path(host::kTrashContainerItemIdentifier),
            std::string(host::kTrashContainerItemIdentifier));

  const std::vector<std::pair<std::string, std::string>> parents = {
      {"a/b/c", "a/b"}, {"a", ""}, {"", ""}, {"a/", "a"}, {"/a", ""}, {"a//b", "a/"}};
  for (const auto& [path, parent] : parents) {
    EXPECT_EQ(Item::parent(path), parent) << "parent of '" << path << "'";
  }
}

TEST(ItemScheme, ChildAndNameRebuildAPathFromItsParent) {
  for (const std::string path : {"a", "a/b", "docs/sub/x.txt", "a//b", "a/"}) {
    EXPECT_EQ(host::paths::child(host::paths::parent(path), host::paths::name(path)), path)
        << "path '" << path << "'";
  }
  EXPECT_EQ(host::paths::name("docs/sub/x.txt"), "x.txt");
  EXPECT_EQ(host::paths::child("", "x.txt"), "x.txt");
  EXPECT_EQ(host::paths::identifier(host::paths::child("", "x.txt")), "x.txt");
}

TEST(ItemScheme, ParentIdentifiers) {
  auto s = scopeWith(true, true);
  EXPECT_EQ(Item(entry("a.txt", "a.txt", false), s).parentItemIdentifier(), kRoot);
  EXPECT_EQ(Item(entry("docs/a.txt", "a.txt", false), s).parentItemIdentifier(), "docs");
  EXPECT_EQ(Item::root(s)->parentItemIdentifier(), kRoot);
  EXPECT_EQ(Item::root(s)->itemIdentifier(), kRoot);
}

TEST(ItemProperties, RootItem) {
  auto root = Item::root(scopeWith(true, true));
  EXPECT_EQ(root->filename(), "photos-bucket");
  EXPECT_EQ(root->contentType(), "public.folder");
  EXPECT_EQ(root->documentSize(), std::nullopt);
  EXPECT_EQ(root->contentModificationDate(), std::nullopt);
  EXPECT_EQ(root->itemVersion().contentVersion, "dir");
  EXPECT_EQ(root->itemVersion().metadataVersion, "photos-bucket 0.0");
  EXPECT_EQ(root->capabilities(), 47u);
}

TEST(ItemProperties, ContentTypes) {
  auto s = scopeWith(true, true);
  struct Case { Entry e; std::string type; };
  const std::vector<Case> cases = {
      {entry("photos.zip", "photos.zip", true), "public.folder"},
      {entry("Makefile", "Makefile", false), "public.data"},
      {entry("x.unknownext", "x.unknownext", false), "public.data"},
      {entry("a.JPG", "a.JPG", false), "public.jpeg"},
      {entry("r.pdf", "r.pdf", false), "com.adobe.pdf"},
      // The name decides, not the path.
      {entry("dir/file.pdf", "file.txt", false), "public.plain-text"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Item(c.e, s).contentType(), c.type) << c.e.name;
  }
}

TEST(ItemProperties, SizeDateAndFilename) {
  auto s = scopeWith(true, true);
  EXPECT_EQ(Item(entry("d", "d", true, 4096), s).documentSize(), std::nullopt);
  EXPECT_EQ(Item(entry("f", "f", false, 0), s).documentSize(), 0);
  EXPECT_EQ(Item(entry("f", "f", false, 123), s).documentSize(), 123);
  // The epoch is a real date for anything but the root.
  auto epoch = Item(entry("old.txt", "old.txt", false, 1, 0), s).contentModificationDate();
  ASSERT_TRUE(epoch.has_value());
  EXPECT_EQ(epoch->time_since_epoch().count(), 0);
  // The filename is the entry's name, not derived from the path.
  EXPECT_EQ(Item(entry("a/b.txt", "other.txt", false), s).filename(), "other.txt");
}

TEST(ItemProperties, Versions) {
  auto s = scopeWith(true, true);
  EXPECT_EQ(Item(entry("r.pdf", "report.pdf", false, 1, 1715000000, "abc"), s).itemVersion(),
            (host::ItemVersion{"abc", "report.pdf 1715000000.0"}));
  // Folders share one content version whatever the engine says.
  EXPECT_EQ(Item(entry("a", "a", true, 0, 1, "x1"), s).itemVersion().contentVersion, "dir");
  EXPECT_EQ(Item(entry("b", "b", true, 0, 1, "x2"), s).itemVersion().contentVersion, "dir");
  // Non-ASCII version bytes are carried exactly.
  EXPECT_EQ(Item(entry("f", "f", false, 0, 1, "v\xC3\xA9"), s).itemVersion().contentVersion,
            "v\xC3\xA9");
}

TEST(ItemProperties, SecondsText) {
  using std::chrono::milliseconds;
  using std::chrono::seconds;
  EXPECT_EQ(Item::secondsText(Timestamp(seconds(1715000000))), "1715000000.0");
  EXPECT_EQ(Item::secondsText(Timestamp(seconds(0))), "0.0");
  EXPECT_EQ(Item::secondsText(Timestamp(milliseconds(1500))), "1.5");
  EXPECT_EQ(Item::secondsText(Timestamp(seconds(-86400))), "-86400.0");
  // The shortest text that reads back, not a fixed number of places.
  EXPECT_EQ(Item::secondsText(Timestamp(milliseconds(1715000000123))), "1715000000.123");
  EXPECT_EQ(Item::secondsText(Timestamp(std::chrono::microseconds(100000))), "0.1");
  EXPECT_EQ(Item::secondsText(Timestamp(std::chrono::microseconds(50))), "5e-05");
  // Every year of the wire format is in range.
  EXPECT_EQ(Item::secondsText(Timestamp(seconds(-62135596800))), "-62135596800.0");
  EXPECT_EQ(Item::secondsText(Timestamp(seconds(253402300799))), "253402300799.0");
}

TEST(ItemProperties, CapabilitiesFollowTheScopeFlags) {
  struct Case { bool write, del; host::ItemCapabilities caps; };
  for (const auto& c : {Case{false, false, 1}, Case{true, false, 15}, Case{false, true, 33},
                        Case{true, true, 47}}) {
    auto s = scopeWith(c.write, c.del);
    EXPECT_EQ(Item::root(s)->capabilities(), c.caps);
    EXPECT_EQ(Item(entry("f.txt", "f.txt", false), s).capabilities(), c.caps);
    EXPECT_EQ(Item(entry("d", "d", true), s).capabilities(), c.caps);
  }
}

}  // namespace
}  // namespace corvane
