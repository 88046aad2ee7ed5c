// ContentCache: the folder where the mount keeps file contents.
//
//   <root>/<key>          a materialised file: key = 16 hex digits of a hash
//                         of the identifier, "-", the hex of the content
//                         version; reused across opens and restarts
//   <root>/tmp/           the host's per-domain temporary folder: downloads
//                         land here and are renamed into place
//   <root>/work/          working copies of files being written
//   <root>/work/<name>.rec  beside a working copy with changes for the
//                         engine: what it must be sent as, so that a run
//                         that ends before sending it leaves enough for the
//                         next one to send it
//
// tmp/ and work/ are on the same file system as the cache, so every hand-over
// is a rename. Owned by the mount's file system; the folder operations are
// thread-safe (each is one file-system call on distinct names).
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/types.h"

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
  // Creates the folders (private to the user) and empties tmp/.
  explicit ContentCache(std::filesystem::path root);

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path temporaryFolder() const { return root_ / "tmp"; }
  std::filesystem::path workFolder() const { return root_ / "work"; }

  // Where the contents of `identifier` at `contentVersion` live.
  std::filesystem::path fileFor(const std::string& identifier,
                                const std::string& contentVersion) const;
  // That file, when it is there.
  std::optional<std::filesystem::path> find(const std::string& identifier,
                                            const std::string& contentVersion) const;
  // Renames `file` into the cache under that key (replacing what was there)
  // and returns the new path.
  std::filesystem::path adopt(const std::filesystem::path& file, const std::string& identifier,
                              const std::string& contentVersion) const;
  // A new, empty working copy.
  std::filesystem::path newWorkingCopy() const;
  // Moves a cached or working file to a new working copy name.
  std::filesystem::path toWork(const std::filesystem::path& file) const;
  // Removes one file and the record beside it, ignoring failures.
  static void discard(const std::filesystem::path& file);

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
  std::filesystem::path root_;
};

}  // namespace corvane::mount
