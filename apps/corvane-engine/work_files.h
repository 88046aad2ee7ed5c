// The engine's own files inside a scope's folder: the contents of uploads on
// their way to their names. The engine never deletes, hides or replaces a
// file it did not make, so it keeps its own apart:
//   - Contents are staged as an unnamed file (O_TMPFILE) in a folder of the
//     scope: nothing named exists while the bytes are written, and a crash
//     leaves nothing behind. The file gets its name by linkat(), which fails
//     when the name is taken, so a new file never replaces one that appeared
//     meanwhile.
//   - A name the engine needs for a moment (to replace a file by rename(),
//     or to stage at all where the file system has no unnamed files) is
//     recorded in the scope's database before the file exists and forgotten
//     once the name is gone. A crash leaves only recorded names, and the
//     next start removes exactly those.
//   - While a name is the engine's, ScopeFolder reports nothing there, so
//     listings and the change log never see it.
//
// Owned by LocalStorage. Thread-safe: the live names have their own mutex.
// Staging runs outside the scope's lock, placing under it; a replacement's
// temporary name is live from before it exists until after it is gone, so
// a listing never sees it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace corvane::syncengine {

class ChangeLog;
class ScopeFolder;

class WorkFiles {
 public:
  // Test hook: when this variable is set, contents are staged under recorded
  // names, as on file systems without unnamed files.
  static constexpr const char* kNamedOnlyVariable = "CORVANE_TEST_NAMED_WORK_FILES";

  // `root` is the scope's folder; `log` keeps the records.
  WorkFiles(std::filesystem::path root, ChangeLog& log);
  WorkFiles(const WorkFiles&) = delete;
  WorkFiles& operator=(const WorkFiles&) = delete;

  // Contents staged in the scope's folder and not yet at their name. Removed
  // (and its record forgotten) unless placed.
  class Staged {
   public:
    Staged(Staged&& other) noexcept;
    Staged& operator=(Staged&&) = delete;
    ~Staged();

   private:
    friend class WorkFiles;
    Staged(WorkFiles& owner, platform::UniqueFd fd, std::string name);
    void discard() noexcept;

    WorkFiles* owner_;
    platform::UniqueFd fd_;  // the contents
    std::string name_;       // a recorded scope path; empty for an unnamed file
  };

  // Copies the regular file open at `source` (at offset 0), with its access
  // and modification times, into the scope's folder `folder` (a scope path
  // of an existing folder), durably. Throws std::system_error.
  Staged stage(int source, const std::string& folder);

  // Gives the contents the name `path` unless something is there (false
  // then; `staged` stays usable). Never replaces. Throws std::system_error.
  bool placeNew(Staged& staged, const std::string& path);

  // Puts the contents in the place of the file at `path`, with `mode`.
  // Throws std::system_error.
  void replace(Staged& staged, const std::string& path, mode_t mode);

  // True while `path` is a name of the engine's own.
  bool contains(std::string_view path) const;

  // Removes the files at the names a previous run recorded and left, and
  // forgets those records. Call before anything is staged.
  void removeLeftovers(const ScopeFolder& folder);

 private:
  std::filesystem::path full(std::string_view path) const;
  // A fresh name in `folder`, live and recorded; nothing is made there yet.
  std::string reserve(const std::string& folder);
  // Forgets `path`, which no longer names a file of the engine's.
  void release(const std::string& path) noexcept;
  // Links the unnamed file `fd` under a fresh recorded name in `folder`.
  std::string linkUnderNewName(int fd, const std::string& folder);

  const std::filesystem::path root_;
  ChangeLog& log_;
  const bool unnamed_;  // unnamed files may be used

  mutable std::mutex mutex_;
  std::set<std::string, std::less<>> live_;  // guarded by mutex_
  std::atomic<std::size_t> liveCount_{0};    // live_.size(), read without the lock
};

}  // namespace corvane::syncengine
