// Turns the state of a scope's folder into change-log entries. It keeps the
// snapshot (the last reported state of every item) in memory, compares parts
// of the folder with it on request, and appends the differences to the
// ChangeLog together with the snapshot's edits. Every change, made through
// the API or by another program, passes through `reconcile`, so the same
// change is never logged twice.
//
// Owned by ScopeService. Not thread-safe: the caller holds the scope's
// exclusive lock.
#pragma once

#include <string>
#include <vector>

#include "change_log.h"
#include "scope_folder.h"

namespace corvane::syncengine {

class ChangeTracker {
 public:
  ChangeTracker(const ScopeFolder& folder, ChangeLog& log);

  // Loads the snapshot and compares the whole folder with it. A new log only
  // records the snapshot: its first anchor starts after what is there.
  void start();

  struct Target {
    std::string path;
    // For a folder: also compare everything below it (the folder appeared,
    // moved in, or may have changed in unknown ways).
    bool recursive = false;
  };
  // Compares each target with the snapshot and logs the differences in one
  // append: deletions of items that are gone (children before their folder),
  // then updates of new or changed items (folders before their children).
  void reconcile(const std::vector<Target>& targets);

  std::size_t size() const { return snapshot_.size(); }

 private:
  struct Pending;
  void compare(const Target& target, Pending& pending);
  void removeBelow(const std::string& path, Pending& pending);
  void remove(const std::string& path, Pending& pending);
  void update(const std::string& path, const ItemState& state, Pending& pending);

  const ScopeFolder& folder_;
  ChangeLog& log_;
  Snapshot snapshot_;
};

}  // namespace corvane::syncengine
