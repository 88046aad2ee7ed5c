// Turns the state of a scope's storage into change-log entries. It compares
// parts of the storage with the snapshot (the last reported state of every
// item, which the ChangeLog keeps on disk and this class reads a part at a
// time) and appends the differences to the log together with the
// snapshot's edits. Every change, made through the API or by others, passes
// through `reconcile`, so the same change is never logged twice.
//
// Owned by ScopeService. Not thread-safe: the caller holds the scope's
// exclusive lock, except for `load`, which only reads the storage.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "change_log.h"
#include "change_watcher.h"
#include "scope_storage.h"

namespace corvane::syncengine {

class ChangeTracker {
 public:
  ChangeTracker(const ScopeStorage& storage, ChangeLog& log);

  // With `compareWhole`, compares the whole storage with the snapshot now;
  // a new log then only records the snapshot: its first anchor starts after
  // what is there. Without, the scope's watcher catches up on its own.
  void start(bool compareWhole);

  using Target = ChangeTarget;
  // Compares each target with the snapshot and logs the differences in one
  // append: deletions of items that are gone (children before their folder),
  // then updates of new or changed items (folders before their children).
  // Returns the paths of the changes logged.
  std::vector<std::string> reconcile(const std::vector<Target>& targets);

  // Fills in what each target is compared with: runs its `load`, or walks
  // the storage below a recursive target; may run without the scope's lock.
  void load(std::vector<Target>& targets) const;

 private:
  struct Pending;
  void compare(const Target& target, Pending& pending);
  void compareItem(const Target& target, Pending& pending);
  void compareChildren(const Target& target, Pending& pending);
  void compareRange(const Target& target, Pending& pending);
  // The snapshot as this reconciliation has edited it so far.
  std::optional<ItemState> known(const std::string& path, const Pending& pending);
  std::vector<ItemEntry> knownBelow(const std::string& folder, const Pending& pending);
  std::vector<ItemEntry> knownChildren(const std::string& folder, const Pending& pending);
  std::vector<ItemEntry> knownRange(const Target& range, const Pending& pending);
  // Removes the item at `path` first when it is of the other kind than
  // `state` (a folder with everything in it).
  void replaceKind(const std::string& path, const ItemState& state, Pending& pending);
  void removeBelow(const std::string& path, Pending& pending);
  void remove(const std::string& path, Pending& pending);
  void update(const std::string& path, const ItemState& state, Pending& pending,
              bool quiet = false);

  const ScopeStorage& storage_;
  ChangeLog& log_;
};

}  // namespace corvane::syncengine
