#include "corvane-mount/names.h"

#include <sys/stat.h>

#include <algorithm>

#include "corvane-mount/errno_map.h"
#include "corvane-mount/mount_internal.h"
#include "host/item_names.h"
#include "host/item_paths.h"

namespace corvane::mount {
namespace caps = host::capabilities;
using namespace internal;

Names::Names(HostBridge& bridge, ItemCache& cache, KernelNotes& notes, WorkingCopies& workingCopies,
             MountOptions options)
    : bridge_(bridge),
      cache_(cache),
      notes_(notes),
      workingCopies_(workingCopies),
      options_(options),
      started_(std::chrono::system_clock::now()) {}

NodeInfo Names::node(Ino ino) const { return nodeOf(cache_, ino); }

NodeInfo Names::folder(Ino ino) const {
  NodeInfo n = node(ino);
  if (!n.dir) throw Refusal(ENOTDIR);
  if (!n.attached) throw Refusal(ENOENT, "folder was removed");
  return n;
}

namespace {

// The errno for a name or path the shared rule refuses.
int refusalFor(const host::NameVerdict& verdict) {
  return verdict.kind == host::NameVerdict::Kind::tooLong ? ENAMETOOLONG : EINVAL;
}

// The longest key below `root` that the cache knows (a folder's with the
// "/" that marks it), less root's own path.
std::size_t deepestBelow(const ItemCache& cache, const NodeInfo& root) {
  std::size_t deepest = 0;
  std::vector<Ino> todo{root.ino};
  while (!todo.empty()) {
    const Ino ino = todo.back();
    todo.pop_back();
    for (const auto& c : cache.children(ino)) {
      deepest = std::max(deepest, c.path.size() - root.path.size() + (c.dir ? 1 : 0));
      if (c.dir) todo.push_back(c.ino);
    }
  }
  return deepest;
}

}  // namespace

std::optional<NodeInfo> Names::resolve(Ino parent, const std::string& name) {
  if (auto c = cache_.child(parent, name)) return c;
  NodeInfo p = folder(parent);
  // The engine holds no such name; asking would only earn a refusal.
  const std::string path = host::paths::child(p.path, name);
  if (auto verdict = host::checkItemPath(path); !verdict.ok()) {
    if (verdict.kind == host::NameVerdict::Kind::tooLong) throw Refusal(ENAMETOOLONG);
    return std::nullopt;
  }
  if (path.size() > pathRoom()) throw Refusal(ENAMETOOLONG);
  if (p.complete) return std::nullopt;
  std::shared_ptr<const host::Item> item;
  try {
    item = bridge_.item(host::paths::identifier(path));
  } catch (const host::Error& e) {
    if (isNoSuchItem(e)) return std::nullopt;
    throw;
  }
  if (auto c = cache_.child(parent, name)) return c;  // made meanwhile
  return record(parent, std::move(item));
}

void Names::requireNewName(const NodeInfo& parent, const std::string& name, bool folder,
                           const NodeInfo* moving) const {
  if (auto verdict = host::checkItemName(name); !verdict.ok()) {
    throw Refusal(refusalFor(verdict), "the name " + verdict.message);
  }
  const std::string path = host::paths::child(parent.path, name);
  if (auto verdict = host::checkItemPath(path); !verdict.ok()) {
    throw Refusal(refusalFor(verdict), "the path " + verdict.message);
  }
  const std::size_t room = pathRoom();
  if (path.size() + (folder ? 1 : 0) > room) {
    throw Refusal(ENAMETOOLONG, "its key would pass the store's limit of 1024 bytes");
  }
  if (moving && moving->dir && path.size() + deepestBelow(cache_, *moving) > room) {
    throw Refusal(ENAMETOOLONG, "a key below the folder would pass the store's limit");
  }
}

std::size_t Names::pathRoom() const {
  const std::size_t prefix = options_.keyPrefix.empty() ? 0 : options_.keyPrefix.size() + 1;
  return prefix >= host::kMaxPathBytes ? 0 : host::kMaxPathBytes - prefix;
}

NodeInfo Names::record(Ino parent, std::shared_ptr<const host::Item> item) {
  std::vector<Invalidation> notes;
  NodeInfo n = cache_.upsert(parent, std::move(item), &notes);
  notes_.note(notes);
  return n;
}

host::ItemList Names::refill(const NodeInfo& folder) {
  // A write-back may change a child while the listing is on its way.
  const std::uint64_t listedAfter = cache_.mark();
  auto items = bridge_.list(folder.identifier());
  std::vector<Invalidation> notes;
  cache_.fill(
      folder.ino, items, [this](Ino ino) { return workingCopies_.keepsLocalState(ino); }, &notes,
      listedAfter);
  notes_.note(notes);
  return items;
}

host::ItemCapabilities Names::capabilitiesOf(const NodeInfo& n) const {
  if (n.item) return n.item->capabilities();
  // A file not yet at the engine has what its folder's items have.
  if (auto p = cache_.get(n.parent); p && p->item) return p->item->capabilities();
  auto root = cache_.get(kRootIno);
  return root && root->item ? root->item->capabilities() : caps::kReading;
}

void Names::requireCapability(const NodeInfo& n, host::ItemCapabilities capability) const {
  const auto have = capabilitiesOf(n);
  if ((have & capability) == capability) return;
  throw Refusal((have & caps::kWriting) ? EACCES : EROFS);
}

Attributes Names::itemAttributes(const NodeInfo& n) const {
  Attributes a;
  a.ino = n.ino;
  a.dir = n.dir;
  a.uid = options_.uid;
  a.gid = options_.gid;
  a.blockSize = options_.blockSize;
  a.nlink = 1;
  const bool writable = capabilitiesOf(n) & caps::kWriting;
  a.mode = n.dir ? (S_IFDIR | (writable ? 0755 : 0555)) : (S_IFREG | (writable ? 0644 : 0444));
  auto when = std::chrono::time_point_cast<std::chrono::nanoseconds>(started_);
  if (n.item) {
    if (auto date = n.item->contentModificationDate()) when = *date;
    if (!n.dir) {
      a.size =
          static_cast<std::uint64_t>(std::max<std::int64_t>(0, n.item->documentSize().value_or(0)));
    }
  }
  auto ns = when.time_since_epoch().count();
  a.mtimeSeconds = ns / 1000000000;
  a.mtimeNanoseconds = ns % 1000000000;
  return a;
}

Attributes Names::attributesOf(const NodeInfo& node) const {
  // Called for every child of a listing: `node` is read again only when a
  // write-back raced with it.
  const NodeInfo* n = &node;
  std::optional<NodeInfo> fresh;
  for (;;) {
    if (n->dir) return itemAttributes(*n);
    const auto local = workingCopies_.localView(n->ino);
    if (local.copy) {
      // The working copy is what the user sees.
      Attributes a = itemAttributes(*n);
      a.size = static_cast<std::uint64_t>(local.copy->st_size);
      a.mtimeSeconds = local.copy->st_mtim.tv_sec;
      a.mtimeNanoseconds = local.copy->st_mtim.tv_nsec;
      return a;
    }
    if (!local.held) return itemAttributes(*n);
    // A write-back may have ended since `n` was read: its item is in the
    // cache before the working copy is let go, so read it again.
    auto again = cache_.get(n->ino);
    if (!again || !again->item || again->item == n->item) {
      Attributes a = itemAttributes(*n);
      // The time to the nanosecond where the engine's whole second agrees
      // with it, or the engine does not have it.
      if (local.modTime && (local.timeHereOnly || a.mtimeSeconds == local.modTime->seconds)) {
        a.mtimeSeconds = local.modTime->seconds;
        a.mtimeNanoseconds = local.modTime->nanoseconds;
      }
      return a;
    }
    fresh = std::move(again);
    n = &*fresh;
  }
}

std::string Names::pathFor(Ino ino, const char* name) const {
  auto n = cache_.get(ino);
  std::string path = n ? n->path : "#" + std::to_string(ino);
  if (name) path = path.empty() ? name : path + "/" + name;
  return path;
}

}  // namespace corvane::mount
