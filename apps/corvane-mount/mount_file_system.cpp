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

Handle::~Handle() {
  if (fd >= 0) ::close(fd);
}

MountFileSystem::MountFileSystem(std::shared_ptr<host::ReplicatedExtension> extension,
                                 fs::path cacheFolder, MountOptions options)
    : bridge_(std::move(extension)),
      contents_(std::move(cacheFolder)),
      options_(options),
      cache_(bridge_.item(std::string(host::kRootContainerItemIdentifier))),
      started_(std::chrono::system_clock::now()),
      writeBack_(4, [this](std::uint64_t ino) { writeBack(ino); }) {
  // The anchor comes first: whatever is listed later is at least this fresh.
  anchor_ = bridge_.currentAnchor();
  // What an earlier run could not send goes now, after the anchor, so the
  // first poll brings back what it became at the engine.
  sendLeftovers();
}

MountFileSystem::~MountFileSystem() = default;

void MountFileSystem::sendLeftovers() {
  std::size_t unrecorded = 0;
  for (const auto& [file, record] : contents_.leftovers(unrecorded)) {
    try {
      sendLeftover(file, record);
      ContentCache::discard(file);
      Log::write("mount: sent " + record.path + ", left unsent by an earlier run");
    } catch (...) {
      // Kept, record and bytes, for the next start.
      logFailure("write-back left by an earlier run", record.path, std::current_exception());
    }
  }
  if (unrecorded > 0) {
    Log::write("mount: " + std::to_string(unrecorded) + " working copies of an earlier run without a record are in " +
               contents_.workFolder().string());
  }
}

void MountFileSystem::sendLeftover(const fs::path& file, const WorkRecord& record) {
  const std::string parentPath = Item::parent(record.path);
  const std::string name = parentPath.empty() ? record.path : record.path.substr(parentPath.size() + 1);
  const auto parentId = Item::identifier(parentPath);
  const auto id = Item::identifier(record.path);
  if (!record.isNew) {
    // On the recorded base: a change made at the engine meanwhile becomes a
    // conflict copy there, not lost.
    auto changed = std::make_shared<LocalItem>(id, parentId, name, typeFor(name));
    try {
      bridge_.modifyItem(changed, record.base, host::fields::kContents, file);
      return;
    } catch (const host::Error& e) {
      if (!isNoSuchItem(e)) throw;
      // Gone at the engine: the user's bytes become a new file at the path.
    }
  }
  auto templ = std::make_shared<LocalItem>(id, parentId, name, typeFor(name));
  try {
    bridge_.createItem(templ, file);
  } catch (const host::Error& e) {
    if (!isCollision(e)) throw;
    std::string used;
    createUnderConflictName(parentPath, parentId, name, file, used);
  }
}

void MountFileSystem::recordWork(Ino ino, const FileState& s) {
  if (!s.inWork || s.file.empty()) return;
  auto n = cache_.get(ino);
  if (!n || !n->attached) return;
  contents_.writeRecord(s.file, WorkRecord{n->path, s.isNew, s.base});
}

void MountFileSystem::refreshRecords(const std::string& path) {
  std::vector<std::pair<Ino, std::shared_ptr<FileState>>> all;
  {
    std::lock_guard files(filesMutex_);
    all.assign(files_.begin(), files_.end());
  }
  const std::string below = path + "/";
  for (auto& [ino, s] : all) {
    auto n = cache_.get(ino);
    if (!n || (n->path != path && n->path.compare(0, below.size(), below) != 0)) continue;
    std::lock_guard lock(s->pathMutex);
    try {
      recordWork(ino, *s);
    } catch (...) {
      logFailure("record of a working copy", n->path, std::current_exception());
    }
  }
}

// ---- nodes and attributes

NodeInfo MountFileSystem::node(Ino ino) const {
  auto n = cache_.get(ino);
  if (!n) throw Refusal(ENOENT, "no such inode");
  return *n;
}

