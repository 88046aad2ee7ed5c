#include "local_storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <system_error>

#include "folder_watcher.h"
#include "platform/file_copy.h"
#include "platform/quoted_text.h"
#include "platform/unique_fd.h"
#include "rename_no_replace.h"
#include "scope_errors.h"
#include "scope_paths.h"

namespace corvane::syncengine {
namespace fs = std::filesystem;
using platform::quotedInput;
using platform::UniqueFd;
namespace {

ScopeStorage::Kind kindFrom(ScopeFolder::Kind kind) {
  switch (kind) {
    case ScopeFolder::Kind::missing:
      return ScopeStorage::Kind::missing;
    case ScopeFolder::Kind::file:
      return ScopeStorage::Kind::file;
    case ScopeFolder::Kind::folder:
      return ScopeStorage::Kind::folder;
    case ScopeFolder::Kind::other:
      break;
  }
  return ScopeStorage::Kind::other;
}

UniqueFd openForReading(const fs::path& path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
}

// A file opened while the scope's lock was held, read afterwards.
class OpenFileReader : public FileReader {
 public:
  OpenFileReader(UniqueFd fd, ItemState state) : fd_(std::move(fd)), state_(std::move(state)) {}
  ItemState copyTo(int fd, const std::optional<ByteSpan>& span) override {
    if (span) {
      platform::copyRange(fd_.get(), span->offset, span->length, fd);
    } else {
      platform::copyContents(fd_.get(), fd);
    }
    return state_;
  }

