// FileTable: the FileState of every file the mount holds local contents of,
// and the files whose write-back failed and waits for a retry.
//
// Part of the working-copies room (with WorkingCopies and WriteBack, which
// share it). Owned by MountFileSystem. Thread-safe: one mutex guards the map
// and the set; it is taken before a FileState's pathMutex (forget) and never
// held across an engine request or a FileState's `mutex`.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
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
  // copy, unless a handle, a failed write-back or unsent writes (or an
  // unsent time) still need it.
  void forget(Ino ino);

  // The failed write-backs and when each is to be tried again.
  using Clock = std::chrono::steady_clock;
  void markPending(Ino ino, Clock::time_point retryAt = Clock::time_point());
  void clearPending(Ino ino);
  // Those whose time to try again has come.
  std::vector<Ino> pending(Clock::time_point now = Clock::time_point::max()) const;
  // Whether the file is not pending, or its time to try again has come.
  bool due(Ino ino, Clock::time_point now) const;
  std::size_t pendingCount() const;

 private:
  mutable std::mutex mutex_;
  std::unordered_map<Ino, std::shared_ptr<FileState>> files_;  // guarded by mutex_
  std::map<Ino, Clock::time_point> pending_;                   // guarded by mutex_
};

}  // namespace corvane::mount