NodeInfo MountFileSystem::folder(Ino ino) const {
  NodeInfo n = node(ino);
  if (!n.dir) throw Refusal(ENOTDIR);
  if (!n.attached) throw Refusal(ENOENT, "folder was removed");
  return n;
}

std::optional<NodeInfo> MountFileSystem::resolve(Ino parent, const std::string& name) {
  if (auto c = cache_.child(parent, name)) return c;
  NodeInfo p = folder(parent);
  if (p.complete) return std::nullopt;
  std::shared_ptr<const host::Item> item;
  try {
    item = bridge_.item(Item::identifier(childPath(p.path, name)));
  } catch (const host::Error& e) {
    if (isNoSuchItem(e)) return std::nullopt;
    throw;
  }
  if (auto c = cache_.child(parent, name)) return c;  // made meanwhile
  std::vector<Invalidation> notes;
  NodeInfo n = cache_.upsert(parent, item, &notes);
  note(notes);
  return n;
}

host::ItemCapabilities MountFileSystem::capabilitiesOf(const NodeInfo& n) const {
  if (n.item) return n.item->capabilities();
  // A file not yet at the engine has what its folder's items have.
  if (auto p = cache_.get(n.parent); p && p->item) return p->item->capabilities();
  auto root = cache_.get(kRootIno);
  return root && root->item ? root->item->capabilities() : caps::kReading;
}

void MountFileSystem::requireCapability(const NodeInfo& n, host::ItemCapabilities capability) const {
  const auto have = capabilitiesOf(n);
  if ((have & capability) == capability) return;
  throw Refusal((have & caps::kWriting) ? EACCES : EROFS);
}

Attributes MountFileSystem::attributesOf(const NodeInfo& n) const {
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
    if (!n.dir) a.size = static_cast<std::uint64_t>(std::max<std::int64_t>(0, n.item->documentSize().value_or(0)));
  }
  auto ns = when.time_since_epoch().count();
  a.mtimeSeconds = ns / 1000000000;
  a.mtimeNanoseconds = ns % 1000000000;
  if (!n.dir) {
    if (auto s = existingState(n.ino)) {
      bool local;
      {
        std::lock_guard lock(s->pathMutex);
        struct stat st;
        local = s->inWork && !s->file.empty() && ::stat(s->file.c_str(), &st) == 0;
        if (local) {
          a.size = static_cast<std::uint64_t>(st.st_size);
          a.mtimeSeconds = st.st_mtim.tv_sec;
          a.mtimeNanoseconds = st.st_mtim.tv_nsec;
        }
      }
      // A write-back may have ended since `n` was read: its item is in the
      // cache before the working copy is let go, so read it again.
      if (!local) {
        if (auto fresh = cache_.get(n.ino); fresh && fresh->item && fresh->item != n.item) {
          return attributesOf(*fresh);
        }
      }
    }
  }
  return a;
}

std::shared_ptr<FileState> MountFileSystem::state(Ino ino, bool create) {
  std::lock_guard lock(filesMutex_);
  auto it = files_.find(ino);
  if (it != files_.end()) return it->second;
  if (!create) return nullptr;
  auto s = std::make_shared<FileState>();
  files_.emplace(ino, s);
  return s;
}

std::shared_ptr<FileState> MountFileSystem::existingState(Ino ino) const {
  std::lock_guard lock(filesMutex_);
  auto it = files_.find(ino);
  return it == files_.end() ? nullptr : it->second;
}

bool MountFileSystem::keepsLocalState(Ino ino) const {
  auto s = existingState(ino);
  if (!s) return false;
  if (s->writers.load() > 0 || s->dirty()) return true;
  std::lock_guard lock(s->pathMutex);
  return s->isNew || s->inWork;
}

// ---- names

Attributes MountFileSystem::lookup(Ino parent, const std::string& name) {
  std::optional<NodeInfo> found = cache_.child(parent, name);
  if (!found) {
    ChangeGate::Shared gate(gate_);
    found = resolve(parent, name);
  }
  if (!found) throw Refusal(ENOENT);
  cache_.lookedUp(found->ino);
  return attributesOf(*found);
}

