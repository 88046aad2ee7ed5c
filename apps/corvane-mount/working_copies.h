// WorkingCopies: the local contents of files, from the engine's bytes to the
// user's working copy.
//
// Reading a file reads its cached contents, whose missing blocks the
// ContentReader fetches as they are read. Writing materialises every byte
// and turns them into a working copy (a private file the kernel's writes go to),
// which WriteBack sends after close. This class also keeps each file's local
// state in line with what happens to its name (unlink, replace, rename of a
// file never sent, a move), and tells the other parts what that state
// protects: a file with local changes keeps its node whatever the engine
// says. Part of the working-copies room, with the FileTable (the state it
// shares) and WriteBack (which it hands changes to); the content cache is the
// only place it keeps fetched bytes.
//
// Owned by MountFileSystem; holds references to parts that outlive it.
// Thread-safe. Lock order within the room: a FileState's `mutex` (held across
// an engine request), then the FileTable's mutex, then the state's
// `pathMutex`, then the item cache's lock.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "corvane-mount/content_cache.h"
#include "corvane-mount/content_reader.h"
#include "corvane-mount/file_table.h"
#include "corvane-mount/host_bridge.h"
#include "corvane-mount/item_cache.h"
#include "corvane-mount/kernel_notes.h"
#include "corvane-mount/write_back.h"

namespace corvane::mount {

class WorkingCopies {
 public:
  WorkingCopies(HostBridge& bridge, ContentCache& contents, ContentReader& reader,
                ItemCache& cache, KernelNotes& notes, FileTable& files, WriteBack& writeBack);
  WorkingCopies(const WorkingCopies&) = delete;
  WorkingCopies& operator=(const WorkingCopies&) = delete;

  // Opens the file `node` (already checked: a file the caller may open so).
  // A writer gets a working copy (emptied when `truncate`), a reader the
  // current contents.
  std::unique_ptr<Handle> open(const NodeInfo& node, bool writable, bool truncate);
  // Before a read of `size` bytes at `offset` through `handle`: its bytes
  // are made local. EIO when the file changed at the engine since the
  // handle was opened and the bytes are not here.
  void prepareRead(Handle& handle, std::int64_t offset, std::size_t size);
  // A new file `name` in `parent`, not yet at the engine, and a writable
  // handle on its empty working copy. The caller holds the ChangeGate.
  std::pair<NodeInfo, std::unique_ptr<Handle>> createLocal(Ino parent, const std::string& name);
  // Sets the size of the file (already checked: a file the caller may
  // write); without a writable handle the change is sent like a close.
  void truncate(Ino ino, std::uint64_t size, Handle* handle);
  // Sets the file's modification time (already checked: a file the caller
  // may write). A working copy takes it, so that the upload still to come
  // (a new file, unsent writes) carries it; otherwise it is sent on its own,
  // now or, with writers, at the last close.
  void setModificationTime(Ino ino, host::FileTime time, Handle* handle);

  // What the local state says of a file's size and time.
  struct LocalView {
    bool held = false;                // the mount keeps local state for it
    std::optional<struct stat> copy;  // its working copy, when it has one on disk
    // The time set or written here, and whether it is here only (unsent, or
    // the engine cannot take it).
    std::optional<host::FileTime> modTime;
    bool timeHereOnly = false;
  };
  LocalView localView(Ino ino) const;
  // Whether local state protects the file's node (open for writing, unsent
  // changes, a working copy, not yet at the engine).
  bool keepsLocalState(Ino ino) const;

