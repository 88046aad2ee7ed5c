// MountFileSystem: folders and names (listing, mkdir, unlink, rmdir, rename).
#include "corvane-mount/mount_file_system.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <system_error>
#include <tuple>

#include "corvane-mount/errno_map.h"
#include "corvane-mount/mount_internal.h"
#include "items/item.h"
#include "platform/log.h"
#include "platform/uniform_types.h"
#include "platform/uuid.h"

namespace corvane::mount {
namespace fs = std::filesystem;
namespace caps = host::capabilities;
using namespace internal;

// ---- folders

std::vector<DirEntry> MountFileSystem::readdir(Ino dir) {
  NodeInfo n = folder(dir);
  if (!n.complete) {
    ChangeGate::Shared gate(gate_);
    n = folder(dir);
    if (!n.complete) {
      auto items = bridge_.list(n.identifier());
      std::vector<Invalidation> notes;
      cache_.fill(dir, items, [this](Ino ino) { return keepsLocalState(ino); }, &notes);
      note(notes);
    }
  }
  std::vector<DirEntry> out;
  for (auto& child : cache_.children(dir)) out.push_back(DirEntry{child.name, attributesOf(child)});
  return out;
}

bool MountFileSystem::listingCacheable(Ino dir) const {
  auto n = cache_.get(dir);
  return n && n->dir && n->complete;
}

Attributes MountFileSystem::mkdir(Ino parent, const std::string& name) {
  ChangeGate::Shared gate(gate_);
  NodeInfo p = folder(parent);
  requireCapability(p, caps::kAddingSubItems);
  if (resolve(parent, name)) throw Refusal(EEXIST);
  auto templ = std::make_shared<LocalItem>(Item::identifier(childPath(p.path, name)),
                                           p.identifier(), name,
                                           std::string(platform::kFolderType));
  auto item = bridge_.createItem(templ, std::nullopt);
  std::vector<Invalidation> notes;
  NodeInfo n = cache_.upsert(parent, item, &notes);
  note(notes);
  // The mount made it, so it holds nothing the mount does not know of.
  cache_.setComplete(n.ino, true);
  cache_.lookedUp(n.ino);
  return attributesOf(node(n.ino));
}

void MountFileSystem::removeRemote(const NodeInfo& n) {
  try {
    bridge_.deleteItem(n.identifier(), n.item ? n.item->itemVersion() : host::ItemVersion{});
  } catch (const host::Error& e) {
    if (!isNoSuchItem(e)) throw;  // gone already is what was asked
  }
}

void MountFileSystem::unlink(Ino parent, const std::string& name) {
  if (auto known = cache_.child(parent, name)) waitForWriteBacksBelow(*known);
  ChangeGate::Shared gate(gate_);
  folder(parent);
  auto n = resolve(parent, name);
  if (!n) throw Refusal(ENOENT);
  if (n->dir) throw Refusal(EISDIR);
  auto s = existingState(n->ino);
  if (s) {
    std::lock_guard lock(s->mutex);
    if (dropIfNeverSent(n->ino, *s)) {
      if (s->handles.load() == 0) {
        std::lock_guard path(s->pathMutex);
        ContentCache::discard(s->file);
        s->file.clear();
        s->inWork = false;
      }
      return;
    }
  }
  requireCapability(*n, caps::kDeleting);
  removeRemote(*n);
  cache_.detach(n->ino);
  if (s) {
    std::lock_guard lock(s->mutex);
    {
      // Writes still to come through open handles go with the file.
      std::lock_guard path(s->pathMutex);
      if (s->inWork) ContentCache::dropRecord(s->file);
    }
    if (s->handles.load() == 0) {
      std::lock_guard path(s->pathMutex);
      ContentCache::discard(s->file);
      s->file.clear();
      s->inWork = false;
    }
  } else if (n->item) {
    if (auto cached = contents_.find(n->identifier(), n->item->itemVersion().contentVersion)) {
      ContentCache::discard(*cached);
    }
  }
}

void MountFileSystem::rmdir(Ino parent, const std::string& name) {
  if (auto known = cache_.child(parent, name)) waitForWriteBacksBelow(*known);
  ChangeGate::Shared gate(gate_);
  folder(parent);
  auto n = resolve(parent, name);
  if (!n) throw Refusal(ENOENT);
  if (!n->dir) throw Refusal(ENOTDIR);
  if (n->ino == kRootIno) throw Refusal(EBUSY);
  requireCapability(*n, caps::kDeleting);
  // The engine removes a folder with everything in it: make sure that is
  // nothing, from a fresh listing rather than the cache.
  auto items = bridge_.list(n->identifier());
  std::vector<Invalidation> notes;
  cache_.fill(n->ino, items, [this](Ino ino) { return keepsLocalState(ino); }, &notes);
  note(notes);
  if (!items.empty() || !cache_.children(n->ino).empty()) throw Refusal(ENOTEMPTY);
  removeRemote(*n);
  cache_.detach(n->ino);
}

std::shared_ptr<const host::Item> MountFileSystem::modifyNamespace(const NodeInfo& n,
                                                                   Ino newParent,
                                                                   const std::string& newName) {
  const bool renamed = n.name != newName;
  const bool moved = n.parent != newParent;
  const std::string type = n.dir ? std::string(platform::kFolderType) : typeFor(newName);
  const host::ItemVersion base = n.item ? n.item->itemVersion() : host::ItemVersion{};
  auto step = [&](const std::string& fromPath, Ino toParent, const std::string& toName,
                  host::ItemFields fields) {
    NodeInfo to = node(toParent);
    auto changed = std::make_shared<LocalItem>(Item::identifier(fromPath), to.identifier(), toName, type);
    return bridge_.modifyItem(changed, base, fields, std::nullopt);
  };
  namespace f = host::fields;
  if (!renamed || !moved) {
    return step(n.path, newParent, newName, renamed ? f::kFilename : f::kParentItemIdentifier);
  }
  // The extension renames in place before it moves, so the new name must be
  // free in the old folder too; otherwise go round it.
  if (!resolve(n.parent, newName)) {
    return step(n.path, newParent, newName, f::kFilename | f::kParentItemIdentifier);
  }
  const std::string newFolder = node(newParent).path;
  if (!resolve(newParent, n.name)) {
    step(n.path, newParent, n.name, f::kParentItemIdentifier);
    return step(childPath(newFolder, n.name), newParent, newName, f::kFilename);
  }
  const std::string temp = "." + n.name + ".moving-" + shortTag();
  const std::string oldFolder = node(n.parent).path;
  step(n.path, n.parent, temp, f::kFilename);
  step(childPath(oldFolder, temp), newParent, temp, f::kParentItemIdentifier);
  return step(childPath(newFolder, temp), newParent, newName, f::kFilename);
}

void MountFileSystem::moveItem(const NodeInfo& n, Ino newParent, const std::string& newName) {
  auto result = modifyNamespace(n, newParent, newName);
  cache_.move(n.ino, newParent, newName);
  if (result) cache_.setItem(n.ino, result);
  refreshRecords(node(n.ino).path);
  if (n.dir) return;
  // Keep the cached contents findable under the new identifier.
  if (auto s = existingState(n.ino)) {
    std::lock_guard lock(s->mutex);
    std::lock_guard path(s->pathMutex);
    if (!s->inWork && !s->file.empty()) {
      auto target = contents_.fileFor(node(n.ino).identifier(), s->base.contentVersion);
      std::error_code ec;
      fs::rename(s->file, target, ec);
      if (!ec) s->file = target;
    }
  }
}

void MountFileSystem::rename(Ino parent, const std::string& name, Ino newParent,
                             const std::string& newName, unsigned flags) {
  if (flags & ~static_cast<unsigned>(RENAME_NOREPLACE)) throw Refusal(EINVAL);
  // Both names must be at the engine as the user left them.
  if (auto known = cache_.child(parent, name)) waitForWriteBacksBelow(*known);
  if (auto known = cache_.child(newParent, newName)) waitForWriteBacksBelow(*known);
  ChangeGate::Shared gate(gate_);
  folder(parent);
  NodeInfo np = folder(newParent);
  auto src = resolve(parent, name);
  if (!src) throw Refusal(ENOENT);
  if (parent == newParent && name == newName) return;
  if (src->dir) {
    for (Ino up = newParent; up; up = node(up).parent) {
      if (up == src->ino) throw Refusal(EINVAL);  // into itself
    }
  }
  if (name != newName) requireCapability(*src, caps::kRenaming);
  if (parent != newParent) requireCapability(*src, caps::kReparenting);
  requireCapability(np, caps::kAddingSubItems);

  auto target = resolve(newParent, newName);
  if (target && target->ino == src->ino) return;  // another spelling of the same name
  if (target) {
    if (flags & RENAME_NOREPLACE) throw Refusal(EEXIST);
    if (target->dir && !src->dir) throw Refusal(EISDIR);
    if (!target->dir && src->dir) throw Refusal(ENOTDIR);
    requireCapability(*target, caps::kDeleting);
  }

  if (!src->dir) {
    if (auto s = existingState(src->ino)) {
      std::unique_lock lock(s->mutex);
      bool local;
      {
        std::lock_guard path(s->pathMutex);
        local = s->isNew;
      }
      if (local && !target) {
        // Not at the engine yet: its creation will use the new name.
        cache_.move(src->ino, newParent, newName);
        std::lock_guard path(s->pathMutex);
        recordWork(src->ino, *s);
        return;
      }
      if (local) {
        // Replacing needs the new file at the engine first.
        commit(src->ino, *s);
        lock.unlock();
        src = node(src->ino);
      }
    }
  }

  if (!target) {
    moveItem(*src, newParent, newName);
    return;
  }
  if (target->dir) {
    auto items = bridge_.list(target->identifier());
    std::vector<Invalidation> notes;
    cache_.fill(target->ino, items, [this](Ino ino) { return keepsLocalState(ino); }, &notes);
    note(notes);
    if (!items.empty() || !cache_.children(target->ino).empty()) throw Refusal(ENOTEMPTY);
    removeRemote(*target);
    cache_.detach(target->ino);
    moveItem(*src, newParent, newName);
    return;
  }
  if (auto t = existingState(target->ino)) {
    std::lock_guard lock(t->mutex);
    if (dropIfNeverSent(target->ino, *t)) {
      moveItem(*src, newParent, newName);
      return;
    }
  }
  // Replacing a file (an editor's save): the old file steps aside, the new one
  // takes its name, then the old one goes. At no moment is neither at the
  // engine, and a failure puts the old one back.
  const std::string aside = "." + newName + ".replaced-" + shortTag();
  moveItem(*target, newParent, aside);
  NodeInfo old = node(target->ino);
  try {
    moveItem(*src, newParent, newName);
  } catch (...) {
    try {
      moveItem(old, newParent, newName);
    } catch (...) {
      logFailure("rename", old.path, std::current_exception());
    }
    throw;
  }
  try {
    removeRemote(old);
  } catch (...) {
    logFailure("rename", old.path, std::current_exception());
  }
  cache_.detach(old.ino);
  if (auto s = existingState(old.ino)) {
    std::lock_guard lock(s->mutex);
    {
      std::lock_guard path(s->pathMutex);
      if (s->inWork) ContentCache::dropRecord(s->file);
    }
    if (s->handles.load() == 0) {
      std::lock_guard path(s->pathMutex);
      if (!s->inWork) {
        ContentCache::discard(s->file);
        s->file.clear();
      }
    }
  }
}

// Called with the file's lock held. A file never sent to the engine only has
// to leave the cache (with its working copy's record); true when it was one.
bool MountFileSystem::dropIfNeverSent(Ino ino, FileState& s) {
  {
    std::lock_guard path(s.pathMutex);
    if (!s.isNew) return false;
  }
  cache_.detach(ino);
  s.committed = s.generation.load();
  std::lock_guard path(s.pathMutex);
  if (s.inWork) ContentCache::dropRecord(s.file);
  return true;
}

}  // namespace corvane::mount
