// Turns the state of a scope's storage into change-log entries. It keeps the
// snapshot (the last reported state of every item) in memory, compares parts
// of the storage with it on request, and appends the differences to the
// ChangeLog together with the snapshot's edits. Every change, made through
// the API or by others, passes through `reconcile`, so the same change is
// never logged twice.
//
// Owned by ScopeService. Not thread-safe: the caller holds the scope's
// exclusive lock, except for `walkBelow`, which only reads the storage.
#pragma once

#include <string>
#include <vector>

#include "change_log.h"
#include "change_watcher.h"
#include "scope_storage.h"

namespace corvane::syncengine {

class ChangeTracker {
 public:
  ChangeTracker(const ScopeStorage& storage, ChangeLog& log);

  // Loads the snapshot and compares the whole storage with it. A new log
  // only records the snapshot: its first anchor starts after what is there.
  void start();

  using Target = ChangeTarget;
  // Compares each target with the snapshot and logs the differences in one
  // append: deletions of items that are gone (children before their folder),
  // then updates of new or changed items (folders before their children).
  // Returns the paths of the changes logged.
  std::vector<std::string> reconcile(const std::vector<Target>& targets);

  // Fills in `below` of each recursive target by walking the storage; may
  // run without the scope's lock.
  void walkBelow(std::vector<Target>& targets) const;

  std::size_t size() const { return snapshot_.size(); }

 private:
  struct Pending;
  void compare(const Target& target, Pending& pending);
  void removeBelow(const std::string& path, Pending& pending);
  void remove(const std::string& path, Pending& pending);
  void update(const std::string& path, const ItemState& state, Pending& pending);

  const ScopeStorage& storage_;
  ChangeLog& log_;
  Snapshot snapshot_;
};

}  // namespace corvane::syncengine
