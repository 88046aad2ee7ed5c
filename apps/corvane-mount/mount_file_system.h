// MountFileSystem: the mount's file-system logic, in the kernel's terms
// (inodes, names, handles, errno) but without FUSE types.
//
// It plays the host for one domain: it asks the extension through the
// HostBridge, keeps what it learns in the ItemCache, materialises file
// contents into the ContentCache, writes through local working copies that it
// sends back after close (in the background, retried until the engine takes
// them) or at once on fsync, and applies the engine's changes when the
// ChangePoller asks it to. The libfuse adapter only translates calls into the
// operations below and their results and failures into replies. Each working
// copy with changes has a record beside it, so that what a run could not send
// (the engine was away at unmount, or the mount crashed) is sent by the next
// one when it starts.
//
// Failures are thrown: Refusal for the mount's own answers (ENOENT, EEXIST,
// ENOTEMPTY, EROFS...), host::Error from the extension, file errors from the
// local disk; errnoFor() maps them all.
//
// Thread-safe: the kernel's requests arrive on many threads at once. The cache
// has its own lock; each file's local state has one; the ChangeGate orders
// listings and name changes against change batches. Answers that take long
// (downloads, write-backs) do not hold the gate: they only set an item that
// has not changed meanwhile, and a file with local changes keeps its state
// whatever a batch says. Kernel notifications are never sent from
// here: they are queued (takeNotes) for the poller's thread, because telling
// the kernel to drop an entry from inside a request can deadlock it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "corvane-mount/change_gate.h"
#include "corvane-mount/content_cache.h"
#include "corvane-mount/host_bridge.h"
#include "corvane-mount/item_cache.h"
#include "corvane-mount/write_back_queue.h"

namespace corvane::mount {

struct Attributes {
  Ino ino = 0;
  bool dir = false;
  std::uint32_t mode = 0;  // type and permission bits
  std::uint32_t nlink = 1;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::uint64_t size = 0;
  std::int64_t mtimeSeconds = 0;
  std::int64_t mtimeNanoseconds = 0;
  std::uint32_t blockSize = 0;
};

struct DirEntry {
  std::string name;
  Attributes attributes;
};

struct MountOptions {
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  // The preferred I/O size reported to programs (cp and cat size their
  // buffers by it).
  std::uint32_t blockSize = 1 << 20;
};

// Local state of one file's contents; shared by its open handles.
struct FileState {
  // Held across materialisation, take-over and write-back of this file.
  std::mutex mutex;
  // Guards the fields below up to `base` for readers that must not wait for
  // a long write-back (attributes, opening for reading); writers of those
  // fields hold both mutexes.
  mutable std::mutex pathMutex;
  std::filesystem::path file;  // the local contents; empty when none
  bool inWork = false;         // `file` is a working copy, not a cached version
  bool isNew = false;          // not yet created at the engine
  host::ItemVersion base;      // the version `file` started from
  bool matchesBase = true;     // `file` holds `base` plus the local writes
  // Whether pages the kernel keeps for the file still hold its contents.
  std::atomic<bool> kernelCacheValid{false};
  std::atomic<bool> remoteGone{false};  // deleted at the engine while written here
  std::atomic<std::uint64_t> generation{0};  // bumped by every local change
  std::atomic<std::uint64_t> committed{0};   // generation last sent
  std::atomic<int> handles{0};
  std::atomic<int> writers{0};
  std::string lastError;  // the failure last logged for its write-back

  bool dirty() const { return generation.load() != committed.load(); }
};

// An open file.
struct Handle {
  Ino ino = 0;
  int fd = -1;
  bool writable = false;
  bool keepCache = false;
  // The download found a newer version than the kernel knows: it must drop
  // the file's attributes (its size above all) before reading.
  bool staleAttributes = false;
  std::shared_ptr<FileState> state;
  ~Handle();
};

struct SetAttributes {
  std::optional<std::uint64_t> size;  // everything else is accepted and ignored
};

struct FileSystemStats {
  std::uint64_t blockSize = 4096;
  std::uint64_t blocks = 0;
  std::uint64_t blocksFree = 0;
  std::uint64_t blocksAvailable = 0;
  std::uint64_t files = 0;
  std::uint64_t filesFree = 0;
  std::uint64_t nameMax = 255;
};

class MountFileSystem {
 public:
  // Asks the extension for the root item; throws when it cannot be had.
  MountFileSystem(std::shared_ptr<host::ReplicatedExtension> extension,
                  std::filesystem::path cacheFolder, MountOptions options);
  ~MountFileSystem();
  MountFileSystem(const MountFileSystem&) = delete;
  MountFileSystem& operator=(const MountFileSystem&) = delete;

  // Names and attributes. lookup() counts a kernel reference (forget() drops it).
  Attributes lookup(Ino parent, const std::string& name);
  Attributes getattr(Ino ino);
  Attributes setattr(Ino ino, const SetAttributes& changes, Handle* handle);
  void forget(Ino ino, std::uint64_t count);
  // Counts kernel references handed out by a listing with attributes.
  void noteLookups(Ino ino, std::uint64_t count);