  // The file's local state, when it has one (the two steps of an unlink
  // look at the same one).
  std::shared_ptr<FileState> state(Ino ino) const { return files_.find(ino); }
  // Unlink of a file never sent to the engine: it only leaves the cache
  // (with its contents when nothing has it open). False when it was sent.
  bool unlinkNeverSent(Ino ino, const std::shared_ptr<FileState>& state);
  // After the engine removed the file: writes still to come through open
  // handles go with it, and so do its contents when nothing has it open.
  void unlinked(const NodeInfo& node, const std::shared_ptr<FileState>& state);
  // After a rename replaced the file: its record goes, and its cached
  // contents when nothing has it open.
  void replaced(Ino ino);
  // When the file was never sent to the engine, drops it from the cache and
  // calls `then` while still holding the file's mutex (the caller moves
  // another file onto its name). False when it was sent.
  bool whenNeverSent(Ino ino, const std::function<void()>& then);

  enum class Unsent { no, renamed, sent };
  // Before a rename of a file: one not yet at the engine is renamed in the
  // cache only, its creation will use the new name (renamed); when it
  // replaces another it is sent first (sent). `no` when it is at the engine.
  Unsent renameIfUnsent(Ino ino, Ino newParent, const std::string& newName, bool replacing);
  // After a move at the engine of `moved` (as it is now): the cached
  // contents of it, or of the files below it, are kept findable under their
  // new identifiers.
  void moved(const NodeInfo& moved);

  // Keeps the uploads of some files from running while it lives.
  class SendingHold {
   public:
    SendingHold() = default;
    SendingHold(SendingHold&&) = default;
    SendingHold& operator=(SendingHold&& other) noexcept;
    ~SendingHold() { release(); }
    void release();

   private:
    friend class WorkingCopies;
    std::vector<std::shared_ptr<FileState>> held_;
  };
  // Before the engine renames or removes `nodes`: no upload of those files,
  // or of a file below those folders, runs until the hold goes, and none is
  // half done. The caller holds the ChangeGate and takes no FileState lock
  // of those files before this.
  SendingHold holdSending(const std::vector<NodeInfo>& nodes) const;
  // Before the engine moves `moving` (held): what is unsent of it, or of the
  // files below it, and not open for writing is sent first, so that no
  // record is left naming a path the engine has moved.
  void sendBeforeMove(const NodeInfo& moving);

  // For change application: what the engine says of files held here.
  void markRemoteGone(Ino ino);
  // Contents of a file that nothing has open are dropped.
  void dropUnopened(Ino ino);
  // Whether the file is not yet at the engine.
  bool isNew(Ino ino) const;
  // The content version of the bytes held for the file; "" when none.
  std::string heldVersion(Ino ino) const;

 private:
  // The file's current contents in the cache, pinned, with their first
  // block (`whole`: every block) here; the caller holds the file's mutex.
  // When the engine has another version than the node says, the node is
  // brought in line (`stale`) and that version taken.
  struct Current {
    std::shared_ptr<SparseContents> contents;
    std::shared_ptr<void> pin;
    bool stale = false;
  };
  Current current(const NodeInfo& node, bool whole);
  // Opens the cached contents for reading; the caller holds the file's
  // mutex. True when the kernel must drop the file's attributes.
  bool openCached(const NodeInfo& node, FileState& state, Handle& handle);
  // After a download: the node is brought in line with the item it brought.
  // True when the node had another version.
  bool alignNode(const NodeInfo& node, const std::shared_ptr<const host::Item>& fetched);
  // Turns the file's contents into a working copy; the caller holds its
  // mutex. True when the kernel must drop the file's attributes.
  bool toWorkingCopy(const NodeInfo& node, FileState& state, bool truncate);
  // Called with the file's mutex held. A file never sent to the engine only
  // has to leave the cache (with its working copy's record); true when it
  // was one.
  bool dropIfNeverSent(Ino ino, FileState& state);
  // The local states of `nodes` and of the files below those folders, in
  // inode order.
  std::vector<std::pair<Ino, std::shared_ptr<FileState>>> statesOf(
      const std::vector<NodeInfo>& nodes) const;

  HostBridge& bridge_;
  ContentCache& contents_;
  ContentReader& reader_;
  ItemCache& cache_;
  KernelNotes& notes_;
  FileTable& files_;
  WriteBack& writeBack_;
};

}  // namespace corvane::mount
