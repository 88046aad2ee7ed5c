// A scope backed by a local folder: items are the folder's files and
// folders (ScopeFolder says what counts), uploads are staged in the folder
// as the engine's own work files and take their names atomically
// (WorkFiles), and others' changes are noticed with inotify (FolderWatcher).
//
// Owned by ScopeService; refers to the scope's change log (for the work
// files' records), which outlives it. Thread-safe as ScopeStorage says; the
// folder's own consistency comes from the file system's atomic operations.
#pragma once

#include <filesystem>
#include <memory>

#include "change_log.h"
#include "scope_folder.h"
#include "scope_storage.h"
#include "work_files.h"

namespace corvane::syncengine {

class LocalStorage : public ScopeStorage {
 public:
  // `root` is the scope's folder, absolute and canonical.
  LocalStorage(std::filesystem::path root, ChangeLog& log);

  const ScopeFolder& folder() const { return folder_; }

  std::string identity() const override;
  void prepare(bool writable) override;
  std::unique_ptr<ChangeWatcher> watcher(ChangeWatcher::Callback onChanges) override;

  Kind kindOf(const std::string& path) const override;
  std::optional<ItemState> stateOf(const std::string& path) const override;
  std::optional<std::vector<ItemEntry>> list(const std::string& dir) const override;
  void walk(const std::string& path, ItemList& out) const override;
  std::unique_ptr<FileReader> openFile(const std::string& path) const override;
  std::optional<ItemState> holding(const std::string& path, const ItemState& state,
                                   int source) const override;

  void checkRoomFor(const std::string& path, Kind kind) const override;
  std::unique_ptr<StagedFile> stage(int source, const std::string& path) override;
  void makeFolders(const std::string& path, std::vector<std::string>& created) override;
  void prepareFolder(const std::string& path, std::vector<std::string>& created) override;
  std::optional<ItemState> placeNew(StagedFile& staged, const std::string& path) override;
  std::optional<ItemState> replace(StagedFile& staged, const std::string& path,
                                   const ItemState& current) override;
  std::optional<ItemState> setModTime(const std::string& path, const ItemState& current,
                                      std::int64_t sec, std::int64_t nsec) override;
  void remove(const std::string& path, bool folder) override;
  bool move(const std::string& from, const std::string& to, bool folder) override;

 private:
  // The state of `path` right after the engine stored it there.
  ItemState storedAt(const std::string& path) const;

  WorkFiles workFiles_;  // before folder_, which asks it
  ScopeFolder folder_;
};

}  // namespace corvane::syncengine
