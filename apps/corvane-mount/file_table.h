// FileTable: the FileState of every file the mount holds local contents of,
// and the files whose write-back failed and waits for a retry.
//
// Part of the working-copies room (with WorkingCopies and WriteBack, which
// share it). Owned by MountFileSystem. Thread-safe: one mutex guards the map
// and the set; it is taken before a FileState's pathMutex (forget) and never
// held across an engine request or a FileState's `mutex`.
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "corvane-mount/file_state.h"

namespace corvane::mount {

class FileTable {
 public:
  // The file's state, made when it has none.
  std::shared_ptr<FileState> get(Ino ino);
  // The file's state; null when it has none.
  std::shared_ptr<FileState> find(Ino ino) const;
  std::vector<std::pair<Ino, std::shared_ptr<FileState>>> all() const;

  // The kernel has forgotten the file: its state goes, with its working
  // copy, unless a handle, a failed write-back or unsent writes still need
  // it.
  void forget(Ino ino);

  // The records of failed write-backs.
  void markPending(Ino ino);
  void clearPending(Ino ino);
  std::vector<Ino> pending() const;
  std::size_t pendingCount() const;

 private:
  mutable std::mutex mutex_;
  std::unordered_map<Ino, std::shared_ptr<FileState>> files_;  // guarded by mutex_
  std::set<Ino> pending_;                                      // guarded by mutex_
};

}  // namespace corvane::mount
