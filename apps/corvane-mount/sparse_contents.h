// SparseContents: the cached bytes of one version of one file, fetched block
// by block into a sparse file of the file's full size.
//
// Beside the data file, a block record says which aligned blocks hold the
// engine's bytes; it is written after the bytes it vouches for, and removed
// once every block is there (a data file without a record is complete). A
// new data file gets its (empty) record first, so a run that ends at any
// moment never leaves zeros that pass for contents.
//
// Also the meeting point of the fetches for this version: a reader claims
// the missing blocks it will fetch, so that two readers never fetch the same
// block, and waits for blocks that another reader's fetch is bringing.
//
// Made and indexed by the ContentCache; shared by the handles that read it
// and the fetches in flight for it. Thread-safe: one mutex guards the block
// state; the data file is written outside it (each store writes distinct
// blocks or the same bytes again).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/item.h"

namespace corvane::mount {

// A fetch found that the file's contents are no longer this version: the
// engine holds `item` now.
class Superseded : public std::runtime_error {
 public:
  explicit Superseded(std::shared_ptr<const host::Item> item)
      : std::runtime_error("the file changed at the engine while it was read"),
        item_(std::move(item)) {}
  const std::shared_ptr<const host::Item>& item() const { return item_; }

 private:
  std::shared_ptr<const host::Item> item_;
};

// Where one handle's reads have been going, for readahead.
struct ReadStream {
  std::mutex mutex;
  std::int64_t next = -1;  // where the last read ended; guarded by mutex
  std::int64_t streak = 0;  // bytes read in order up to there; guarded by mutex
};

class SparseContents {
 public:
  // The kernel's own readahead of a FUSE file: a type sniffer's first read
  // costs one block, not a megabyte; readahead merges blocks into large
  // requests for sequential reads.
  static constexpr std::int64_t kBlockSize = 128 << 10;

  // One fetch in flight: what its waiters learn when it ends.
  struct Pending {
    bool done = false;
    std::exception_ptr failure;
  };
  // Blocks that the caller is now to fetch: [offset, offset + length).
  struct Claim {
    std::int64_t offset = 0;
    std::int64_t length = 0;
    std::shared_ptr<Pending> pending;
  };

  // Takes over the open data file `fd`. `present` has one entry per block
  // (ignored when `complete`).
  SparseContents(std::filesystem::path file, std::filesystem::path tempFolder,
                 std::string identifier, std::string version, std::int64_t size, int fd,
                 bool complete, std::vector<bool> present);
  ~SparseContents();
  SparseContents(const SparseContents&) = delete;
  SparseContents& operator=(const SparseContents&) = delete;

  const std::string& identifier() const { return identifier_; }
  const std::string& version() const { return version_; }
  std::int64_t size() const { return size_; }
  std::filesystem::path file() const;
  // A new descriptor of the data file, for a reader's handle.
  int duplicate() const;

  bool complete() const;
  // Whether every byte of [offset, offset + length) (clipped to the file) is here.
  bool has(std::int64_t offset, std::int64_t length) const;
  // The bytes held, counted in whole blocks (the last one as long as it is).
  std::int64_t heldBytes() const;

  // Where the run of blocks from `offset` on that are here or on their way
  // ends (the file's size when it reaches the end).
  std::int64_t coveredFrom(std::int64_t offset) const;
  // Claims the blocks of [offset, end) that are neither here nor on their way,
  // as runs of at most `maxRequest` bytes. Nothing once the version is
  // superseded.
  std::vector<Claim> claim(std::int64_t offset, std::int64_t end, std::int64_t maxRequest);
  // Waits until the blocks of [offset, end) are here. Throws Superseded when
  // the version stopped being current, or the failure of the fetch that was
  // to bring a missing block. False when a block is missing that no fetch is
  // bringing (claim it again).
  // `check` runs every 50 ms while it waits, and throws to give up waiting.
  bool waitFor(std::int64_t offset, std::int64_t end, const std::function<void()>& check);

  // Copies the bytes of `delivered` (the file's bytes from `offset` on,
  // `length` of them) in and records the blocks they fill; finish() tells
  // the waiters. Returns how many bytes the cache holds more now. Throws
  // file errors.
  std::int64_t store(const std::filesystem::path& delivered, std::int64_t offset,
                     std::int64_t length);
  // Ends a claim; its blocks that did not arrive can be claimed again.
  void finish(const std::shared_ptr<Pending>& pending, std::exception_ptr failure);
  // The engine holds another version now: no more fetches for this one;
  // waiters learn `item`.
  void supersede(std::shared_ptr<const host::Item> item);
  // The cache no longer keeps these files (evicted, replaced, moved to work):
  // handles keep reading what they have open, stores still fill it, but
  // nothing writes the record any more. The files are the caller's.
  void retire();
  // Points the object at the files' new name (after a move).
  void renamed(std::filesystem::path file);

  // The block record beside a data file.
  static std::filesystem::path recordOf(const std::filesystem::path& file);
  // Writes the record for a file of `size` bytes with the blocks `present`.
  static void writeRecord(const std::filesystem::path& file, const std::filesystem::path& tempFolder,
                          std::int64_t size, const std::vector<bool>& present);
  // The blocks a record lists; nothing when it is unreadable or is for
  // another size.
  static std::optional<std::vector<bool>> readRecord(const std::filesystem::path& file,
                                                     std::int64_t size);
  static std::int64_t blocksFor(std::int64_t size) {
    return (size + kBlockSize - 1) / kBlockSize;
  }

 private:
  std::int64_t blockBytes(std::int64_t block) const;  // the block's length in the file
  bool allPresent() const;  // caller holds mutex_

  const std::filesystem::path tempFolder_;
  const std::string identifier_;
  const std::string version_;
  const std::int64_t size_;
  const int fd_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;                // signalled under mutex_
  std::filesystem::path file_;                     // guarded by mutex_
  std::vector<bool> present_;                      // guarded by mutex_
  std::vector<std::shared_ptr<Pending>> fetching_;  // per block; guarded by mutex_
  std::int64_t presentCount_ = 0;                  // guarded by mutex_
  bool retired_ = false;                           // guarded by mutex_
  std::shared_ptr<const host::Item> newer_;        // set once superseded; guarded by mutex_
};

}  // namespace corvane::mount
