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
#include <shared_mutex>
#include <string>
#include <vector>

#include "change_log.h"
#include "change_tracker.h"
#include "engine/records.h"
#include "folder_watcher.h"
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
  // A copy of the upload's `source`, staged for the item at `path`; 400 for
  // a source that is not a readable file.
  WorkFiles::Staged stage(const std::string& source, const std::string& path);
  void requireWritable() const;
  // Refuses (409) an upload of `path` based on `version` that cannot succeed;
  // returns the mode of the file it replaces, 0 for a new file. The caller
  // holds the scope's lock.
  mode_t checkUpload(const std::string& path, const std::string& version) const;
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
  std::shared_mutex mutex_;
  std::unique_ptr<FolderWatcher> watcher_;
};

}  // namespace corvane::syncengine
