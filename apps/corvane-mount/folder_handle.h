// FolderHandle and EntryReplier: a folder as the kernel reads it, and the
// reply its entries go into.
//
// The kernel reads a listing in pieces by offset and starts again at 0 when
// it rewinds. At offset 0 MountFileSystem takes a snapshot into the handle
// ("." and ".." first, then the children with their attributes); later
// pieces come from the snapshot, so a listing read in pieces is one listing.
// The adapter owns a handle between opendir and releasedir; the kernel reads
// one handle from one request at a time, so it needs no lock. An EntryReplier
// is the adapter's reply buffer for one request.
#pragma once

#include <cstdint>
#include <vector>

#include "corvane-mount/item_cache.h"
#include "corvane-mount/mount_types.h"

namespace corvane::mount {

struct FolderHandle {
  Ino ino = 0;
  bool keepCache = false;         // the kernel may keep what it listed before
  std::vector<DirEntry> entries;  // the snapshot; "." and ".." first
};

class EntryReplier {
 public:
  virtual ~EntryReplier() = default;
  // Adds `entry`, with `next` as the offset of the entry after it; false
  // when the reply has no room left for it (then nothing was added).
  virtual bool add(const DirEntry& entry, std::uint64_t next) = 0;
  // Whether the reply hands the kernel each entry with its attributes (it
  // then holds a reference to it, as after a lookup).
  virtual bool withAttributes() const = 0;
};

}  // namespace corvane::mount
