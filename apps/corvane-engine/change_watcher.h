// Notices changes that others make to a scope's storage and hands the paths
// to compare over to a callback: a folder watcher (inotify) for a local
// folder, a poller for a bucket. The callback runs on the watcher's own
// thread, one call at a time.
//
// Owned by ScopeService; made by the scope's storage (ScopeStorage::watcher).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "item_records.h"

namespace corvane::syncengine {

// Items keyed by scope path, in no particular order.
using ItemList = std::vector<std::pair<std::string, ItemState>>;

// A part of a scope to compare with what the change log last reported.
struct ChangeTarget {
  ChangeTarget(std::string path, bool recursive = false, std::optional<ItemState> state = {})
      : path(std::move(path)), recursive(recursive), state(std::move(state)) {}

  // The items of the folder `path` itself, not those further down, from
  // `load`: a folder that someone watches.
  static ChangeTarget children(std::string path, std::function<void(ChangeTarget&)> load);
  // The items whose order key (ChangeLog::snapshotRange) lies after `after`
  // and up to `through`, from `load`, which also sets `through` (nothing: to
  // the end): one page of a listing of the whole scope.
  static ChangeTarget range(std::string after, std::function<void(ChangeTarget&)> load);

  enum class Reach { item, children, range };

  std::string path;
  // For a folder: also compare everything below it (the folder appeared,
  // moved in, or may have changed in unknown ways).
  bool recursive = false;
  // The state an operation of the engine's own left the item in; looked up
  // when absent.
  std::optional<ItemState> state;
  // For a recursive target: everything below it, already walked; walked at
  // comparison when absent. For the other reaches: what `load` found; for
  // `children`, nothing when the folder is gone.
  std::optional<ItemList> below;
  Reach reach = Reach::item;
  // For a range: its ends.
  std::string after;
  std::optional<std::string> through;
  // Items the snapshot lacks are taken in without a change: what a new
  // log's first look at its storage finds was there before the log began.
  bool quietAdditions = false;
  // Fills `below` (and for a range `through`) from the storage, once before
  // the comparison and again whenever the comparison must be redone.
  std::function<void(ChangeTarget&)> load;
};

inline ChangeTarget ChangeTarget::children(std::string path,
                                           std::function<void(ChangeTarget&)> load) {
  ChangeTarget target(std::move(path));
  target.reach = Reach::children;
  target.load = std::move(load);
  return target;
}

inline ChangeTarget ChangeTarget::range(std::string after,
                                        std::function<void(ChangeTarget&)> load) {
  ChangeTarget target("");
  target.reach = Reach::range;
  target.after = std::move(after);
  target.load = std::move(load);
  return target;
}

class ChangeWatcher {
 public:
  using Callback = std::function<void(const std::vector<ChangeTarget>&)>;

  virtual ~ChangeWatcher() = default;
  // Starts noticing. A watcher that needs set-up (inotify watches) has it in
  // place when this returns, so that nothing done afterwards is missed.
  // Throws when changes cannot be watched.
  virtual void start() = 0;
  // Returns once the callback will not be called again.
  virtual void stop() = 0;
  // A host just listed the folder `path`, or changed something in it: a
  // watcher that looks at parts of the storage looks at it for a while.
  virtual void interestIn(const std::string& path) { (void)path; }
  // Whether the watcher finds on its own what changed while the engine was
  // down (a poller's comparisons of the whole storage); else the scope
  // compares the whole storage when it starts.
  virtual bool catchesUp() const { return false; }
};

}  // namespace corvane::syncengine
