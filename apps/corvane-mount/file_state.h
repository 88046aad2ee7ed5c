// FileState and Handle: the local state of one file's contents, and an open
// file that reads and writes them.
//
// A FileState is made by the FileTable for a file the mount holds contents
// of, and shared by the table, the file's open handles and the write-back
// job. Its mutexes and its atomics are its thread-safety: `sending` keeps
// its uploads and the renames and removals of its name at the engine apart,
// `mutex` is held across the long steps (materialisation, take-over, commit,
// write-back), `pathMutex` only for a moment, so that readers never wait for
// an engine request. A thread takes them in that order, never the other way;
// several files' `sending` are taken in the order of their inode numbers.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "corvane-mount/item_cache.h"
#include "corvane-mount/sparse_contents.h"
#include "host/modification_dates.h"
#include "host/types.h"

namespace corvane::mount {

struct FileState {
  // Held by every upload of this file and by an operation that renames or
  // removes it at the engine, so an upload never lands on a name half moved
  // (a close reaches the mount after close() has returned, so the next
  // operation on the name may come before the upload it queues).
  std::mutex sending;
  // Held across materialisation, take-over and write-back of this file.
  std::mutex mutex;
  // Guards the fields below up to `refusals` for readers that must not
  // wait for a long write-back (attributes, opening for reading); writers of
  // those fields hold both mutexes.
  mutable std::mutex pathMutex;
  std::filesystem::path file;  // the local contents; empty when none
  bool inWork = false;         // `file` is a working copy, not a cached version
  bool isNew = false;          // not yet created at the engine
  host::ItemVersion base;      // the version `file` started from
  bool matchesBase = true;     // `file` holds `base` plus the local writes
  // What the record of unsent changes tells: when they began, how often
  // sending them failed since, why the last time, and how many of those
  // failures in a row were the engine's refusals (they set the backoff).
  std::chrono::system_clock::time_point unsentSince;
  unsigned attempts = 0;
  std::string lastFailure;
  unsigned refusals = 0;
  // The file's modification time as the user left it, to the nanosecond
  // (the engine's items carry whole seconds). Shown while it is unsent or
  // kept here only, and while the engine's time is the same second.
  std::optional<host::FileTime> modTime;
  bool timeKeptHere = false;  // the engine cannot take a time on its own
  // Whether pages the kernel keeps for the file still hold its contents.
  std::atomic<bool> kernelCacheValid{false};
  std::atomic<bool> remoteGone{false};       // deleted at the engine while written here
  // `modTime` is to be sent on its own: no upload carries it.
  std::atomic<bool> timeUnsent{false};
  std::atomic<std::uint64_t> generation{0};  // bumped by every local change
  std::atomic<std::uint64_t> committed{0};   // generation last sent
  std::atomic<int> handles{0};
  std::atomic<int> writers{0};
  std::string lastError;  // the failure last logged for its write-back; under `mutex`
  // The generation the engine last refused (0: none since the last success);
  // until its wait is over, closing the file again does not resend it.
  // Under `mutex`.
  std::uint64_t refusedGeneration = 0;

  bool dirty() const { return generation.load() != committed.load(); }
};

// An open file: owned by the kernel's side (the adapter) between open and
// release. Reads and writes go straight to the local contents it opened;
// the kernel may send several at once, and each is one positioned call.
struct Handle {
  Ino ino = 0;
  int fd = -1;
  bool writable = false;
  bool keepCache = false;
  // The download found a newer version than the kernel knows: it must drop
  // the file's attributes (its size above all) before reading.
  bool staleAttributes = false;
  std::shared_ptr<FileState> state;
  // A reader of cached contents: the blocks it reads are fetched as it
  // reads them, and the cache keeps them while it is open. Null for a
  // working copy.
  std::shared_ptr<SparseContents> contents;
  std::shared_ptr<void> pin;
  ReadStream stream;

  Handle() = default;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle();

  // Up to `size` bytes at `offset`; fewer only at the end of the file.
  std::size_t read(char* buffer, std::size_t size, std::int64_t offset);
  // All `size` bytes at `offset`, counted as a local change; EBADF when the
  // handle is not writable.
  std::size_t write(const char* data, std::size_t size, std::int64_t offset);
};

}  // namespace corvane::mount
