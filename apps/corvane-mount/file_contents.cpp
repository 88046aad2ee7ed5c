// MountFileSystem: file contents (download, working copies, write-back).
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
#include "host/item_names.h"
#include "items/item.h"
#include "platform/log.h"
#include "platform/uniform_types.h"
#include "platform/uuid.h"

namespace corvane::mount {
namespace fs = std::filesystem;
namespace caps = host::capabilities;
using namespace internal;

// ---- files

void MountFileSystem::ensureContent(const NodeInfo& n, FileState& s, bool& staleAttributes) {
  {
    std::lock_guard path(s.pathMutex);
    if (s.inWork || s.isNew) return;
  }
  if (!n.item) throw Refusal(ENOENT);
  const std::string want = n.item->itemVersion().contentVersion;
  std::error_code ec;
  if (!s.file.empty() && s.base.contentVersion == want && fs::exists(s.file, ec)) return;
  const auto id = n.identifier();
  fs::path file;
  std::shared_ptr<const host::Item> item = n.item;
  bool downloaded = false;
  if (auto found = contents_.find(id, want)) {
    file = *found;
  } else {
    HostBridge::Fetched fetched;
    try {
      fetched = bridge_.fetchContents(id);
    } catch (const host::Error& e) {
      if (!isNoSuchItem(e)) throw;
      // Gone at the engine, though no change said so: forget it here too.
      if (n.attached) {
        cache_.detach(n.ino);
        note({Invalidation::entry, n.parent, n.name});
        note({Invalidation::contents, n.parent, {}});
      }
      throw Refusal(ENOENT, "no longer at the engine");
    }
    item = fetched.item;
    downloaded = true;
    try {
      file = contents_.adopt(fetched.file, id, item->itemVersion().contentVersion);
    } catch (...) {
      ContentCache::discard(fetched.file);
      throw;
    }
  }
  {
    std::lock_guard path(s.pathMutex);
    if (!s.file.empty() && s.file != file) ContentCache::discard(s.file);
    s.file = file;
    s.inWork = false;
    s.base = item->itemVersion();
    s.matchesBase = true;
    s.kernelCacheValid = false;
  }
  if (!downloaded) return;
  // The download describes the file as it is now. Change batches applied
  // meanwhile may trail it (the engine logs a moment late) or lead it; from
  // here on they are checked against the downloaded version, and the node
  // is brought in line with it, asking the engine when a batch moved it.
  auto current = cache_.get(n.ino);
  if (!current || !current->item) return;
  const auto& version = item->itemVersion();
  if (current->item->itemVersion() == version) return;
  if (current->item == n.item) {
    cache_.replaceItem(n.ino, n.item, item);
  } else {
    try {
      cache_.setItem(n.ino, bridge_.item(id));
    } catch (...) {
      cache_.replaceItem(n.ino, current->item, item);
    }
  }
  // The kernel's size must be dropped before the file is read.
  staleAttributes = true;
}

void MountFileSystem::toWorkingCopy(const NodeInfo& n, FileState& s, bool truncate,
                                    bool& staleAttributes) {
  {
    std::lock_guard path(s.pathMutex);
    if (s.inWork) {
      if (truncate) {
        if (::truncate(s.file.c_str(), 0) != 0) throwErrno("truncate");
        s.generation++;
      }
      return;
    }
  }
  if (truncate) {
    // Nothing of the old contents is needed: no download.
    if (!n.item) throw Refusal(ENOENT);
    fs::path work = contents_.newWorkingCopy();
    std::lock_guard path(s.pathMutex);
    ContentCache::discard(s.file);
    s.file = work;
    s.inWork = true;
    s.base = n.item->itemVersion();
    s.matchesBase = true;
    s.generation++;
    recordWork(n.ino, s);
    return;
  }
  ensureContent(n, s, staleAttributes);
  fs::path work = contents_.toWork(s.file);
  std::lock_guard path(s.pathMutex);
  s.file = work;
  s.inWork = true;
  recordWork(n.ino, s);
}

std::unique_ptr<Handle> MountFileSystem::open(Ino ino, int flags) {
  NodeInfo n = node(ino);
  if (n.dir) throw Refusal(EISDIR);
  const bool writable = (flags & O_ACCMODE) != O_RDONLY;
  const bool truncate = writable && (flags & O_TRUNC);
  if (writable) requireCapability(n, caps::kWriting);
  auto s = state(ino, true);
  auto h = std::make_unique<Handle>();
  h->ino = ino;
  h->writable = writable;
  h->state = s;
  auto openFile = [&] {
    h->fd = ::open(s->file.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (h->fd < 0) throwErrno("open " + s->file.string());
  };
  if (!writable) {
    // Contents already here (a working copy, or the cached current version)
    // open without waiting for a write-back in progress.
    std::lock_guard path(s->pathMutex);
    const bool current = n.item && s->base.contentVersion == n.item->itemVersion().contentVersion;
    if (!s->file.empty() && (s->inWork || current)) openFile();
  }
  if (h->fd < 0) {
    std::lock_guard lock(s->mutex);
    n = node(ino);
    if (writable) {
      toWorkingCopy(n, *s, truncate, h->staleAttributes);
    } else {
      ensureContent(n, *s, h->staleAttributes);
    }
    std::lock_guard path(s->pathMutex);
    openFile();
  }
  h->keepCache = s->kernelCacheValid.exchange(true);
  s->handles++;
  if (writable) s->writers++;
  return h;
}

std::pair<Attributes, std::unique_ptr<Handle>> MountFileSystem::create(Ino parent,
                                                                       const std::string& name,
                                                                       int flags) {
  std::unique_ptr<Handle> h;
  NodeInfo n;
  {
    ChangeGate::Shared gate(gate_);
    NodeInfo p = folder(parent);
    requireCapability(p, caps::kAddingSubItems);
    if (auto existing = resolve(parent, name)) {
      if (flags & O_EXCL) throw Refusal(EEXIST);
      if (existing->dir) throw Refusal(EISDIR);
      n = *existing;
    } else {
      fs::path work = contents_.newWorkingCopy();
      n = cache_.addLocal(parent, name);
      auto s = state(n.ino, true);
      std::lock_guard lock(s->mutex);
      {
        std::lock_guard path(s->pathMutex);
        s->file = work;
        s->inWork = true;
        s->isNew = true;
        recordWork(n.ino, *s);
      }
      s->generation++;  // even an empty new file is a change to send
      h = std::make_unique<Handle>();
      h->ino = n.ino;
      h->writable = true;  // its close sends the new file, whatever the flags
      h->state = s;
      h->fd = ::open(work.c_str(), O_RDWR | O_CLOEXEC);
      if (h->fd < 0) throwErrno("open " + work.string());
      h->keepCache = true;
      s->kernelCacheValid = true;
      s->handles++;
      s->writers++;
    }
  }
  if (!h) h = open(n.ino, flags & ~(O_CREAT | O_EXCL));
  cache_.lookedUp(n.ino);
  return {attributesOf(node(n.ino)), std::move(h)};
}

std::size_t MountFileSystem::read(Handle& h, char* buffer, std::size_t size, std::int64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t got = ::pread(h.fd, buffer + done, size - done, offset + static_cast<off_t>(done));
    if (got < 0) {
      if (errno == EINTR) continue;
      throwErrno("read");
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

std::size_t MountFileSystem::write(Handle& h, const char* data, std::size_t size,
                                   std::int64_t offset) {
  if (!h.writable) throw Refusal(EBADF);
  std::size_t done = 0;
  while (done < size) {
    ssize_t put = ::pwrite(h.fd, data + done, size - done, offset + static_cast<off_t>(done));
    if (put < 0) {
      if (errno == EINTR) continue;
      throwErrno("write");
    }
    done += static_cast<std::size_t>(put);
  }
  // Counted once the bytes are in the file, so a write-back that saw this
  // generation also saw these bytes.
  h.state->generation++;
  return done;
}

void MountFileSystem::commit(Ino ino, FileState& s) {
  if (!s.dirty()) return;
  auto n = cache_.get(ino);
  if (!n || !n->attached) {
    // Removed by the user while open: its writes go with it.
    s.committed = s.generation.load();
    return;
  }
  const std::uint64_t generation = s.generation.load();
  bool isNew;
  {
    std::lock_guard path(s.pathMutex);
    isNew = s.isNew;
  }
  if (isNew) {
    createRemote(*n, s, generation);
  } else {
    modifyRemote(*n, s, generation);
  }
  s.remoteGone = false;
  s.lastError.clear();
  if (s.writers.load() > 0 || s.dirty()) {
    // What is still to come (writes through handles still open) starts
    // from what the engine has now. Otherwise the copy is let go next.
    std::lock_guard path(s.pathMutex);
    try {
      recordWork(ino, s);
    } catch (...) {
      logFailure("record of a working copy", n->path, std::current_exception());
    }
  }
  std::lock_guard files(filesMutex_);
  pending_.erase(ino);
}

void MountFileSystem::createRemote(const NodeInfo& n, FileState& s, std::uint64_t generation) {
  NodeInfo parent = node(n.parent);
  auto templ = std::make_shared<LocalItem>(n.identifier(), parent.identifier(), n.name, typeFor(n.name));
  std::shared_ptr<const host::Item> item;
  try {
    item = bridge_.createItem(templ, s.file);
  } catch (const host::Error& e) {
    if (!isCollision(e)) throw;
    // The name was taken at the engine meanwhile: the user's file is kept
    // beside the other under a conflict name.
    std::string name;
    item = createUnderConflictName(parent.path, parent.identifier(), n.name, s.file, name);
    cache_.move(n.ino, n.parent, name);
    note({Invalidation::entry, n.parent, n.name});
    note({Invalidation::entry, n.parent, name});
    note({Invalidation::contents, n.parent, {}});
    try {
      std::vector<Invalidation> notes;
      cache_.upsert(n.parent, bridge_.item(n.identifier()), &notes);
      note(notes);
    } catch (...) {
      cache_.setComplete(n.parent, false);
    }
  }
  cache_.setItem(n.ino, item);
  std::lock_guard path(s.pathMutex);
  s.isNew = false;
  s.base = item->itemVersion();
  s.matchesBase = true;
  s.committed = generation;
}

MountFileSystem::ItemPtr MountFileSystem::createUnderConflictName(
    const std::string& parentPath, const host::ItemIdentifier& parentIdentifier,
    const std::string& name, const fs::path& contents, std::string& used) {
  const auto now = std::chrono::system_clock::now();
  for (int counter = 1;; ++counter) {
    used = host::conflictName(name, now, counter, host::nameRoomIn(parentPath));
    auto other = std::make_shared<LocalItem>(Item::identifier(childPath(parentPath, used)),
                                             parentIdentifier, used, typeFor(used));
    try {
      return bridge_.createItem(other, contents);
    } catch (const host::Error& again) {
      if (!isCollision(again) || counter >= 20) throw;
    }
  }
}

void MountFileSystem::modifyRemote(const NodeInfo& n, FileState& s, std::uint64_t generation) {
  const auto id = n.identifier();
  auto sendAsNew = [&] {
    // Gone at the engine: the user's bytes become a new file at the path.
    {
      std::lock_guard path(s.pathMutex);
      s.isNew = true;
    }
    createRemote(n, s, generation);
  };
  // The extension answers a conflict with the engine's item and no error;
  // asking first tells whether the reply will describe the user's bytes.
  std::shared_ptr<const host::Item> current;
  try {
    current = bridge_.item(id);
  } catch (const host::Error& e) {
    if (!isNoSuchItem(e)) throw;
    sendAsNew();
    return;
  }
  host::ItemVersion base;
  bool conflict;
  {
    std::lock_guard path(s.pathMutex);
    base = s.base;
    conflict = !s.matchesBase;
  }
  conflict = conflict || current->itemVersion().contentVersion != base.contentVersion;
  NodeInfo parent = node(n.parent);
  auto changed = std::make_shared<LocalItem>(id, parent.identifier(), n.name, typeFor(n.name));
  std::shared_ptr<const host::Item> result;
  try {
    result = bridge_.modifyItem(changed, base, host::fields::kContents, s.file);
  } catch (const host::Error& e) {
    if (!isNoSuchItem(e)) throw;
    sendAsNew();
    return;
  }
  if (!conflict && s.generation.load() == generation) {
    // A change that slipped in after the question shows as a size the user
    // did not write (only telling while nothing was written meanwhile).
    struct stat st;
    auto size = result->documentSize();
    if (::stat(s.file.c_str(), &st) == 0 && size && *size != st.st_size) conflict = true;
  }
  cache_.replaceItem(n.ino, n.item, result);
  std::lock_guard path(s.pathMutex);
  s.committed = generation;
  if (conflict) {
    // The user's bytes are the engine's conflict copy now; the path shows the
    // engine's version once the working copy is let go. Later writes through
    // a handle still open conflict again rather than overwrite it.
    s.matchesBase = false;
    note({Invalidation::contents, n.ino, {}});
    note({Invalidation::contents, n.parent, {}});
  } else {
    s.base = result->itemVersion();
    s.matchesBase = true;
  }
}

void MountFileSystem::settle(Ino ino, FileState& s) {
  if (s.dirty() || s.writers.load() > 0) return;
  auto n = cache_.get(ino);
  const bool attached = n && n->attached;
  {
    std::lock_guard path(s.pathMutex);
    if (s.inWork && !s.isNew) {
      if (s.matchesBase && attached) {
        s.file = contents_.adopt(s.file, n->identifier(), s.base.contentVersion);
      } else {
        ContentCache::discard(s.file);
        s.file.clear();
        s.kernelCacheValid = false;
        s.matchesBase = true;
        if (attached) note({Invalidation::contents, ino, {}});
      }
      s.inWork = false;
    } else if (s.inWork && !attached) {
      ContentCache::discard(s.file);
      s.file.clear();
      s.inWork = false;
    }
  }
  if (s.remoteGone && attached) {
    // Deleted at the engine while open here, and nothing written since.
    s.remoteGone = false;
    cache_.detach(ino);
    note({Invalidation::entry, n->parent, n->name});
    note({Invalidation::contents, n->parent, {}});
  }
}

void MountFileSystem::commitOrKeep(Ino ino, FileState& s, const char* op) {
  try {
    commit(ino, s);
    settle(ino, s);
  } catch (...) {
    auto n = cache_.get(ino);
    reportOnce(s.lastError, op, n ? n->path : std::string(), std::current_exception());
    std::lock_guard files(filesMutex_);
    pending_.insert(ino);
  }
}

void MountFileSystem::writeBack(Ino ino) {
  auto s = existingState(ino);
  if (!s) return;
  std::lock_guard lock(s->mutex);
  commitOrKeep(ino, *s, "write-back");
}

void MountFileSystem::waitForWriteBacks() { writeBack_.drain(); }

void MountFileSystem::waitForWriteBacksBelow(const NodeInfo& n) {
  if (writeBack_.outstanding() == 0) return;
  if (!n.dir) {
    writeBack_.waitFor([&](std::uint64_t ino) { return ino == n.ino; });
    return;
  }
  const std::string prefix = n.path + "/";
  writeBack_.waitFor([&](std::uint64_t ino) {
    auto other = cache_.get(ino);
    return other && other->path.compare(0, prefix.size(), prefix) == 0;
  });
}

void MountFileSystem::flush(Handle& h) {
  if (!h.writable || !h.state->dirty()) return;
  writeBack_.submit(h.ino);
}

void MountFileSystem::fsync(Handle& h) {
  auto& s = *h.state;
  if (!s.dirty()) return;
  std::lock_guard lock(s.mutex);
  try {
    commit(h.ino, s);
  } catch (...) {
    s.lastError = describe(std::current_exception());
    std::lock_guard files(filesMutex_);
    pending_.insert(h.ino);
    throw;
  }
}

void MountFileSystem::release(std::unique_ptr<Handle> handle) {
  const Ino ino = handle->ino;
  const bool writable = handle->writable;
  auto s = handle->state;
  handle.reset();  // closes the file
  s->handles--;
  if (!writable || --s->writers > 0) return;
  // The job sends what is unsent and then lets the working copy go; a job
  // still running for an earlier close is never waited for here.
  writeBack_.submit(ino);
}

}  // namespace corvane::mount
