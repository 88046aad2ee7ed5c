// Names: the mount's names, folders and attributes, as the kernel asks for
// them, over the ItemCache.
//
// A name is made here only if the engine can take it: the shared item-name
// rule decides (host/item_names.h), so that a name the engine would refuse
// fails where it is made instead of looking written. Every scope must be
// able to live in a bucket below its key prefix, whose keys hold at most
// 1,024 bytes: the prefix and its "/" shorten the path limit, and a folder
// needs one byte more for the "/" that marks it.
//
// It turns inode numbers and (folder, name) pairs into nodes, asking the
// engine for a name the cache does not know unless the folder is complete,
// refills a folder from a fresh listing, and derives each node's attributes
// and capabilities (from its item, the local working copy or, for a file not
// yet at the engine, its folder). Refusals are thrown as Refusal (ENOENT,
// ENOTDIR, EACCES, EROFS).
//
// Owned by MountFileSystem; holds references to parts that outlive it and no
// state of its own besides the options. Thread-safe. resolve() and refill()
// record the engine's answer in the cache, so their callers hold the
// ChangeGate shared; refill() asks WorkingCopies::keepsLocalState which
// missing children stay, outside the item cache's lock.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "corvane-mount/host_bridge.h"
#include "corvane-mount/item_cache.h"
#include "corvane-mount/kernel_notes.h"
#include "corvane-mount/mount_types.h"
#include "corvane-mount/working_copies.h"

namespace corvane::mount {

class Names {
 public:
  Names(HostBridge& bridge, ItemCache& cache, KernelNotes& notes, WorkingCopies& workingCopies,
        MountOptions options);

  // The node of `ino`; ENOENT when the cache has none.
  NodeInfo node(Ino ino) const;
  // The node of an attached folder; ENOTDIR, ENOENT.
  NodeInfo folder(Ino ino) const;
  // The child `name` of `parent`, from the cache or the engine; nothing when
  // there is none. A name the engine could not hold is not asked for:
  // ENAMETOOLONG when it or its path is too long, nothing otherwise. The
  // caller holds the ChangeGate shared.
  std::optional<NodeInfo> resolve(Ino parent, const std::string& name);
  // Refuses a name the engine would not take for a new item `name` in the
  // folder `parent` (a new folder when `folder`): ENAMETOOLONG for a name or
  // path over its limit, EINVAL for a name that cannot be an item's. For an
  // item that moves there (`moving`), the paths the cache knows below it
  // must fit too.
  void requireNewName(const NodeInfo& parent, const std::string& name, bool folder,
                      const NodeInfo* moving = nullptr) const;
  // Records `item`, an answer of the engine, as the child of `parent`.
  NodeInfo record(Ino parent, std::shared_ptr<const host::Item> item);
  // Makes a fresh listing of the folder its children (children that local
  // state keeps stay) and returns it. The caller holds the ChangeGate shared.
  host::ItemList refill(const NodeInfo& folder);

  Attributes attributesOf(const NodeInfo& node) const;
  host::ItemCapabilities capabilitiesOf(const NodeInfo& node) const;
  // EACCES or EROFS unless the node has the capability.
  void requireCapability(const NodeInfo& node, host::ItemCapabilities capability) const;

  // The path for log lines: the node's path, "#<ino>" when unknown, and
  // `name` below it when given.
  std::string pathFor(Ino ino, const char* name = nullptr) const;

 private:
  // Attributes from the node's item alone.
  Attributes itemAttributes(const NodeInfo& node) const;
  // The longest path whose key the scope's bucket can hold.
  std::size_t pathRoom() const;

  HostBridge& bridge_;
  ItemCache& cache_;
  KernelNotes& notes_;
  WorkingCopies& workingCopies_;
  const MountOptions options_;
  // The time shown for items without one (the root, files not yet sent).
  const std::chrono::system_clock::time_point started_;
};

}  // namespace corvane::mount
