// Disk access for one scope: the local folder that backs it. Turns
// scope-relative paths into file-system operations and reports items as the
// engine sees them. Symbolic links and special files are not items: they are
// never listed, and a path through a symbolic link is treated as missing, so
// no request reaches outside the folder. Names that are not valid UTF-8 are
// skipped as well, and so are the engine's own work files (WorkFiles) while
// they exist: nothing is at their names as far as the engine's items go.
//
// Stateless apart from the root and the work files it asks (not owned; they
// outlive it); safe to use from any thread. Owned by LocalStorage.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "change_watcher.h"
#include "item_records.h"

namespace corvane::syncengine {

class WorkFiles;

// The state of a stat result: nothing for anything but a regular file or a
// folder. A file's version is made of its inode number, size and modification
// time: a write changes the time (and usually the size), and an upload swaps
// in a new inode, while renames and permission changes leave all three alone.
// The price of not hashing contents: a `touch` that changes only the time
// gives a new version too, so a client may download a file that is the same.
// Hashing would mean reading every file at each listing and rescan.
std::optional<ItemState> stateFromStat(const struct stat& st);

class ScopeFolder {
 public:
  enum class Kind { missing, file, folder, other };

  // `own` tells the engine's work files; none when null.
  explicit ScopeFolder(std::filesystem::path root, const WorkFiles* own = nullptr);

  const std::filesystem::path& root() const { return root_; }
  // The file-system path of a scope path ("" is the root itself).
  std::filesystem::path full(std::string_view path) const;

  // What is at `path`. A path whose parents are not all real folders is
  // missing; a symbolic link or special file is `other`.
  Kind kindOf(std::string_view path, struct stat* st = nullptr) const;
  std::optional<ItemState> stateOf(std::string_view path) const;

  // The direct children of the folder `path`, sorted by name bytes. Throws
  // std::system_error when the folder cannot be read.
  std::vector<ItemEntry> list(std::string_view path) const;

  // Every item below `path` (not `path` itself), keyed by scope path. Folders
  // that vanish or cannot be read while walking are skipped.
  void walk(std::string_view path, ItemList& out) const;

 private:
  std::filesystem::path root_;
  const WorkFiles* own_;
};

}  // namespace corvane::syncengine
