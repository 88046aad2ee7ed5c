// Where a scope's items live: a local folder (LocalStorage) or the keys
// below a prefix of a bucket (BucketStorage). ScopeService holds the API's
// rules, the locks and the change log; a storage only reads and writes
// items. Paths are scope paths that the caller has checked (scope_paths.h);
// a folder path has no trailing "/".
//
// Failures: ApiError for what the user can act on (400, 403, 404, 409, and
// 502 when a store fails), std::system_error for local files.
//
// Thread-safety: every member may be called from any thread. Reads run in
// parallel; ScopeService serialises the writes that need it (see there).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "change_watcher.h"
#include "item_records.h"

namespace corvane::syncengine {

// Bytes of a file from `offset` on, `length` of them at most (where the file
// ends first, fewer; from past its end, none).
struct ByteSpan {
  std::int64_t offset = 0;
  std::int64_t length = 0;
};

// A file being read into a local file. Owned by the caller; one use.
class FileReader {
 public:
  virtual ~FileReader() = default;
  // Writes the file's contents, or only the bytes of `span`, into `fd` (a
  // new, empty regular file) and returns the state of the file they were
  // read from. On failure the file may hold part of them; the caller
  // removes it.
  virtual ItemState copyTo(int fd, const std::optional<ByteSpan>& span) = 0;
};

// The contents of an upload, ready to be placed at a path. Owned by the
// caller; whatever was not placed is cleaned up when it goes.
class StagedFile {
 public:
  virtual ~StagedFile() = default;
};

class ScopeStorage {
 public:
  enum class Kind { missing, file, folder, other };

  virtual ~ScopeStorage() = default;

  // Names the storage for the change log, which is not continued for other
  // storage: "/home/me/Documents", "s3 http://host:8000 photos/2024".
  virtual std::string identity() const = 0;
  // Clears what an earlier run left behind and, for a scope that is
  // `writable`, finds out what writes may rely on; called once before
  // serving.
  virtual void prepare(bool writable) = 0;
  // The watcher that reports others' changes to `onChanges`.
  virtual std::unique_ptr<ChangeWatcher> watcher(ChangeWatcher::Callback onChanges) = 0;

  // What the storage remembers of `path` and below it is out of date:
  // others changed the item there (a change the watcher reported).
  virtual void changedElsewhere(const std::string& /*path*/) {}

  // --- Reading -------------------------------------------------------------

  // What is at `path` ("" is the root, always a folder).
  virtual Kind kindOf(const std::string& path) const = 0;
  // The state of the file or folder at `path`; nothing for anything else.
  virtual std::optional<ItemState> stateOf(const std::string& path) const = 0;
  // The direct children of the folder `dir`, sorted by name bytes; nothing
  // when no folder is there.
  virtual std::optional<std::vector<ItemEntry>> list(const std::string& dir) const = 0;
  // Appends every item below the folder `path` (not `path` itself).
  virtual void walk(const std::string& path, ItemList& out) const = 0;
  // The file at `path`, to be read. Throws 404 when no file is there and 400
  // for a folder, here or when it is read.
  virtual std::unique_ptr<FileReader> openFile(const std::string& path) const = 0;
  // The state of the file at `path` when it is still at `state`'s version
  // and holds exactly the bytes of the regular file open at `source`;
  // nothing otherwise (unreadable counts as different).
  virtual std::optional<ItemState> holding(const std::string& path, const ItemState& state,
                                           int source) const = 0;

  // --- Writing ---------------------------------------------------------------

  // 400 unless a new file (`kind` file) or folder (`kind` folder) at `path`
  // fits the storage (a file-system path; a key, and for a folder the key
  // that marks it), refused before anything is asked or made.
  virtual void checkRoomFor(const std::string& path, Kind kind) const = 0;
  // The contents of the regular file open at `source` (from byte 0), ready
  // to be placed at `path` or at another name in the same folder, with the
  // source's modification time: the time the file was last written where
  // it came from, which the placed file keeps.
  virtual std::unique_ptr<StagedFile> stage(int source, const std::string& path) = 0;
  // Makes the folder `path` and its missing parents so that they stay when
  // empty, appending each folder made to `created`; 409 when a file is in
  // the way (what was made so far stays in `created`).
  virtual void makeFolders(const std::string& path, std::vector<std::string>& created) = 0;
  // Readies the folder `path` to take a new item: like makeFolders, but a
  // storage where a folder exists through the items in it only checks that
  // no file is in the way; `created` then names the folders that the new
  // item will bring about.
  virtual void prepareFolder(const std::string& path, std::vector<std::string>& created) = 0;
  // Places `staged` at `path` unless something is there (nothing then,
  // `staged` stays usable). Never replaces.
  virtual std::optional<ItemState> placeNew(StagedFile& staged, const std::string& path) = 0;
  // Places `staged` in the place of the file at `path`, which the caller
  // found at `current`; nothing when the storage can tell that the file is
  // no longer at that version (it is then left as it is).
  virtual std::optional<ItemState> replace(StagedFile& staged, const std::string& path,
                                           const ItemState& current) = 0;
  // Gives the file at `path`, which the caller found at `current`, the
  // modification time `sec` and `nsec` without writing its bytes again, and
  // returns its new state; nothing when the storage can tell that the file
  // is no longer at that version (it is then left as it is).
  virtual std::optional<ItemState> setModTime(const std::string& path, const ItemState& current,
                                              std::int64_t sec, std::int64_t nsec) = 0;
  // Removes the file, or the folder with everything in it, at `path`; a
  // missing one is no error. A folder that this leaves empty stays.
  virtual void remove(const std::string& path, bool folder) = 0;
  // Gives the item at `from` the path `to` (whose folder exists); false when
  // something is at `to`. A failure part-way leaves every item under its old
  // or its new path. A folder that this leaves empty stays.
  virtual bool move(const std::string& from, const std::string& to, bool folder) = 0;
};

}  // namespace corvane::syncengine
