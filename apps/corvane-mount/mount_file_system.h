// MountFileSystem: the mount's file-system logic, in the kernel's terms
// (inodes, names, handles, errno) but without FUSE types.
//
// It plays the host for one domain, as the coordinator of small parts, each
// with its own header, state and lock:
//   - names, folders and attributes: the ItemCache (what the mount knows of
//     the tree), Names (resolving names, attributes, capabilities, the names
//     the engine can take) and FolderOperations (mkdir, unlink, rmdir,
//     rename, with the RenameJournal that lets a rename over a file cut
//     short by a crash be settled by the next run);
//   - working copies: the FileTable (each file's local state), WorkingCopies
//     (materialised contents, working copies, handles) and WriteBack (sending
//     after close or on fsync, retries, the records of unsent changes and
//     what an earlier run left unsent);
//   - change application: ChangeApplication (the poller's change sets,
//     anchor expiry);
//   - contents: the ContentCache, the folder of fetched bytes and working
//     copies; WorkingCopies finds and adopts fetched bytes only through it,
//     so how much it keeps is bounded there alone; the ContentReader fetches
//     the blocks that reads need;
// and the HostBridge to the extension, the ChangeGate and KernelNotes. The
// libfuse adapter only translates calls into the operations below and their
// results and failures into replies; folder listings reach it through an
// EntryReplier.
//
// Failures are thrown: Refusal for the mount's own answers (ENOENT, EEXIST,
// ENOTEMPTY, EROFS...), host::Error from the extension, file errors from the
// local disk; errnoFor() maps them all.
//
// Thread-safe: the kernel's requests arrive on many threads at once. Answers
// that take long (downloads, write-backs) do not hold the gate: they only set
// an item that has not changed meanwhile, and a file with local changes
// keeps its state whatever a batch says. Kernel notifications are never sent
// from here: they are queued (takeNotes) for the poller's thread, because
// telling the kernel to drop an entry from inside a request can deadlock it.
//
// While the engine is away (EnginePresence, kept by the HostBridge) the
// mount serves what it holds: cached contents of the versions it knows,
// folders it has listed, the attributes of known names. Whatever needs the
// engine fails with EIO, at once while it stalls.
//
// Lock order, outermost first; a thread that holds one takes only later ones:
//   1. ChangeApplication's poll mutex (the poller's thread);
//   2. the ChangeGate: shared by a request that asks the engine and records
//      the answer, exclusive while a change set is applied;
//   3. a FileState's `mutex`, one file at a time, held across engine
//      requests (a rename over a file never sent holds it while it moves the
//      other file: target before source);
//   4. the FileTable's mutex;
//   5. a FileState's `pathMutex`;
//   6. the WriteBackQueue's mutex (waitFor() asks the ItemCache under it);
//   7. the ItemCache's mutex, KernelNotes' mutex.
// ItemCache::fill and ::reset call their `keep` (WorkingCopies::
// keepsLocalState: the FileTable's mutex, then a `pathMutex`) without the
// cache's mutex: under it, they would wait for steps 4 and 5 while a thread
// that writes a working copy's record holds its `pathMutex` and waits for the
// cache. KernelNotes calls its listener (the poller's wake-up) after letting
// go of its mutex.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "corvane-mount/change_application.h"
#include "corvane-mount/change_gate.h"
#include "corvane-mount/content_cache.h"
#include "corvane-mount/content_reader.h"
#include "corvane-mount/file_state.h"
#include "corvane-mount/file_table.h"
#include "corvane-mount/folder_handle.h"
#include "corvane-mount/folder_operations.h"
#include "corvane-mount/host_bridge.h"
#include "corvane-mount/item_cache.h"
#include "corvane-mount/kernel_notes.h"
#include "corvane-mount/mount_types.h"
#include "corvane-mount/names.h"
#include "corvane-mount/working_copies.h"
#include "corvane-mount/write_back.h"

namespace corvane::mount {

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
  // A handle for reading the folder's listing in pieces; ENOTDIR for a file.
  std::unique_ptr<FolderHandle> opendir(Ino dir);
  // Replies with the listing's entries from `offset` on, as many as fit.
  void readdir(FolderHandle& folder, std::uint64_t offset, EntryReplier& reply);
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
  // Makes the bytes of a read local, so that it can be served from the
  // handle's file descriptor (read() does this itself).
  void prepareRead(Handle& handle, std::size_t size, std::int64_t offset);
  std::size_t write(Handle& handle, const char* data, std::size_t size, std::int64_t offset);
  // A close of a descriptor: nothing is sent until the last writer's release.
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
  // Whether the engine is away (then the poller probes it more often).
  bool engineAway() const { return bridge_.presence().away(); }
  // Where the loss and return of the engine are told.
  EnginePresence& presence() { return bridge_.presence(); }
  // The kernel notifications queued since the last call.
  std::vector<Invalidation> takeNotes();
  // Called whenever notes are queued (to wake the poller).
  void setNotesListener(std::function<void()> listener);

  // Sends every unsent change; used when the mount ends.
  void shutdown();

  // The path of an inode (and a name below it) for log lines.
  std::string pathFor(Ino ino, const char* name = nullptr) const;

  // For tests and diagnostics.
  ItemCache& cache() { return cache_; }
  const ContentCache& contents() const { return contents_; }
  ContentCache& contents() { return contents_; }
  const HostBridge& bridge() const { return bridge_; }
  std::optional<host::SyncAnchor> anchor() const;
  std::size_t pendingWriteBacks() const;

 private:
  // "." and "..", then the children.
  std::vector<DirEntry> snapshot(Ino dir);

  HostBridge bridge_;
  ContentCache contents_;
  // Its fetches end before the cache and the bridge go.
  ContentReader reader_;
  ItemCache cache_;
  ChangeGate gate_;
  KernelNotes notes_;
  FileTable files_;
  // Its workers stop before anything declared above goes away.
  WriteBack writeBack_;
  WorkingCopies workingCopies_;
  Names names_;
  FolderOperations folders_;
  ChangeApplication changes_;
};

}  // namespace corvane::mount
