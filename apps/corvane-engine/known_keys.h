// What a bucket scope learnt lately of what is at its paths, so that a
// question the engine can answer itself costs no round trip to the store:
// the folders it listed (every child, and whether the folder has its
// marker), the items it wrote or removed, and what it asked the store
// about one path. A path below a folder listed lately and not in that
// listing is known to be empty.
//
// What is known is trusted for `trust` after it was learnt, and only where a
// mistake is caught: writes stay conditional (a new file If-None-Match, a
// changed one If-Match), so a change of another machine's that is not known
// yet makes the write fail as a conflict rather than overwrite it. A
// listing learnt while a write was in flight does not undo what the write
// taught: each fact keeps the moment it was learnt, and a listing only
// replaces facts older than the moment it was asked.
//
// Bounded: past `capacity` paths everything is forgotten at once, which only
// costs asking the store again.
//
// Owned by BucketStorage. Thread-safe: one mutex guards the maps.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "item_records.h"

namespace corvane::syncengine {

class KnownKeys {
 public:
  using Clock = std::chrono::steady_clock;

  KnownKeys(Clock::duration trust, std::size_t capacity);

  // What is known of the item at `path` (not the root): an item's state, or
  // nothing there (the optional inside empty); unknown when the outer
  // optional is empty.
  std::optional<std::optional<ItemState>> find(const std::string& path) const;
  // Whether the folder `dir` lately had a key other than those of the items
  // known to be in it (its marker), or one of those items: whether it still
  // exists without writing its marker. Nothing when that is not known.
  std::optional<bool> keepsItself(const std::string& dir) const;

  // The folder `dir` held `entries` (its direct children) and, with
  // `marker`, its marker object, when the listing was asked at `asked`;
  // `exists` tells whether any key at all was below it.
  void listed(const std::string& dir, const std::vector<ItemEntry>& entries, bool marker,
              bool exists, Clock::time_point asked);
  // The item at `path` is now at `state`; its folders exist.
  void learnt(const std::string& path, const ItemState& state);
  // Nothing is at `path` now, nor below it.
  void gone(const std::string& path);
  // The folder `dir` was just made with its marker and holds nothing else.
  void madeFolder(const std::string& dir);
  // Whatever is known of `path` and below it is forgotten.
  void forget(const std::string& path);

 private:
  struct Fact {
    std::optional<ItemState> state;  // none: nothing there
    Clock::time_point at;
  };
  struct Listing {
    bool marker = false;
    Clock::time_point at;
    // False after a forget: nothing is known of the folder's other contents
    // until a listing asked after `at` answers.
    bool complete = true;
  };
  bool fresh(Clock::time_point at, Clock::time_point now) const { return now - at < trust_; }
  // Forgets everything when over capacity; the caller holds mutex_.
  void bound();
  void eraseBelow(const std::string& path);  // the caller holds mutex_

  const Clock::duration trust_;
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::map<std::string, Fact> facts_;        // by path; guarded by mutex_
  std::map<std::string, Listing> listings_;  // by folder path; guarded by mutex_
};

}  // namespace corvane::syncengine
