// How a scope maps onto the keys of its bucket. The item at path "a/b" is
// the key "PREFIX/a/b" ("a/b" when the scope is the whole bucket). A folder
// is a key prefix ending in "/": it exists while any key lies below it, be
// it a file's or the empty marker object "a/" that mkdir writes so that an
// empty folder persists.
//
// Keys that cannot be items are skipped, never served: a key whose name (a
// segment between "/") is empty (as in "a//b"), "." or "..", over 255
// bytes, not valid UTF-8, or otherwise refused by the item name rule
// (host/item_names.h). Its valid leading segments still make folders, as
// they do in a listing with delimiter. Where a key "f" and keys below "f/"
// both exist, the folder wins and the object "f" is skipped.
//
// Values and pure functions; any thread.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "change_watcher.h"
#include "item_records.h"
#include "s3/s3_types.h"

namespace corvane::syncengine {

class BucketKeys {
 public:
  // `prefix` without leading or trailing "/"; empty for the whole bucket.
  explicit BucketKeys(std::string prefix);

  const std::string& prefix() const { return prefix_; }
  // The key of the item at `path` (not the root).
  std::string key(std::string_view path) const;
  // The key prefix of the folder at `path`, ending in "/"; for the root the
  // scope's prefix and "/", or "" for the whole bucket.
  std::string folderKey(std::string_view path) const;

 private:
  std::string prefix_;
};

// The name, in the scope's root folder, of the object with which the engine
// finds out what the store does with conditional writes (StoreCapabilities).
// The item name rule refuses it (it holds a backslash), so no item can be
// written there, and listings pass it over without a word.
constexpr std::string_view kProbeName = ".corvane\\probe";

// The state of an object as the engine reports it: its ETag (without
// quotes) is the version; the time is its "mtime" metadata where the object
// has it and `object` carries it (HEAD, GET), else its LastModified (to the
// second, as HEAD and GET give it).
ItemState objectState(const s3::S3ObjectInfo& object);

// A modification time as S3 tools keep it in an object's "mtime" metadata:
// seconds since the epoch with a fraction, "981158400.123456789" (before
// 1970 negative: "-1.500000000" is 1.5 s before).
std::string mtimeMetadataText(std::int64_t sec, std::int64_t nsec);
// The time (seconds, nanoseconds from 0 to 999,999,999) of such a text; a
// whole number of seconds counts too, and a fraction past nine digits is
// cut off. Nothing for anything else.
std::optional<std::pair<std::int64_t, std::int64_t>> parseMtimeMetadata(std::string_view text);

// Why `name` cannot be the name of an item; nothing when it can.
std::optional<std::string> unfitName(std::string_view name);

// A key in double quotes for messages and log lines: control bytes, and
// every byte outside ASCII when the key is not valid UTF-8, as "\xNN".
std::string shownKey(std::string_view key);

// A key (or common prefix) that is not served, and why.
struct SkippedKey {
  std::string key;
  std::string reason;
};

// The direct children of one folder, from the pages of a listing of its
// folder key with delimiter "/". Owned by one caller.
class FolderListing {
 public:
  FolderListing(std::string folderPath, std::string folderKey);

  void add(const s3::S3ListPage& page);
  // Whether any key at all lies below the folder (its marker included): the
  // folder exists.
  bool anything() const { return anything_; }
  // Whether the folder's own marker object is among the keys.
  bool marked() const { return marked_; }
  // The children, sorted by name bytes, each once. Call once, after the last
  // page.
  std::vector<ItemEntry> entries(std::vector<SkippedKey>& skipped);

 private:
  std::string folderPath_;
  std::string folderKey_;
  bool anything_ = false;
  bool marked_ = false;
  std::vector<std::pair<std::string, ItemState>> files_;  // by name
  std::vector<std::string> folders_;                      // names
  std::vector<SkippedKey> skipped_;
};

// Every item below one folder, from the pages of a listing of its folder
// key without delimiter, with folders derived from the keys. Owned by one
// caller.
class TreeListing {
 public:
  TreeListing(std::string folderPath, std::string folderKey);

  void add(const s3::S3ListPage& page);
  // Appends the items below the folder. Call once, after the last page.
  void items(ItemList& out, std::vector<SkippedKey>& skipped);

 private:
  void addFolder(const std::string& path);

  std::string folderPath_;
  std::string folderKey_;
  ItemList files_;
  std::set<std::string> folders_;
  std::string lastParent_;  // keys come sorted: most share the previous key's folders
  std::vector<SkippedKey> skipped_;
};

}  // namespace corvane::syncengine
