// WriteBack: sends what was written here to the engine, and keeps what it
// cannot send yet.
//
// The close of the last writer queues the file, to be sent after the
// write-back delay (sooner when a rename, removal or the unmount needs it at
// the engine); a worker commits it (creates
// or modifies the item, the user's bytes becoming a conflict copy at the
// engine when the engine's version moved meanwhile) and settles it: the
// working copy becomes the cached contents of the new version, or goes. A
// commit that fails keeps the change (bytes and record), logs the failure
// once and marks the file pending: the poller sends it again at its next
// round when the engine was only away, and after a growing wait (the
// RetryPolicy) when the engine refused it. fsync commits at once and reports
// the failure. Each working copy with changes has a record beside it
// (ContentCache::writeRecord) that also tells since when it is unsent, how
// often sending failed and why, so what a run could not send is sent by the
// next one when it starts (sendLeftovers; those it cannot send either are
// tried again like pending files), and `corvane-mount --status` can show it.
// A new modification time travels with the upload as the working copy's
// time; one set on a file with nothing else unsent goes on its own, through
// the same queue and retries (but without a record: a run that ends first
// loses it). Part of the working-copies room, with WorkingCopies and the
// FileTable.
//
// Owned by MountFileSystem; holds references to the bridge, the content and
// item caches, the notes and the file table, which outlive it. Thread-safe.
// commit() and commitOrKeep() expect the caller to hold the file's `mutex`;
// recordWork() expects its `pathMutex`. The queue's workers take a file's
// `mutex`, then briefly its `pathMutex`, the item cache's and the file
// table's locks; they never take the ChangeGate. The queue is the last
// member: its workers stop before anything they use goes away.
#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "corvane-mount/conflict_record.h"
#include "corvane-mount/content_cache.h"
#include "corvane-mount/file_table.h"
#include "corvane-mount/host_bridge.h"
#include "corvane-mount/item_cache.h"
#include "corvane-mount/kernel_notes.h"
#include "corvane-mount/mount_types.h"
#include "corvane-mount/write_back_queue.h"

namespace corvane::mount {

class WriteBack {
 public:
  WriteBack(HostBridge& bridge, ContentCache& contents, ItemCache& cache, KernelNotes& notes,
            FileTable& files, RetryPolicy retry,
            std::chrono::milliseconds delay = std::chrono::milliseconds::zero());
  WriteBack(const WriteBack&) = delete;
  WriteBack& operator=(const WriteBack&) = delete;

  // Sends the changes and waits for the engine's answer; throws its failure.
  void fsync(Handle& handle);
  // Closes the handle; the last writer's close queues what is still unsent.
  void release(std::unique_ptr<Handle> handle);

  // Waits until every queued write-back has been tried.
  void waitForAll();
  // Waits for the write-backs of the node and, for a folder, of everything
  // below it, so that they are at the engine under their present names.
  void waitForBelow(const NodeInfo& node);

  // Sends the file's unsent changes; throws when the engine did not take
  // them. The caller holds the file's `mutex`.
  void commit(Ino ino, FileState& state);
  // commit() and settle; a failure is logged once and the file marked
  // pending. The caller holds the file's `mutex`.
  void commitOrKeep(Ino ino, FileState& state, const char* op);

  // Writes the record of the node's working copy under its present path;
  // the caller holds the state's `pathMutex`.
  void recordWork(Ino ino, const FileState& state);
  // After a move: the records of working copies at or below `path`.
  void refreshRecords(const std::string& path);

  // Sends what an earlier run left unsent (it ended before the engine took it).
  void sendLeftovers();
  // Queues the failed write-backs whose time has come again (the engine may
  // be back), and sends such leftovers of an earlier run.
  void retryPending();
  // The leftovers of an earlier run still unsent.
  std::size_t unsentLeftovers() const;
  // Sends every unsent change and stops the workers; used when the mount ends.
  void shutdown();

 private:
  using ItemPtr = std::shared_ptr<const host::Item>;

  void run(Ino ino);
  void createRemote(const NodeInfo& node, FileState& state, std::uint64_t generation);
  void modifyRemote(const NodeInfo& node, FileState& state, std::uint64_t generation);
  // Gives the node the engine's present item after an upload whose answer
  // met another item in the cache (one that a change batch brought).
  void takePresentItem(const NodeInfo& node, const ItemPtr& sent);
  // Sends the file's time on its own (no upload carried it). An engine that
  // cannot take it leaves it here, which the log says once.
  void sendTime(Ino ino, FileState& state);
  // Gone at the engine: the user's bytes become a new file at the path.
  void sendAsNew(const NodeInfo& node, FileState& state, std::uint64_t generation);
  // Lets the working copy go once nothing is unsent.
  void settle(Ino ino, FileState& state);
  struct Created {
    ItemPtr item;
    std::string name;  // the name it got
  };
  // Creates `contents` beside `name` under a conflict name, for a name that
  // is taken at the engine.
  Created createUnderConflictName(const std::string& parentPath,
                                  const host::ItemIdentifier& parentIdentifier,
                                  const std::string& name, const std::filesystem::path& contents);
  // Records a copy of `original` that this mount made under `name` in the
  // folder `parentPath`; a failure to record is logged.
  void recordCopy(const std::string& parentPath, const std::string& name,
                  const std::string& original);
  // The engine kept the bytes of a change of `original` (a file of the
  // folder `parentPath`) as a conflict copy, made after `since`: finds that
  // copy in the folder's listing and records it. A copy that cannot be
  // found (the engine found the bytes kept already) is not recorded.
  void findEngineCopy(const std::string& parentPath, const host::ItemIdentifier& parentIdentifier,
                      const std::string& original, std::chrono::system_clock::time_point since);
  // After a failed commit: logs it once, counts it in the record and marks
  // the file pending until its next try. The caller holds the file's `mutex`.
  void keepUnsent(Ino ino, FileState& state, const char* op, std::exception_ptr failure);

  // A working copy an earlier run left unsent, and when to try it again.
  struct Leftover {
    std::filesystem::path file;
    WorkRecord record;
    FileTable::Clock::time_point retryAt;
    unsigned refusals = 0;
    std::string lastLogged;
  };
  // Sends it; on failure counts it in its record and sets its next try.
  bool trySendLeftover(Leftover& leftover);
  void sendLeftover(const std::filesystem::path& file, const WorkRecord& record);

  HostBridge& bridge_;
  ContentCache& contents_;
  ItemCache& cache_;
  KernelNotes& notes_;
  FileTable& files_;
  const RetryPolicy retry_;
  const std::chrono::milliseconds delay_;
  std::atomic<bool> toldTimesStayHere_{false};
  ConflictRecord conflicts_;
  mutable std::mutex leftoversMutex_;
  std::vector<Leftover> leftovers_;  // guarded by leftoversMutex_; tried without it
  // Last: its workers stop before anything they use goes away.
  WriteBackQueue queue_;
};

}  // namespace corvane::mount
