// One writer per path: an upload holds the path it writes until its
// contents are in place, so that two uploads of one file based on the same
// version are decided one after the other (the second then finds the first's
// version) while uploads of other paths go on in parallel.
//
// Owned by ScopeService; thread-safe. A path lock is taken before the
// scope's lock, never while holding it.
#pragma once

#include <condition_variable>
#include <mutex>
#include <set>
#include <string>

namespace corvane::syncengine {

class PathLocks {
 public:
  // Holds one path from construction (waiting while another holds it) to
  // destruction.
  class Held {
   public:
    Held(PathLocks& locks, std::string path);
    ~Held();
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

   private:
    PathLocks& locks_;
    std::string path_;
  };

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  std::set<std::string> held_;  // guarded by mutex_
};

}  // namespace corvane::syncengine
