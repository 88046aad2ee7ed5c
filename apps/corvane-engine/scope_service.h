// One scope of the engine: the local folder that backs it, its change log,
// the tracker that fills the log and the watcher that notices changes made by
// other programs. Each member is one API operation; refusals throw ApiError.
//
// Owned by the Engine; shared by all request threads. Mutations of the scope
// run one at a time (exclusive lock); listings and fetches take the lock
// shared, so they never see half of a rename. Contents are copied into the
// folder before the lock is taken, so a large upload does not hold up others.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "change_log.h"
#include "change_tracker.h"
#include "engine/records.h"
#include "folder_watcher.h"
#include "platform/unique_fd.h"
#include "scope_folder.h"
#include "work_files.h"

namespace corvane::syncengine {

class ScopeService {
 public:
  // `logFile` is the scope's SQLite database; `retention` the number of
  // changes it keeps.
  ScopeService(Scope record, const std::filesystem::path& folder,
               const std::filesystem::path& logFile, std::int64_t retention);
  ~ScopeService();

  // Starts watching and logs what changed since the last run. Throws when the
  // folder cannot be watched or the log cannot be written.
  void start();
  void stop();

  const Scope& record() const { return record_; }
  const ScopeFolder& folder() const { return folder_; }

  std::vector<Entry> list(const std::string& dir);
  ChangeSet changes(const std::string& anchor);
  std::string mkdir(const std::string& path);
  std::vector<std::string> delete_(const std::vector<std::string>& keys);
  std::string rename(const std::string& key, const std::string& name);
  std::string move(const std::string& key, const std::string& dir);
  Entry fetch(const std::string& path, const std::string& dest);
  Entry upload(const std::string& path, const std::string& source, const std::string& version);
  Entry conflictCopy(const std::string& path, const std::string& source);

 private:
  // What an upload finds at its path.
  struct UploadTarget {
    std::optional<ItemState> current;  // the file there; none for a new file
    mode_t mode = 0;                   // the current file's
    bool stale = false;                // a file is there at another version than the upload's base
  };

  // The upload's source, open; 400 for one that is not a readable file.
  static platform::UniqueFd openSource(const std::string& source);
  // A copy of the open `source`, staged for the item at `path`.
  WorkFiles::Staged stage(int source, const std::string& path);
  void requireWritable() const;
  // What an upload of `path` based on `version` finds there; 409 for what
  // it can never replace (a folder, or a file that is gone). The caller holds
  // the scope's lock.
  UploadTarget checkUpload(const std::string& path, const std::string& version) const;
  // 409 for an upload whose base is not the current file's version.
  [[noreturn]] static void refuseStale(const std::string& path, const std::string& version,
                                       const UploadTarget& target);
  // The entry of the file at `path` when it is still at `state` and holds
  // exactly the bytes of `source`; nothing otherwise. Compares outside the
  // scope's lock.
  std::optional<Entry> alreadyHolds(const std::string& path, const ItemState& state,
                                    int source) const;
  // 400 unless `path` fits in a file-system path below the scope's folder.
  void checkFits(const std::string& path) const;
  // Creates the missing folders of `path` (itself included), appending each
  // to `created`; 409 when a file is in the way.
  void makeFolders(const std::string& path, std::vector<ChangeTracker::Target>& created);
  std::string relocate(const std::string& key, const std::string& targetFolder,
                       const std::string& name);
  Entry entryAt(const std::string& path) const;

  Scope record_;
  ChangeLog log_;
  WorkFiles workFiles_;  // before folder_, which asks it
  ScopeFolder folder_;
  ChangeTracker tracker_;
  mutable std::shared_mutex mutex_;
  std::unique_ptr<FolderWatcher> watcher_;
};

}  // namespace corvane::syncengine