 private:
  UniqueFd fd_;
  ItemState state_;
};

class StagedWorkFile : public StagedFile {
 public:
  explicit StagedWorkFile(WorkFiles::Staged staged) : staged(std::move(staged)) {}
  WorkFiles::Staged staged;
};

WorkFiles::Staged& workFileOf(StagedFile& staged) {
  return static_cast<StagedWorkFile&>(staged).staged;
}

}  // namespace

LocalStorage::LocalStorage(fs::path root, ChangeLog& log)
    : workFiles_(root, log), folder_(std::move(root), &workFiles_) {}

std::string LocalStorage::identity() const { return folder_.root().string(); }

void LocalStorage::prepare(bool /*writable*/) { workFiles_.removeLeftovers(folder_); }

std::unique_ptr<ChangeWatcher> LocalStorage::watcher(ChangeWatcher::Callback onChanges) {
  return std::make_unique<FolderWatcher>(folder_.root(), std::move(onChanges));
}

ScopeStorage::Kind LocalStorage::kindOf(const std::string& path) const {
  return kindFrom(folder_.kindOf(path));
}

std::optional<ItemState> LocalStorage::stateOf(const std::string& path) const {
  return folder_.stateOf(path);
}

std::optional<std::vector<ItemEntry>> LocalStorage::list(const std::string& dir) const {
  if (folder_.kindOf(dir) != ScopeFolder::Kind::folder) return std::nullopt;
  try {
    return folder_.list(dir);
  } catch (const std::system_error& e) {
    if (e.code().value() == ENOENT || e.code().value() == ENOTDIR) return std::nullopt;
    throw;
  }
}

void LocalStorage::walk(const std::string& path, ItemList& out) const { folder_.walk(path, out); }

std::unique_ptr<FileReader> LocalStorage::openFile(const std::string& path) const {
  const auto kind = folder_.kindOf(path);
  if (kind == ScopeFolder::Kind::folder) throw fetchOfFolder(path);
  UniqueFd in;
  if (kind != ScopeFolder::Kind::missing) in = openForReading(folder_.full(path));
  struct stat st {};
  std::optional<ItemState> state;
  if (!in || ::fstat(in.get(), &st) != 0 || !(state = stateFromStat(st)) || state->dir) {
    throw noFileAt(path);
  }
  return std::make_unique<OpenFileReader>(std::move(in), std::move(*state));
}

std::optional<ItemState> LocalStorage::holding(const std::string& path, const ItemState& state,
                                               int source) const {
  struct stat st {};
  if (::fstat(source, &st) != 0 || st.st_size != state.size) return std::nullopt;
  const UniqueFd current = openForReading(folder_.full(path));
  struct stat opened {};
  if (!current || ::fstat(current.get(), &opened) != 0) return std::nullopt;
  // The bytes compared must be those of the version the answer names.
  const auto openedState = stateFromStat(opened);
  if (!openedState || openedState->version != state.version) return std::nullopt;
  try {
    if (!platform::sameContents(current.get(), source)) return std::nullopt;
  } catch (const std::system_error&) {
    return std::nullopt;  // unreadable: not the same as far as anyone can tell
  }
  const auto now = folder_.stateOf(path);
  if (!now || now->version != state.version) return std::nullopt;
  return now;
}

void LocalStorage::checkRoomFor(const std::string& path, Kind) const {
  // Refused before anything is made: creating the parents of a path that
  // cannot exist would leave them behind.
  if (folder_.root().native().size() + 1 + path.size() >= PATH_MAX) {
    throw badRequest("A path of " + std::to_string(path.size()) +
                     " bytes is too long: with the scope's folder it passes the file system's "
                     "limit of " +
                     std::to_string(PATH_MAX - 1) + " bytes.");
  }
}

std::unique_ptr<StagedFile> LocalStorage::stage(int source, const std::string& path) {
  // Staged in the folder the file goes to, or the nearest one that exists
  // (the others are made later): on the same file system, so the staged
  // contents can take their name without being copied again.
  std::string folder = parentOf(path);
  while (!folder.empty() && folder_.kindOf(folder) != ScopeFolder::Kind::folder) {
    folder = parentOf(folder);
  }
  return std::make_unique<StagedWorkFile>(workFiles_.stage(source, folder));
}

void LocalStorage::makeFolders(const std::string& path, std::vector<std::string>& created) {
  if (path.empty()) return;
  std::size_t end = 0;
  while (end != std::string::npos) {
    end = path.find('/', end + 1);
    const std::string prefix = path.substr(0, end);
    auto kind = folder_.kindOf(prefix);
    if (kind == ScopeFolder::Kind::missing) {
      if (::mkdir(folder_.full(prefix).c_str(), 0777) == 0) {
        created.push_back(prefix);
        continue;
      }
      if (errno != EEXIST) {
        throw std::system_error(errno, std::generic_category(),
                                "cannot create the folder " + quotedInput(prefix));
      }
      kind = folder_.kindOf(prefix);
    }
    if (kind != ScopeFolder::Kind::folder) throw fileInTheWay(prefix, path);
  }
}

void LocalStorage::prepareFolder(const std::string& path, std::vector<std::string>& created) {
  makeFolders(path, created);
}

ItemState LocalStorage::storedAt(const std::string& path) const {
  auto state = folder_.stateOf(path);
  if (!state || state->dir) {
    throw ApiError(500, "The item " + quotedInput(path) + " vanished while it was being stored.");
  }
  return *state;
}

std::optional<ItemState> LocalStorage::placeNew(StagedFile& staged, const std::string& path) {
  if (folder_.kindOf(path) != ScopeFolder::Kind::missing) return std::nullopt;
  if (!workFiles_.placeNew(workFileOf(staged), path)) return std::nullopt;
  return storedAt(path);
}

std::optional<ItemState> LocalStorage::replace(StagedFile& staged, const std::string& path,
                                               const ItemState&) {
  struct stat st {};
  if (folder_.kindOf(path, &st) != ScopeFolder::Kind::file) return std::nullopt;
  workFiles_.replace(workFileOf(staged), path, st.st_mode & 07777);
  return storedAt(path);
}

void LocalStorage::remove(const std::string& path, bool folder) {
  const fs::path full = folder_.full(path);
  std::error_code ec;
  if (folder) {
    fs::remove_all(full, ec);
  } else if (::unlink(full.c_str()) != 0) {
    ec.assign(errno, std::generic_category());
  }
  if (ec && ec.value() != ENOENT) throw std::system_error(ec, "cannot delete " + quotedInput(path));
}

std::optional<ItemState> LocalStorage::setModTime(const std::string& path, const ItemState& current,
                                                  std::int64_t sec, std::int64_t nsec) {
  // Checked and changed through one descriptor, so the time goes to the
  // very file whose version was checked.
  const UniqueFd fd = openForReading(folder_.full(path));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0) return std::nullopt;
  const auto state = stateFromStat(st);
  if (!state || state->dir || state->version != current.version) return std::nullopt;
  const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(sec), static_cast<long>(nsec)}};
  if (::futimens(fd.get(), times) != 0 || ::fstat(fd.get(), &st) != 0) {
    throw std::system_error(errno, std::generic_category(),
                            "cannot set the time of " + quotedInput(path));
  }
  return stateFromStat(st);
}

bool LocalStorage::move(const std::string& from, const std::string& to, bool) {
  return renameNoReplace(folder_.full(from), folder_.full(to));
}

}  // namespace corvane::syncengine
