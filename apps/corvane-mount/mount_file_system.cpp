#include "corvane-mount/mount_file_system.h"

#include <fcntl.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <iterator>
#include <tuple>

#include "corvane-mount/errno_map.h"
#include "corvane-mount/mount_internal.h"

namespace corvane::mount {
namespace fs = std::filesystem;
namespace caps = host::capabilities;

MountFileSystem::MountFileSystem(std::shared_ptr<host::ReplicatedExtension> extension,
                                 fs::path cacheFolder, MountOptions options)
    : bridge_(std::move(extension)),
      contents_(std::move(cacheFolder), options.cacheSize),
      reader_(bridge_, contents_),
      cache_(bridge_.item(std::string(host::kRootContainerItemIdentifier))),
      writeBack_(bridge_, contents_, cache_, notes_, files_, options.refusedRetry,
                 options.writeBackDelay),
      workingCopies_(bridge_, contents_, reader_, cache_, notes_, files_, writeBack_),
      names_(bridge_, cache_, notes_, workingCopies_, options),
      folders_(bridge_, cache_, gate_, names_, workingCopies_, writeBack_,
               contents_.root() / "intents", options.testHooks),
      // The anchor comes first: whatever is listed later is at least this fresh.
      changes_(bridge_, cache_, gate_, notes_, workingCopies_, options.engineTimeout) {
  // What an earlier run left half done or unsent is settled now, after the
  // anchor, so the first poll brings back what it became at the engine. The
  // names first: an unsent change may be meant for a name a rename had
  // moved aside.
  folders_.finishInterrupted();
  writeBack_.sendLeftovers();
}

MountFileSystem::~MountFileSystem() = default;

// ---- names and attributes

Attributes MountFileSystem::lookup(Ino parent, const std::string& name) {
  std::optional<NodeInfo> found = cache_.child(parent, name);
  if (!found) {
    ChangeGate::Shared gate(gate_);
    found = names_.resolve(parent, name);
  }
  if (!found) throw Refusal(ENOENT);
  cache_.lookedUp(found->ino);
  return names_.attributesOf(*found);
}

Attributes MountFileSystem::getattr(Ino ino) { return names_.attributesOf(names_.node(ino)); }

void MountFileSystem::noteLookups(Ino ino, std::uint64_t count) { cache_.lookedUp(ino, count); }

void MountFileSystem::forget(Ino ino, std::uint64_t count) {
  if (cache_.forget(ino, count)) files_.forget(ino);
}

Attributes MountFileSystem::setattr(Ino ino, const SetAttributes& changes, Handle* handle) {
  if (changes.size) {
    NodeInfo n = names_.node(ino);
    if (n.dir) throw Refusal(EISDIR);
    names_.requireCapability(n, caps::kWriting);
    workingCopies_.truncate(ino, *changes.size, handle);
  }
  if (changes.modificationTime) {
    // A folder's time follows what is in it; one that cannot be written
    // keeps the engine's, as before.
    NodeInfo n = names_.node(ino);
    const auto have = names_.capabilitiesOf(n);
    if (!n.dir && (have & caps::kWriting)) {
      workingCopies_.setModificationTime(ino, *changes.modificationTime, handle);
    }
  }
  return getattr(ino);
}

std::string MountFileSystem::pathFor(Ino ino, const char* name) const {
  return names_.pathFor(ino, name);
}

// ---- folders

std::vector<DirEntry> MountFileSystem::readdir(Ino dir) {
  NodeInfo n = names_.folder(dir);
  if (!n.complete) {
    ChangeGate::Shared gate(gate_);
    n = names_.folder(dir);
    if (!n.complete) names_.refill(n);
  }
  auto children = cache_.children(dir);
  std::vector<DirEntry> out;
  out.reserve(children.size());
  for (auto& child : children) {
    Attributes attributes = names_.attributesOf(child);
    out.push_back(DirEntry{std::move(child.name), attributes});
  }
  return out;
}

bool MountFileSystem::listingCacheable(Ino dir) const {
  auto n = cache_.get(dir);
  return n && n->dir && n->complete;
}

std::unique_ptr<FolderHandle> MountFileSystem::opendir(Ino dir) {
  if (!getattr(dir).dir) throw Refusal(ENOTDIR);
  auto folder = std::make_unique<FolderHandle>();
  folder->ino = dir;
  folder->keepCache = listingCacheable(dir);
  return folder;
}

void MountFileSystem::readdir(FolderHandle& folder, std::uint64_t offset, EntryReplier& reply) {
  if (offset == 0 || folder.entries.empty()) folder.entries = snapshot(folder.ino);
  for (std::size_t i = offset; i < folder.entries.size(); ++i) {
    const DirEntry& entry = folder.entries[i];
    if (!reply.add(entry, i + 1)) break;
    if (reply.withAttributes() && i >= 2) cache_.lookedUp(entry.attributes.ino);
  }
}

std::vector<DirEntry> MountFileSystem::snapshot(Ino dir) {
  const Attributes self = getattr(dir);
  Attributes up = self;
  if (auto node = cache_.get(dir); node && node->parent) {
    try {
      up = getattr(node->parent);
    } catch (...) {
      // A parent that is gone meanwhile: ".." shows the folder itself.
    }
  }
  auto children = readdir(dir);
  std::vector<DirEntry> entries;
  entries.reserve(children.size() + 2);
  entries.push_back(DirEntry{".", self});
  entries.push_back(DirEntry{"..", up});
  std::move(children.begin(), children.end(), std::back_inserter(entries));
  return entries;
}

Attributes MountFileSystem::mkdir(Ino parent, const std::string& name) {
  return folders_.mkdir(parent, name);
}

void MountFileSystem::unlink(Ino parent, const std::string& name) { folders_.unlink(parent, name); }

void MountFileSystem::rmdir(Ino parent, const std::string& name) { folders_.rmdir(parent, name); }

void MountFileSystem::rename(Ino parent, const std::string& name, Ino newParent,
                             const std::string& newName, unsigned flags) {
  folders_.rename(parent, name, newParent, newName, flags);
}

// ---- files

std::unique_ptr<Handle> MountFileSystem::open(Ino ino, int flags) {
  NodeInfo n = names_.node(ino);
  if (n.dir) throw Refusal(EISDIR);
  const bool writable = (flags & O_ACCMODE) != O_RDONLY;
  const bool truncate = writable && (flags & O_TRUNC);
  if (writable) names_.requireCapability(n, caps::kWriting);
  return workingCopies_.open(n, writable, truncate);
}

std::pair<Attributes, std::unique_ptr<Handle>> MountFileSystem::create(Ino parent,
                                                                       const std::string& name,
                                                                       int flags) {
  std::unique_ptr<Handle> h;
  NodeInfo n;
  {
    ChangeGate::Shared gate(gate_);
    NodeInfo p = names_.folder(parent);
    names_.requireCapability(p, caps::kAddingSubItems);
    if (auto existing = names_.resolve(parent, name)) {
      if (flags & O_EXCL) throw Refusal(EEXIST);
      if (existing->dir) throw Refusal(EISDIR);
      n = *existing;
    } else {
      names_.requireNewName(p, name, false);
      std::tie(n, h) = workingCopies_.createLocal(parent, name);
    }
  }
  if (!h) h = open(n.ino, flags & ~(O_CREAT | O_EXCL));
  cache_.lookedUp(n.ino);
  return {names_.attributesOf(names_.node(n.ino)), std::move(h)};
}

std::size_t MountFileSystem::read(Handle& h, char* buffer, std::size_t size, std::int64_t offset) {
  prepareRead(h, size, offset);
  return h.read(buffer, size, offset);
}

void MountFileSystem::prepareRead(Handle& h, std::size_t size, std::int64_t offset) {
  workingCopies_.prepareRead(h, offset, size);
}

std::size_t MountFileSystem::write(Handle& h, const char* data, std::size_t size,
                                   std::int64_t offset) {
  return h.write(data, size, offset);
}

void MountFileSystem::flush(Handle&) {
  // Nothing to send yet: a flush comes while its descriptor is still open,
  // and no send starts while a writer has the file open. The last writer's
  // release queues it; a send queued here would only take a worker and put
  // the file behind files closed after it.
}

void MountFileSystem::fsync(Handle& h) { writeBack_.fsync(h); }

void MountFileSystem::release(std::unique_ptr<Handle> handle) {
  writeBack_.release(std::move(handle));
}

void MountFileSystem::waitForWriteBacks() { writeBack_.waitForAll(); }

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

// ---- the poller's side and the end

bool MountFileSystem::pollOnce() { return changes_.pollOnce(); }

void MountFileSystem::retryPending() {
  folders_.finishInterrupted();
  writeBack_.retryPending();
}

std::vector<Invalidation> MountFileSystem::takeNotes() { return notes_.take(); }

void MountFileSystem::setNotesListener(std::function<void()> listener) {
  notes_.setListener(std::move(listener));
}

void MountFileSystem::shutdown() { writeBack_.shutdown(); }

std::optional<host::SyncAnchor> MountFileSystem::anchor() const { return changes_.anchor(); }

std::size_t MountFileSystem::pendingWriteBacks() const { return files_.pendingCount(); }

}  // namespace corvane::mount