Attributes MountFileSystem::getattr(Ino ino) { return attributesOf(node(ino)); }

void MountFileSystem::noteLookups(Ino ino, std::uint64_t count) { cache_.lookedUp(ino, count); }

void MountFileSystem::forget(Ino ino, std::uint64_t count) {
  if (!cache_.forget(ino, count)) return;
  std::lock_guard lock(filesMutex_);
  auto it = files_.find(ino);
  if (it == files_.end()) return;
  auto& s = it->second;
  // Writes not yet sent keep their working copy, even when the kernel has
  // forgotten the name: a queued write-back still needs it.
  if (s->handles.load() > 0 || pending_.count(ino) || s->dirty()) return;
  {
    std::lock_guard path(s->pathMutex);
    if (s->inWork) ContentCache::discard(s->file);
  }
  files_.erase(it);
}

Attributes MountFileSystem::setattr(Ino ino, const SetAttributes& changes, Handle* handle) {
  if (!changes.size) return getattr(ino);
  NodeInfo n = node(ino);
  if (n.dir) throw Refusal(EISDIR);
  requireCapability(n, caps::kWriting);
  const auto size = static_cast<off_t>(*changes.size);
  if (handle && handle->writable) {
    if (::ftruncate(handle->fd, size) != 0) throwErrno("truncate");
    handle->state->generation++;
    return getattr(ino);
  }
  {
    auto s = state(ino, true);
    std::lock_guard lock(s->mutex);
    n = node(ino);
    bool stale = false;  // the kernel learns the size from this reply
    toWorkingCopy(n, *s, size == 0, stale);
    if (size != 0 && ::truncate(s->file.c_str(), size) != 0) throwErrno("truncate");
    s->generation++;
    if (s->writers.load() == 0) {
      // No close will follow: send it now. Like a close, it does not fail
      // when the engine is away; the change is kept and sent later.
      commitOrKeep(ino, *s, "truncate");
    }
  }
  return getattr(ino);
}

FileSystemStats MountFileSystem::statfs() const {
  FileSystemStats out;
  struct statvfs st;
  if (::statvfs(contents_.root().c_str(), &st) == 0) {
    out.blockSize = st.f_frsize;
    out.blocks = st.f_blocks;
    out.blocksFree = st.f_bfree;
    out.blocksAvailable = st.f_bavail;
    out.files = st.f_files;
    out.filesFree = st.f_ffree;
  }
  return out;
}

std::vector<Invalidation> MountFileSystem::takeNotes() {
  std::vector<Invalidation> all;
  {
    std::lock_guard lock(notesMutex_);
    all.swap(notes_);
  }
  std::set<std::tuple<int, Ino, std::string>> seen;
  std::vector<Invalidation> out;
  out.reserve(all.size());
  for (auto& n : all) {
    if (seen.emplace(n.kind, n.ino, n.name).second) out.push_back(std::move(n));
  }
  return out;
}

void MountFileSystem::setNotesListener(std::function<void()> listener) {
  std::lock_guard lock(notesMutex_);
  notesListener_ = std::move(listener);
}

void MountFileSystem::note(Invalidation invalidation) {
  std::function<void()> listener;
  {
    std::lock_guard lock(notesMutex_);
    notes_.push_back(std::move(invalidation));
    listener = notesListener_;
  }
  if (listener) listener();
}

void MountFileSystem::note(const std::vector<Invalidation>& invalidations) {
  for (const auto& i : invalidations) note(i);
}

void MountFileSystem::reportOnce(std::string& last, const std::string& op, const std::string& path,
                                 std::exception_ptr failure) {
  std::string text = describe(failure);
  if (text == last) return;
  last = text;
  logFailure(op, path, failure);
}

}  // namespace corvane::mount
