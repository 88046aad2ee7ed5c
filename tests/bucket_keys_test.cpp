// How a bucket's keys become a scope's items: folder listings (with
// delimiter) and whole-tree listings (without) must agree on which keys are
// items, which make folders and which are skipped, however the store pages
// and orders them; and how an object's modification time is read and kept.
#include "bucket_keys.h"
#include "object_times.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "support/test_env.h"

namespace corvane::syncengine {
namespace {

s3::S3ObjectInfo object(std::string key, std::uint64_t size = 1) {
  s3::S3ObjectInfo info;
  info.key = std::move(key);
  info.size = size;
  info.etag = "\"e-" + info.key + "\"";
  return info;
}

// What a store answers to a listing of `prefix`: every key below it, or with
// delimiter "/" the direct ones and the common prefixes, `perPage` a page.
std::vector<s3::S3ListPage> pages(std::vector<std::string> keys, const std::string& prefix,
                                  bool delimited, std::size_t perPage = 2) {
  std::sort(keys.begin(), keys.end());
  std::vector<s3::S3ListPage> out(1);
  std::set<std::string> prefixes;
  auto room = [&] {
    if (out.back().objects.size() + out.back().commonPrefixes.size() >= perPage) out.emplace_back();
  };
  for (const std::string& key : keys) {
    if (!key.starts_with(prefix)) continue;
    const std::size_t slash = key.find('/', prefix.size());
    if (delimited && slash != std::string::npos) {
      const std::string common = key.substr(0, slash + 1);
      if (!prefixes.insert(common).second) continue;
      room();
      out.back().commonPrefixes.push_back(common);
      continue;
    }
    room();
    out.back().objects.push_back(object(key));
  }
  return out;
}

struct Listed {
  std::vector<std::string> items;    // folders end in "/"
  std::vector<std::string> skipped;  // keys
};

Listed folderListing(const std::vector<std::string>& keys, const BucketKeys& map,
                     const std::string& dir) {
  FolderListing listing(dir, map.folderKey(dir));
  for (const auto& page : pages(keys, map.folderKey(dir), true)) listing.add(page);
  std::vector<SkippedKey> skipped;
  Listed out;
  for (const ItemEntry& e : listing.entries(skipped)) {
    out.items.push_back(e.state.dir ? e.path + "/" : e.path);
  }
  for (const auto& s : skipped) out.skipped.push_back(s.key);
  std::sort(out.skipped.begin(), out.skipped.end());
  return out;
}

Listed treeListing(const std::vector<std::string>& keys, const BucketKeys& map,
                   const std::string& dir) {
  TreeListing listing(dir, map.folderKey(dir));
  for (const auto& page : pages(keys, map.folderKey(dir), false)) listing.add(page);
  ItemList items;
  std::vector<SkippedKey> skipped;
  listing.items(items, skipped);
  Listed out;
  for (const auto& [path, state] : items) out.items.push_back(state.dir ? path + "/" : path);
  std::sort(out.items.begin(), out.items.end());
  for (const auto& s : skipped) out.skipped.push_back(s.key);
  std::sort(out.skipped.begin(), out.skipped.end());
  return out;
}

TEST(BucketKeysTest, PathsMapOntoKeysBelowThePrefix) {
  const BucketKeys scoped("team/docs");
  EXPECT_EQ(scoped.key("a/b.txt"), "team/docs/a/b.txt");
  EXPECT_EQ(scoped.folderKey("a"), "team/docs/a/");
  EXPECT_EQ(scoped.folderKey(""), "team/docs/");
  const BucketKeys whole("");
  EXPECT_EQ(whole.key("a/b.txt"), "a/b.txt");
  EXPECT_EQ(whole.folderKey(""), "");
}

TEST(BucketKeysTest, TheStatesVersionIsTheBareETagAndTheTimeIsWholeSeconds) {
  s3::S3ObjectInfo info = object("k", 42);
  info.etag = "\"abc-3\"";
  info.lastModified = s3::Timestamp(std::chrono::milliseconds(1'715'000'000'789));
  const ItemState state = objectState(info);
  EXPECT_EQ(state.version, "abc-3");
  EXPECT_EQ(state.size, 42);
  EXPECT_EQ(state.mtime_sec, 1'715'000'000);
  EXPECT_EQ(state.mtime_nsec, 0);
}

// The "mtime" metadata of S3 tools: seconds since 1970 with a fraction,
// negative before 1970; whole seconds (as some tools write them) count too.
TEST(BucketKeysTest, MtimeMetadataIsSecondsWithAFraction) {
  struct Case {
    std::int64_t sec, nsec;
    std::string text;
  };
  const std::vector<Case> written = {
      {981173106, 123456789, "981173106.123456789"},
      {0, 0, "0.000000000"},
      {-2, 500'000'000, "-1.500000000"},
      {-2, 0, "-2.000000000"},
      {-1, 999'999'999, "-0.000000001"},
  };
  for (const Case& c : written) {
    EXPECT_EQ(mtimeMetadataText(c.sec, c.nsec), c.text);
    EXPECT_EQ(parseMtimeMetadata(c.text), (std::pair{c.sec, c.nsec})) << c.text;
  }
  const std::vector<std::pair<std::string, std::optional<std::pair<std::int64_t, std::int64_t>>>>
      read = {
          {"1700000000", std::pair<std::int64_t, std::int64_t>{1700000000, 0}},
          {" 12.5 ", std::pair<std::int64_t, std::int64_t>{12, 500'000'000}},
          {"1.1234567899", std::pair<std::int64_t, std::int64_t>{1, 123456789}},
          {"", std::nullopt},
          {"12.", std::nullopt},
          {".5", std::nullopt},
          {"1e9", std::nullopt},
          {"2001-02-03", std::nullopt},
          {"99999999999999999999", std::nullopt},
      };
  for (const auto& [text, time] : read) EXPECT_EQ(parseMtimeMetadata(text), time) << text;
}

// HEAD and GET tell the metadata: its time wins over LastModified. One
// without it, or with one no tool could have written, keeps LastModified.
TEST(BucketKeysTest, TheMetadatasTimeWinsWhereTheObjectHasOne) {
  s3::S3ObjectInfo info = object("k");
  info.lastModified = s3::Timestamp(std::chrono::seconds(1'715'000'000));
  for (const auto& [metadata, sec, nsec] :
       std::vector<std::tuple<std::optional<std::map<std::string, std::string>>, std::int64_t,
                              std::int64_t>>{
           {std::nullopt, 1'715'000'000, 0},
           {std::map<std::string, std::string>{}, 1'715'000'000, 0},
           {std::map<std::string, std::string>{{"mtime", "981173106.5"}}, 981173106, 500'000'000},
           {std::map<std::string, std::string>{{"mtime", "soon"}}, 1'715'000'000, 0},
       }) {
    info.metadata = metadata;
    const ItemState state = objectState(info);
    EXPECT_EQ(state.mtime_sec, sec);
    EXPECT_EQ(state.mtime_nsec, nsec);
  }
}

// What was learnt of an object counts only while it is as it was (ETag and
// LastModified), and outlives a restart in the scope's database, unless the
// database starts over for other storage. What HEAD told (a LastModified to
// the second) counts for its whole second until a listing tells the
// millisecond; from then on another millisecond is another object.
TEST(ObjectTimesTest, KnownWhileTheObjectIsUnchangedAndKeptAcrossRestarts) {
  testing::TestEnvironment env;
  const auto file = env.root() / "changes.sqlite";
  const ObjectTimes::Time time{981173106, 123456789};
  auto mtimeOf = [](const std::optional<ObjectTimeRecord>& r) -> std::optional<ObjectTimes::Time> {
    if (!r) return std::nullopt;
    return r->mtime;
  };
  {
    ChangeLog log(file, "s3 bucket", 1000);
    ObjectTimes times;
    times.keepIn(log);
    times.learn({{"p/a.txt", "e1", 100'250, true, time},
                 {"p/plain.txt", "e2", 200'000, false, std::nullopt},
                 {"p/gone.txt", "e3", 300'000, false, time}});
    EXPECT_EQ(mtimeOf(times.find("p/a.txt", "e1", 100'250, true)), time);
    EXPECT_FALSE(times.find("p/a.txt", "e9", 100'250, true)) << "another ETag";
    EXPECT_FALSE(times.find("p/a.txt", "e1", 100'750, true)) << "copied onto itself meanwhile";
    EXPECT_TRUE(times.find("p/a.txt", "e1", 100'000, false)) << "HEAD's second";
    EXPECT_FALSE(times.find("p/other.txt", "e1", 100'250, true));
    const auto plain = times.find("p/plain.txt", "e2", 200'999, true);
    ASSERT_TRUE(plain) << "known to the second";
    EXPECT_FALSE(plain->mtime) << "known to have no time of its own";
    EXPECT_FALSE(times.find("p/plain.txt", "e2", 201'000, true));
    // A listing tells the millisecond.
    ObjectTimeRecord exact = *plain;
    exact.lastModified = 200'999;
    exact.lastModifiedExact = true;
    times.learn({exact});
    EXPECT_FALSE(times.find("p/plain.txt", "e2", 200'500, true));
    times.learn({{"p/plain.txt", "e2", 200'000, false, std::nullopt}});
    EXPECT_TRUE(times.find("p/plain.txt", "e2", 200'999, true)) << "HEAD does not undo it";
    times.forget({"p/gone.txt"});
  }
  {
    ChangeLog log(file, "s3 bucket", 1000);
    ObjectTimes times;
    times.keepIn(log);
    EXPECT_EQ(mtimeOf(times.find("p/a.txt", "e1", 100'250, true)), time);
    EXPECT_TRUE(times.find("p/plain.txt", "e2", 200'999, true));
    EXPECT_FALSE(times.find("p/plain.txt", "e2", 200'500, true));
    EXPECT_FALSE(times.find("p/gone.txt", "e3", 300'000, false));
    // Learnt anew: the new state replaces the old.
    times.learn({{"p/a.txt", "e4", 400'000, true, std::nullopt}});
  }
  {
    ChangeLog log(file, "s3 bucket", 1000);
    ObjectTimes times;
    times.keepIn(log);
    EXPECT_FALSE(times.find("p/a.txt", "e1", 100'250, true));
    EXPECT_TRUE(times.find("p/a.txt", "e4", 400'000, true));
  }
  ChangeLog other(file, "s3 another-bucket", 1000);
  ObjectTimes times;
  times.keepIn(other);
  EXPECT_FALSE(times.find("p/a.txt", "e4", 400'000, true));
}

TEST(BucketKeysTest, FolderAndTreeListingsAgreeOnItemsAndSkippedKeys) {
  struct Case {
    const char* what;
    std::vector<std::string> keys;
    std::vector<std::string> children;  // of the scope's root
    std::vector<std::string> tree;      // everything below the root
    std::vector<std::string> skipped;   // by the tree listing
  };
  const std::string tooLong(256, 'n');
  const std::vector<Case> cases = {
      {"files, a marker and a folder made only by deeper keys",
       {"p/a.txt", "p/empty/", "p/deep/x/y.txt"},
       {"a.txt", "deep/", "empty/"},
       {"a.txt", "deep/", "deep/x/", "deep/x/y.txt", "empty/"},
       {}},
      {"names sort before their folder's \"/\"",
       {"p/a-b", "p/a.c", "p/a/x", "p/a/"},
       {"a/", "a-b", "a.c"},
       {"a-b", "a.c", "a/", "a/x"},
       {}},
      {"a folder wins over an object of its name",
       {"p/f", "p/f/g"},
       {"f/"},
       {"f/", "f/g"},
       {"p/f"}},
      {"keys that cannot be items",
       {"p/a//b", "p/./c", "p/" + tooLong, "p/back\\slash", "p/ok"},
       {"a/", "ok"},
       {"a/", "ok"},
       {"p/" + tooLong, "p/./c", "p/a//b", "p/back\\slash"}},
      {"keys outside the prefix and the prefix's own marker",
       {"p/", "p", "pq/x", "p/in"},
       {"in"},
       {"in"},
       {}},
  };
  const BucketKeys map("p");
  for (const Case& c : cases) {
    const Listed folder = folderListing(c.keys, map, "");
    EXPECT_EQ(folder.items, c.children) << c.what;
    const Listed tree = treeListing(c.keys, map, "");
    EXPECT_EQ(tree.items, c.tree) << c.what;
    std::vector<std::string> skipped = c.skipped;
    std::sort(skipped.begin(), skipped.end());
    EXPECT_EQ(tree.skipped, skipped) << c.what;
    // Every key the folder listing skips is one the tree skips (or, for a
    // common prefix, the start of one).
    for (const std::string& key : folder.skipped) {
      EXPECT_TRUE(std::any_of(tree.skipped.begin(), tree.skipped.end(),
                              [&](const std::string& t) { return t.starts_with(key); }))
          << c.what << ": " << key;
    }
  }
}

TEST(BucketKeysTest, ListingsOfASubfolderNameItsItemsByScopePath) {
  const std::vector<std::string> keys = {"p/d/a.txt", "p/d/s/", "p/d/s/t.txt", "p/e.txt"};
  const BucketKeys map("p");
  EXPECT_EQ(folderListing(keys, map, "d").items, (std::vector<std::string>{"d/a.txt", "d/s/"}));
  EXPECT_EQ(treeListing(keys, map, "d").items,
            (std::vector<std::string>{"d/a.txt", "d/s/", "d/s/t.txt"}));
  FolderListing missing("nope", map.folderKey("nope"));
  for (const auto& page : pages(keys, map.folderKey("nope"), true)) missing.add(page);
  EXPECT_FALSE(missing.anything());
}

}  // namespace
}  // namespace corvane::syncengine
