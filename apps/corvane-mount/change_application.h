// ChangeApplication: brings the item cache in line with the engine's changes.
//
// The poller's thread calls pollOnce(): it asks for the working set's changes
// since the anchor (with a timeout of its own: the poller is also what finds
// a stalled engine, and what finds it back) and applies them to the item
// cache: deleted items leave
// it, updated ones replace what it held, new ones appear in the folders it
// knows, and the kernel is told (through KernelNotes) what it must drop. A
// file with local changes keeps its node whatever a batch says; its write-back
// meets the engine's version later. An expired anchor (or none, while the
// engine was away) resets the cache to what local state keeps and takes a new
// anchor.
//
// Owned by MountFileSystem; holds references to parts that outlive it.
// Thread-safe: the poll mutex guards the anchor and the last failure and
// keeps one poll at a time. A poll holds it, asks for the changes without
// the ChangeGate, then takes the gate exclusive to apply them; when a request
// came through the gate meanwhile (its answer may be newer than the batch)
// it asks again, and after a few such rounds asks under the gate, so no
// request's answer lands on top of an older batch. Under the gate it takes
// the item cache's lock,
// the file table's and a FileState's pathMutex (through WorkingCopies), never
// a FileState's `mutex`.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "corvane-mount/change_gate.h"
#include "corvane-mount/host_bridge.h"
#include "corvane-mount/item_cache.h"
#include "corvane-mount/kernel_notes.h"
#include "corvane-mount/working_copies.h"

namespace corvane::mount {

class ChangeApplication {
 public:
  // Takes the engine's current anchor: whatever is listed later is at least
  // this fresh.
  ChangeApplication(HostBridge& bridge, ItemCache& cache, ChangeGate& gate, KernelNotes& notes,
                    WorkingCopies& workingCopies, HostBridge::Timeout timeout);
  ChangeApplication(const ChangeApplication&) = delete;
  ChangeApplication& operator=(const ChangeApplication&) = delete;

  // One round of changes; true when more changes wait at once.
  bool pollOnce();
  std::optional<host::SyncAnchor> anchor() const;

 private:
  using ItemPtr = std::shared_ptr<const host::Item>;
  using Asked = std::map<host::ItemIdentifier, ItemPtr>;

  void apply(HostBridge::Changes changes);
  // For an item both deleted and updated in one batch: its state now, asked
  // once per batch; null when it is gone (its deletion is then applied).
  ItemPtr lastWord(const ItemPtr& item, Asked& asked);
  void applyDeletion(const host::ItemIdentifier& identifier);
  void applyUpdate(ItemPtr item);
  // An update of a node the cache holds.
  void updateNode(const NodeInfo& node, ItemPtr item, bool dir);
  // An item the cache does not hold, in a folder it knows.
  void addNode(const ItemPtr& item);
  // Has the nearest folder above `missing` (a path the cache does not hold
  // as a folder) listed again at its next use.
  void relistAbove(const std::string& missing);
  // Whether local state keeps the node or anything below it.
  bool subtreeKeeps(Ino root) const;
  // Drops all knowledge but what local state keeps.
  void resetCache();

  // Asks for the changes since the anchor. Nothing when the poll ends here
  // (the failure is reported, or the cache was reset to a new anchor, under
  // the gate, taken unless `gateHeld`).
  std::optional<HostBridge::Changes> fetch(bool gateHeld);

  HostBridge& bridge_;
  const HostBridge::Timeout timeout_;
  ItemCache& cache_;
  ChangeGate& gate_;
  KernelNotes& notes_;
  WorkingCopies& workingCopies_;

  mutable std::mutex pollMutex_;
  std::optional<host::SyncAnchor> anchor_;  // guarded by pollMutex_
  std::string pollError_;                   // the failure last logged; guarded by pollMutex_
};

}  // namespace corvane::mount