  // Folders.
  std::vector<DirEntry> readdir(Ino dir);
  // Whether the kernel may cache the folder's listing.
  bool listingCacheable(Ino dir) const;
  Attributes mkdir(Ino parent, const std::string& name);
  void unlink(Ino parent, const std::string& name);
  void rmdir(Ino parent, const std::string& name);
  // flags: 0 or RENAME_NOREPLACE; RENAME_EXCHANGE is refused (EINVAL).
  void rename(Ino parent, const std::string& name, Ino newParent, const std::string& newName,
              unsigned flags);

  // Files.
  std::unique_ptr<Handle> open(Ino ino, int flags);
  std::pair<Attributes, std::unique_ptr<Handle>> create(Ino parent, const std::string& name,
                                                        int flags);
  std::size_t read(Handle& handle, char* buffer, std::size_t size, std::int64_t offset);
  std::size_t write(Handle& handle, const char* data, std::size_t size, std::int64_t offset);
  // The close of a writer: queues its changes for the engine.
  void flush(Handle& handle);
  // Sends the changes and waits for the engine's answer.
  void fsync(Handle& handle);
  // Closes the handle; the last writer's close queues what is still unsent.
  void release(std::unique_ptr<Handle> handle);
  // Waits until every queued write-back has been tried.
  void waitForWriteBacks();

  FileSystemStats statfs() const;

  // Change polling (the ChangePoller's thread). pollOnce() returns true when
  // more changes wait at once.
  bool pollOnce();
  // Sends write-backs that failed before (the engine was away).
  void retryPending();
  // The kernel notifications queued since the last call.
  std::vector<Invalidation> takeNotes();
  // Called whenever notes are queued (to wake the poller).
  void setNotesListener(std::function<void()> listener);

  // Sends every unsent change; used when the mount ends.
  void shutdown();

  // For tests and diagnostics.
  ItemCache& cache() { return cache_; }
  const ContentCache& contents() const { return contents_; }
  const HostBridge& bridge() const { return bridge_; }
  std::optional<host::SyncAnchor> anchor() const;
  std::size_t pendingWriteBacks() const;

 private:
  using ItemPtr = std::shared_ptr<const host::Item>;

  NodeInfo node(Ino ino) const;
  NodeInfo folder(Ino ino) const;
  std::optional<NodeInfo> resolve(Ino parent, const std::string& name);
  Attributes attributesOf(const NodeInfo& node) const;
  host::ItemCapabilities capabilitiesOf(const NodeInfo& node) const;
  void requireCapability(const NodeInfo& node, host::ItemCapabilities capability) const;
  std::shared_ptr<FileState> state(Ino ino, bool create);
  std::shared_ptr<FileState> existingState(Ino ino) const;
  bool dropIfNeverSent(Ino ino, FileState& s);

  void ensureContent(const NodeInfo& node, FileState& state, bool& staleAttributes);
  void toWorkingCopy(const NodeInfo& node, FileState& state, bool truncate, bool& staleAttributes);
  void commit(Ino ino, FileState& state);
  void createRemote(const NodeInfo& node, FileState& state, std::uint64_t generation);
  void modifyRemote(const NodeInfo& node, FileState& state, std::uint64_t generation);
  void settle(Ino ino, FileState& state);
  void commitOrKeep(Ino ino, FileState& state, const char* op);
  void writeBack(Ino ino);
  // Writes the record of the node's working copy under its present path;
  // the caller holds the state's pathMutex.
  void recordWork(Ino ino, const FileState& state);
  // After a move: the records of working copies at or below `path`.
  void refreshRecords(const std::string& path);
  // Sends what an earlier run left unsent (it ended before the engine took it).
  void sendLeftovers();
  void sendLeftover(const std::filesystem::path& file, const WorkRecord& record);
  // Creates `contents` beside `name` under a conflict name, for a name that
  // is taken at the engine; `used` is the name it got.
  ItemPtr createUnderConflictName(const std::string& parentPath,
                                  const host::ItemIdentifier& parentIdentifier,
                                  const std::string& name, const std::filesystem::path& contents,
                                  std::string& used);
  void waitForWriteBacksBelow(const NodeInfo& node);

  ItemPtr modifyNamespace(const NodeInfo& node, Ino newParent, const std::string& newName);
  void moveItem(const NodeInfo& node, Ino newParent, const std::string& newName);
  void removeRemote(const NodeInfo& node);
  bool hasLocalChildren(Ino dir) const;
  bool keepsLocalState(Ino ino) const;

  void applyChanges(HostBridge::Changes changes);
  void resetCache();
  void note(Invalidation invalidation);
  void note(const std::vector<Invalidation>& invalidations);
  void reportOnce(std::string& last, const std::string& op, const std::string& path,
                  std::exception_ptr failure);

  HostBridge bridge_;
  ContentCache contents_;
  MountOptions options_;
  ItemCache cache_;
  ChangeGate gate_;
  const std::chrono::system_clock::time_point started_;

  mutable std::mutex filesMutex_;
  std::unordered_map<Ino, std::shared_ptr<FileState>> files_;
  std::set<Ino> pending_;  // write-backs that failed; guarded by filesMutex_

  mutable std::mutex notesMutex_;
  std::vector<Invalidation> notes_;
  std::function<void()> notesListener_;

  mutable std::mutex pollMutex_;
  std::optional<host::SyncAnchor> anchor_;
  std::string pollError_;

  // Last: its workers stop before anything they use goes away.
  WriteBackQueue writeBack_;
};

}  // namespace corvane::mount
