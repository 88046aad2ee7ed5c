// One scope of the engine: its storage (a local folder or a bucket), its
// change log, the tracker that fills the log and the watcher that notices
// changes made by others. Each member is one API operation; refusals throw
// ApiError.
//
// Owned by the Engine; shared by all request threads. Changes of the
// scope's structure (mkdir, rename, move, the delete of a folder) run one at
// a time under the exclusive lock; listings, fetches, the placing of uploads
// and the deletes of files take the lock shared, so they never see half of a
// rename, while writes of different paths proceed in parallel, each with its
// store round trips (writes of one path wait for each other, see PathLocks).
// The tracker, and with it the change log, is touched under its own mutex,
// taken last and held only to log an outcome that is known: an operation
// logs what it did before it lets go of the scope's lock, so the log's order
// is the order in which operations took effect. Lock order: path locks (in
// path order), then the scope's lock, then the tracker's mutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "change_log.h"
#include "change_tracker.h"
#include "engine/records.h"
#include "item_records.h"
#include "path_locks.h"
#include "platform/unique_fd.h"
#include "scope_paths.h"
#include "scope_storage.h"

namespace corvane::syncengine {

class ScopeService {
 public:
  // `storage` may refer to `log`; both are owned from now on.
  ScopeService(Scope record, std::unique_ptr<ChangeLog> log, std::unique_ptr<ScopeStorage> storage);
  ~ScopeService();

  // Starts watching and logs what changed since the last run. Throws when the
  // storage cannot be watched or read, or the log cannot be written.
  void start();
  void stop();

  const Scope& record() const { return record_; }
  const ScopeStorage& storage() const { return *storage_; }

  std::vector<ItemEntry> list(const std::string& dir);
  ItemChanges changes(const std::string& anchor);
  std::string mkdir(const std::string& path);
  std::vector<std::string> delete_(const std::vector<std::string>& keys);
  std::string rename(const std::string& key, const std::string& name);
  std::string move(const std::string& key, const std::string& dir);
  // The whole file, or only the bytes of `span`, into a new file at `dest`.
  ItemEntry fetch(const std::string& path, const std::string& dest,
                  const std::optional<ByteSpan>& span = std::nullopt);
  ItemEntry upload(const std::string& path, const std::string& source, const std::string& version);
  // Keeps the bytes of `source` beside the file at `path`, under a conflict
  // name of this machine's; at `path` itself when nothing is there any more.
  // Bytes already kept there, or in a copy this machine made of the file,
  // make no new copy: the answer is the file that holds them.
  ItemEntry conflictCopy(const std::string& path, const std::string& source);
  // Gives the file at `path` the modification time `modTime` (an internet
  // date-time, with a fraction to the nanosecond) without sending its bytes
  // again; 409 unless the file is still at `version`.
  ItemEntry setModTime(const std::string& path, const std::string& modTime,
                       const std::string& version);

 private:
  // What an upload finds at its path.
  struct UploadTarget {
    std::optional<ItemState> current;  // the file there; none for a new file
    bool stale = false;                // a file is there at another version than the upload's base
  };
  // Marks the storage as being changed by the engine for its lifetime (see
  // noticed()).
  class Mutation;

  // The upload's source, open; 400 for one that is not a readable file.
  static platform::UniqueFd openSource(const std::string& source);
  void requireWritable() const;
  // 400 unless a new file or folder (`kind`) may be made at `path`.
  void checkCreatable(const std::string& path, std::string_view what,
                      ScopeStorage::Kind kind) const;
  // 400 unless the item may take the name `name` in `targetFolder`: checked
  // before the storage is asked anything.
  void checkRelocatable(const ItemKey& item, const std::string& targetFolder,
                        const std::string& name) const;
  // What an upload of `path` based on `version` finds there; 409 for what
  // it can never replace (a folder, or a file that is gone).
  UploadTarget checkUpload(const std::string& path, const std::string& version) const;
  // 409 for an upload whose base is not the current file's version.
  [[noreturn]] static void refuseStale(const std::string& path, const std::string& version,
                                       const UploadTarget& target);
  // Where the bytes of `source` are kept already, for a conflict copy of
  // `path`: the file at the path itself, or a copy of it this machine made.
  std::optional<ItemEntry> alreadyKept(const std::string& path, int source) const;
  std::string relocate(const std::string& key, const std::string& targetFolder,
                       const std::string& name);
  // Logs what one of the engine's own operations did, or what others did;
  // the caller holds the scope's lock (shared or exclusive).
  // Returns the paths of the changes logged.
  std::vector<std::string> logOwn(const std::vector<ChangeTarget>& targets);
  // Logs the changes others made, reported by the watcher.
  void noticed(const std::vector<ChangeTarget>& targets);
  // Tells the watcher that a host looks at the folder `folder`.
  void interestIn(const std::string& folder);

  Scope record_;
  std::unique_ptr<ChangeLog> log_;
  std::unique_ptr<ScopeStorage> storage_;
  ChangeTracker tracker_;
  PathLocks paths_;
  mutable std::shared_mutex mutex_;
  std::mutex trackerMutex_;  // guards tracker_
  // Raised when an operation of the engine's own begins and when it ends.
  std::atomic<std::uint64_t> mutations_{0};
  std::unique_ptr<ChangeWatcher> watcher_;
};

}  // namespace corvane::syncengine
