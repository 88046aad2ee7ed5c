// What the engine knows of its items, in the form every storage reports it
// and the change log keeps it: the state of one item, an item at its path, a
// change, and the answer to a changes query. Unlike the wire records of the
// library, whose times end at the microsecond, these keep the storage's
// own time to the nanosecond, and that is what the answers carry.
//
// Plain values; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::syncengine {

// The version text of every folder.
constexpr std::string_view kFolderVersion = "dir";

// Enough to describe one item and to tell whether it changed. The
// modification time is kept as seconds and nanoseconds apart: a single count
// of nanoseconds would overflow for times after 2262 or before 1677, and
// files may carry any time.
struct ItemState {
  bool dir = false;
  std::int64_t size = 0;
  std::int64_t mtime_sec = 0;
  std::int64_t mtime_nsec = 0;  // 0 to 999,999,999
  std::string version;

  // The version says all that counts about a file's contents (it already
  // holds the size and time on a disk, the ETag in a bucket); its time counts
  // too, since a bucket object's may change alone (a copy of the object onto
  // itself with other metadata keeps its ETag). Folders change only by
  // appearing or vanishing; their times move with every child and are not a
  // change of the folder.
  bool sameAs(const ItemState& other) const {
    if (dir || other.dir) return dir == other.dir;
    return size == other.size && version == other.version && mtime_sec == other.mtime_sec &&
           mtime_nsec == other.mtime_nsec;
  }

  static ItemState folder() {
    ItemState state;
    state.dir = true;
    state.version = kFolderVersion;
    return state;
  }
};

// One item at its scope path; its name is the last component of the path.
struct ItemEntry {
  std::string path;
  ItemState state;
};

struct ItemChange {
  ItemEntry entry;
  bool deleted = false;
};

// The answer to a changes query.
struct ItemChanges {
  std::string anchor;
  std::vector<ItemChange> changes;
  bool reset = false;
};

}  // namespace corvane::syncengine
