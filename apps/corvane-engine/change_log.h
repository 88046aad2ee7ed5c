// The change log of one scope, kept in its own SQLite database (WAL) in the
// Application Support folder. It holds:
//   - the log: every change in order, numbered by a sequence number;
//   - the snapshot: the last state of every item that the log has reported,
//     so that a restart can log what changed while the engine was down. It
//     is read where it is kept, a part at a time, never loaded whole: a
//     bucket may hold millions of items;
//   - the log's identity (random, made with the log) and the storage it
//     describes (a folder, a bucket and prefix); opening the log for other
//     storage starts a new log;
//   - the names of the engine's own work files in a local folder (WorkFiles),
//     recorded before they exist, so that a crash never leaves one behind
//     that the next start does not know to be the engine's;
//   - for a bucket, what the engine learnt of its objects' modification
//     times (ObjectTimes), so that a restart need not ask again, and how far
//     the comparison of the whole bucket has gone (BucketPoller).
// Anchors are "<identity>:<sequence number of the last change reported>".
// Only the newest `retention` changes are kept; older anchors get a reset.
//
// Owned by ScopeService. Thread-safe: every member takes the log's mutex.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "item_records.h"

namespace corvane::syncengine {

// The modification time learnt of one object of a bucket, as it was when it
// was learnt (its ETag without quotes, its LastModified in milliseconds,
// exact as a listing tells it or only to the second as HEAD does): the time
// of its "mtime" metadata, or none when it has no such metadata.
struct ObjectTimeRecord {
  std::string key;
  std::string etag;
  std::int64_t lastModified = 0;  // milliseconds since 1970
  bool lastModifiedExact = false;
  std::optional<std::pair<std::int64_t, std::int64_t>> mtime;  // seconds, nanoseconds
};

class ChangeLog {
 public:
  static constexpr std::size_t kMaxChangesPerAnswer = 10'000;

  // Opens or creates the database `file` for the storage named `storage`
  // (ScopeStorage::identity). Throws std::runtime_error when the database
  // cannot be used.
  ChangeLog(const std::filesystem::path& file, const std::string& storage, std::int64_t retention);
  ~ChangeLog();
  ChangeLog(const ChangeLog&) = delete;
  ChangeLog& operator=(const ChangeLog&) = delete;

  // True when this log was made just now (no earlier snapshot exists).
  bool isNew() const { return isNew_; }

  // The snapshot's state of the item at `path`; nothing when it has none.
  std::optional<ItemState> snapshotState(const std::string& path);
  // The snapshot's items directly in the folder `folder` ("" the root), in
  // path order. Costs a lookup per child, not per item below.
  std::vector<ItemEntry> snapshotChildren(const std::string& folder);
  // The snapshot's items below the folder `folder`, in path order.
  std::vector<ItemEntry> snapshotBelow(const std::string& folder);
  // The snapshot's items whose order key lies after `after` and up to
  // `through` (to the end without one), in that order. An item's order key
  // is its path, with a "/" after it for a folder: where the keys of a
  // bucket's listing put it (a folder's marker "a/" sorts after "a b").
  std::vector<ItemEntry> snapshotRange(const std::string& after,
                                       const std::optional<std::string>& through);

  // Small values kept beside the log, dropped with it when a new log starts:
  // the progress of a storage's own bookkeeping.
  std::optional<std::string> note(const std::string& name);
  void setNote(const std::string& name, const std::optional<std::string>& value);

  // Appends `changes` and applies the snapshot edits (a state to store, or
  // nothing to remove the path) in one transaction.
  using SnapshotEdit = std::pair<std::string, std::optional<ItemState>>;
  void append(const std::vector<ItemChange>& changes, const std::vector<SnapshotEdit>& edits);

  // The records of work files: scope paths, each committed in its own
  // transaction (which outlives a crash of the engine) before a file of that
  // name is made.
  void recordWorkFile(const std::string& path);
  void forgetWorkFile(const std::string& path);
  std::vector<std::string> workFiles();

  // The object times: all of them; stored (replacing those of the same
  // keys) and forgotten, each call in one transaction.
  std::vector<ObjectTimeRecord> objectTimes();
  void storeObjectTimes(const std::vector<ObjectTimeRecord>& records);
  void forgetObjectTimes(const std::vector<std::string>& keys);

  // What the engine found out about the storage and keeps across restarts
  // (see StoreCapabilities), by name; nothing when it was never kept.
  std::optional<std::string> storageNote(const std::string& name);
  void keepStorageNote(const std::string& name, const std::string& value);

  std::string currentAnchor();
  // The answer to a changes query for `anchor`: "latest", an anchor of this
  // log, or anything else (reset).
  ItemChanges changesSince(std::string_view anchor, std::size_t limit = kMaxChangesPerAnswer);

 private:
  void exec(const char* sql);
  int schemaVersion();
  std::optional<std::string> meta(std::string_view key);
  void setMeta(std::string_view key, const std::string& value);
  std::vector<ItemEntry> snapshotRows(const char* where, const std::vector<std::string>& bounds);
  std::string anchorFor(std::int64_t seq) const;
  void prune();
  // Runs `work` in one immediate transaction, rolled back when it throws;
  // the caller holds mutex_.
  template <typename Work>
  void inTransaction(Work work);

  std::mutex mutex_;
  sqlite3* db_ = nullptr;
  std::int64_t retention_;
  std::string logId_;
  std::int64_t lastSeq_ = 0;
  std::int64_t prunedThrough_ = 0;  // changes up to this number are gone
  bool isNew_ = false;
};

}  // namespace corvane::syncengine
