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

  std::string path;
  // For a folder: also compare everything below it (the folder appeared,
  // moved in, or may have changed in unknown ways).
  bool recursive = false;
  // The state an operation of the engine's own left the item in; looked up
  // when absent.
  std::optional<ItemState> state;
  // For a recursive target: everything below it, already walked; walked at
  // comparison when absent.
  std::optional<ItemList> below;
};

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
};

}  // namespace corvane::syncengine
