// ContentCache: the folder where the mount keeps file contents.
//
//   <root>/<key>          a file's contents at one version: key = 16 hex
//                         digits of a hash of the identifier, "-", the hex of
//                         the content version; a sparse file of the whole
//                         size, reused across opens and restarts
//   <root>/<key>.blocks   beside contents not yet complete: which blocks
//                         are there (see SparseContents)
//   <root>/tmp/           the host's per-domain temporary folder: downloads
//                         land here and are renamed into place
//   <root>/work/          working copies of files being written
//   <root>/work/<name>.rec  beside a working copy with changes for the
//                         engine: what it must be sent as, so that a run
//                         that ends before sending it leaves enough for the
//                         next one to send it
//
// tmp/ and work/ are on the same file system as the cache, so every hand-over
// is a rename.
//
// The cached versions are bounded: their bytes count against a limit, and
// when a store or a close puts the cache over it, the versions used longest
// ago go, except those pinned by an open handle. Working copies and their
// records are never counted nor evicted. So the cache holds at most the limit
// plus what is open.
//
// Owned by the mount's file system. Thread-safe: one mutex guards the index
// of cached versions; it is taken before a SparseContents' mutex, never while
// waiting for the engine. The folder operations on working copies are single
// file-system calls on distinct names.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "corvane-mount/sparse_contents.h"
#include "host/types.h"
#include "platform/unique_fd.h"

namespace corvane::mount {

// What a working copy is to become at the engine, and how sending it went.
struct WorkRecord {
  std::string path;  // the file's path in the domain ("" is the root)
  bool isNew = false;  // not yet created at the engine
  host::ItemVersion base;  // the version the copy started from (when not new)
  // When the unsent changes began (the epoch when unknown), how often
  // sending them failed, and why the last time.
  std::chrono::system_clock::time_point since;
  unsigned attempts = 0;
  std::string lastFailure;
};

class ContentCache {
 public:
  static constexpr std::uint64_t kDefaultLimit = 10ull << 30;

  // Creates the folders (private to the user), empties tmp/, and takes stock
  // of the versions an earlier run cached (trimming them to `limit` bytes).
  explicit ContentCache(std::filesystem::path root, std::uint64_t limit = kDefaultLimit);
  ContentCache(const ContentCache&) = delete;
  ContentCache& operator=(const ContentCache&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path temporaryFolder() const { return root_ / "tmp"; }
  std::filesystem::path workFolder() const { return root_ / "work"; }

  // Where the contents of `identifier` at `contentVersion` live.
  std::filesystem::path fileFor(const std::string& identifier,
                                const std::string& contentVersion) const;

  // The contents of `identifier` at `contentVersion`, a file of `size`
  // bytes: what the cache holds of them, else a new sparse file with no
  // block yet. Marks them used. The file's other versions are no longer
  // current: they go now, or when the last handle on them closes.
  std::shared_ptr<SparseContents> open(const std::string& identifier,
                                       const std::string& contentVersion, std::int64_t size);
  // Keeps `contents` from eviction until the returned token is let go.
  std::shared_ptr<void> pin(const std::shared_ptr<SparseContents>& contents);
  // Whether the cache holds every byte of [offset, offset + length) of that
  // version (clipped to the file's size); asks nothing of the engine.
  bool has(const std::string& identifier, const std::string& contentVersion, std::int64_t offset,
           std::int64_t length) const;
  // After a store added `bytes` to `contents`: counts them, and evicts what
  // is over the limit.
  void grew(const SparseContents& contents, std::int64_t bytes);
  // `contents` are no longer the file's current version: they go now, or
  // when the last handle on them closes.
  void drop(const SparseContents& contents);
  // Takes complete contents out of the cache as a new working copy; handles
  // reading them keep reading the working copy.
  std::filesystem::path toWork(const std::shared_ptr<SparseContents>& contents);

  // Renames `file` into the cache under that key (replacing what was there)
  // and returns the new path.
  std::filesystem::path adopt(const std::filesystem::path& file, const std::string& identifier,
                              const std::string& contentVersion);
  // A new, empty working copy; with `opened`, it is also kept open for
  // reading and writing there (one open fewer for a file just created).
  std::filesystem::path newWorkingCopy(platform::UniqueFd* opened = nullptr) const;
  // Moves a cached or working file to a new working copy name.
  std::filesystem::path toWork(const std::filesystem::path& file);
  // Keeps a cached version findable under the file's new identifier.
  std::filesystem::path move(const std::filesystem::path& file, const std::string& identifier,
                             const std::string& contentVersion);
  // Removes a cached version or a working copy with what lies beside it,
  // ignoring failures.
  void remove(const std::filesystem::path& file);
  // Removes one file and the record beside it, ignoring failures.
  static void discard(const std::filesystem::path& file);

  // The bytes of cached versions, and the limit.
  std::uint64_t size() const;
  std::uint64_t limit() const { return limit_; }

  // Writes (or replaces) the record of the working copy `work`, atomically:
  // a run that ends at any moment leaves the old record or the new one.
  void writeRecord(const std::filesystem::path& work, const WorkRecord& record) const;
  static std::filesystem::path recordOf(const std::filesystem::path& work);
  // Removes the record only: the copy's changes are no longer wanted.
  static void dropRecord(const std::filesystem::path& work);
  // The working copies that an earlier run left with a record. Records whose
  // copy is gone are removed; `unrecorded` counts copies without a record.
  std::vector<std::pair<std::filesystem::path, WorkRecord>> leftovers(std::size_t& unrecorded) const;
  // The working copies with a record in the cache at `root`, as they are:
  // read only, so that it can be asked while a mount runs on that cache.
  static std::vector<std::pair<std::filesystem::path, WorkRecord>> recorded(
      const std::filesystem::path& root);

  // The key's first part, stable across runs.
  static std::string hashOf(const std::string& identifier);

 private:
  struct Entry {
    std::weak_ptr<SparseContents> live;  // the object reading it, when there is one
    std::int64_t bytes = 0;
    int pins = 0;
    bool dropWhenUnpinned = false;
    std::list<std::string>::iterator used;  // its place in used_
  };
  class Pin;

  // All of these: the caller holds mutex_.
  std::shared_ptr<SparseContents> load(const std::filesystem::path& file,
                                       const std::string& identifier,
                                       const std::string& contentVersion, std::int64_t size);
  Entry& enter(const std::string& key, std::int64_t bytes);
  void touch(Entry& entry, const std::string& key);
  // Removes the entry and its files; the object reading it is retired.
  void erase(std::map<std::string, Entry>::iterator it, const char* why);
  // The entry whose object is `contents`; end() when it has none.
  std::map<std::string, Entry>::iterator entryOf(const SparseContents& contents);
  void evictOverLimit();
  void unpin(const SparseContents& contents);
  void takeStock();

  std::filesystem::path root_;
  const std::uint64_t limit_;
  mutable std::mutex mutex_;
  std::map<std::string, Entry> entries_;  // by key; guarded by mutex_
  std::list<std::string> used_;           // keys, least recently used first; guarded by mutex_
  std::uint64_t total_ = 0;               // the entries' bytes; guarded by mutex_
};

}  // namespace corvane::mount
