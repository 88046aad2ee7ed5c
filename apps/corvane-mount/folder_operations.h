// FolderOperations: the kernel's requests that change names: mkdir, unlink,
// rmdir and rename.
//
// Each waits for the write-backs of the names it touches (so that they are
// at the engine as the user left them), holds the ChangeGate shared while it
// asks the engine and records the answer, and keeps the local state of the
// files involved in line (WorkingCopies). A rename over an existing file
// never leaves neither at the engine: the old one steps aside, the new one
// takes its name, then the old one goes; the RenameJournal keeps the intent
// durably meanwhile, and finishInterrupted() finishes or undoes what a crash
// (or a failure half-way) left. Refusals are thrown as Refusal.
//
// Owned by MountFileSystem; holds references to parts that outlive it, and
// owns its journal. Thread-safe. Lock order: the ChangeGate, then one
// FileState's `mutex` at a time (through WorkingCopies), except that a
// rename over a file never sent moves the other file while it holds that
// file's mutex (target before source).
#pragma once

#include <filesystem>
#include <mutex>
#include <string>

#include "corvane-mount/change_gate.h"
#include "corvane-mount/host_bridge.h"
#include "corvane-mount/item_cache.h"
#include "corvane-mount/mount_types.h"
#include "corvane-mount/names.h"
#include "corvane-mount/rename_journal.h"
#include "corvane-mount/working_copies.h"
#include "corvane-mount/write_back.h"

namespace corvane::mount {

class FolderOperations {
 public:
  FolderOperations(HostBridge& bridge, ItemCache& cache, ChangeGate& gate, Names& names,
                   WorkingCopies& workingCopies, WriteBack& writeBack,
                   const std::filesystem::path& journalFolder, TestHooks hooks);

  Attributes mkdir(Ino parent, const std::string& name);
  void unlink(Ino parent, const std::string& name);
  void rmdir(Ino parent, const std::string& name);
  // flags: 0 or RENAME_NOREPLACE; RENAME_EXCHANGE is refused (EINVAL).
  void rename(Ino parent, const std::string& name, Ino newParent, const std::string& newName,
              unsigned flags);

  // Finishes or undoes the renames over a file that a crash or a failure
  // left half done: a file the mount moved aside goes when the name it
  // stepped aside from is taken, and comes back to it otherwise. An intent
  // that cannot be settled now (the engine is away) stays for a later call.
  void finishInterrupted();

 private:
  // Both ends of a rename that is to happen.
  struct RenameEnds {
    NodeInfo source;
    std::optional<NodeInfo> target;  // what the new name holds now
  };
  // The checks of a rename, in the kernel's order; nothing when there is
  // nothing to do (the same name, or another spelling of it).
  std::optional<RenameEnds> checkRename(Ino parent, const std::string& name, Ino newParent,
                                        const std::string& newName, unsigned flags);
  // Replacing a folder: only an empty one, which goes first.
  void replaceFolder(const NodeInfo& source, const NodeInfo& target, Ino newParent,
                     const std::string& newName);
  // Replacing a file (an editor's save).
  void replaceFile(const NodeInfo& source, const NodeInfo& target, Ino newParent,
                   const std::string& newName);

  // Waits for the write-backs at or below (parent, name), when it is known.
  void waitForWriteBacksAt(Ino parent, const std::string& name);
  // ENOTEMPTY unless the folder holds nothing, by a fresh listing.
  void requireEmpty(const NodeInfo& folder);
  void removeRemote(const NodeInfo& node);
  // Renames and/or moves the item at the engine, then in the cache.
  void moveItem(const NodeInfo& node, Ino newParent, const std::string& newName);
  std::shared_ptr<const host::Item> modifyNamespace(const NodeInfo& node, Ino newParent,
                                                    const std::string& newName);
  // Settles one intent at the engine; throws when it cannot be had.
  void settle(const ReplaceIntent& intent);
  void hook(TestHooks::ReplaceStep step) const;

  HostBridge& bridge_;
  ItemCache& cache_;
  ChangeGate& gate_;
  Names& names_;
  WorkingCopies& workingCopies_;
  WriteBack& writeBack_;
  RenameJournal journal_;
  const TestHooks hooks_;
  std::mutex settleMutex_;  // one finishInterrupted() at a time
  std::string settleError_;  // the failure last logged; guarded by settleMutex_
};

}  // namespace corvane::mount
