#include "scope_service.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <mutex>
#include <system_error>
#include <utility>

#include "api_error.h"
#include "host/item_names.h"
#include "platform/file_copy.h"
#include "platform/quoted_text.h"
#include "platform/unique_fd.h"
#include "rename_no_replace.h"
#include "scope_paths.h"

namespace corvane::syncengine {
using platform::quotedInput;
namespace fs = std::filesystem;
using platform::copyContents;
using platform::UniqueFd;
namespace {

std::string errorText(int error) { return std::strerror(error); }

void requireItem(const std::string& path) {
  if (path.empty()) throw badRequest("The path is empty; name a file inside the scope.");
}

// 404 or 400 unless `kind` is what the key says: a folder key ends in "/".
void checkKeyMatches(const ItemKey& key, ScopeFolder::Kind kind, std::string_view what) {
  using Kind = ScopeFolder::Kind;
  if (kind == Kind::missing || kind == Kind::other) {
    throw notFound("Nothing is at " + quotedInput(key.path) +
                   "; it may have been moved or deleted already.");
  }
  if (kind == Kind::folder && !key.folder) {
    throw badRequest(quotedInput(key.path) + " is a folder; end the " + std::string(what) +
                     " with \"/\" to name it.");
  }
  if (kind == Kind::file && key.folder) {
    throw badRequest(quotedInput(key.path) + " is a file; remove the trailing \"/\" from the " +
                     std::string(what) + ".");
  }
}

}  // namespace

ScopeService::ScopeService(Scope record, const fs::path& folder, const fs::path& logFile,
                           std::int64_t retention)
    : record_(std::move(record)),
      log_(logFile, folder.string(), retention),
      workFiles_(folder, log_),
      folder_(folder, &workFiles_),
      tracker_(folder_, log_) {}

ScopeService::~ScopeService() { stop(); }

void ScopeService::start() {
  std::unique_lock lock(mutex_);
  watcher_ = std::make_unique<FolderWatcher>(folder_.root(),
                                             [this](const std::vector<ChangeTracker::Target>& t) {
                                               std::unique_lock exclusive(mutex_);
                                               tracker_.reconcile(t);
                                             });
  watcher_->start();
  workFiles_.removeLeftovers(folder_);
  tracker_.start();
}

void ScopeService::stop() {
  if (watcher_) watcher_->stop();
}

void ScopeService::requireWritable() const {
  if (!record_.write) {
    throw ApiError(
        403, "The scope " + quotedInput(record_.name) + " is read-only; it cannot be changed.");
  }
}

std::vector<Entry> ScopeService::list(const std::string& dir) {
  checkPath(dir, "dir");
  std::shared_lock lock(mutex_);
  if (folder_.kindOf(dir) != ScopeFolder::Kind::folder) {
    throw notFound("The folder " + quotedInput(dir) + " does not exist.");
  }
  try {
    return folder_.list(dir);
  } catch (const std::system_error& e) {
    if (e.code().value() == ENOENT || e.code().value() == ENOTDIR) {
      throw notFound("The folder " + quotedInput(dir) + " does not exist.");
    }
    throw;
  }
}

ChangeSet ScopeService::changes(const std::string& anchor) { return log_.changesSince(anchor); }

std::string ScopeService::mkdir(const std::string& path) {
  requireWritable();
  checkPath(path, "path");
  checkFits(path);
  std::unique_lock lock(mutex_);
  std::vector<ChangeTracker::Target> created;
  makeFolders(path, created);
  tracker_.reconcile(created);
  return path;
}

void ScopeService::checkFits(const std::string& path) const {
  // Refused before anything is made: creating the parents of a path that
  // cannot exist would leave them behind.
  if (folder_.root().native().size() + 1 + path.size() >= PATH_MAX) {
    throw badRequest("A path of " + std::to_string(path.size()) +
                     " bytes is too long: with the scope's folder it passes the file system's "
                     "limit of " +
                     std::to_string(PATH_MAX - 1) + " bytes.");
  }
}

void ScopeService::makeFolders(const std::string& path,
                               std::vector<ChangeTracker::Target>& created) {
  if (path.empty()) return;
  std::size_t end = 0;
  while (end != std::string::npos) {
    end = path.find('/', end + 1);
    const std::string prefix = path.substr(0, end);
    auto kind = folder_.kindOf(prefix);
    if (kind == ScopeFolder::Kind::missing) {
      if (::mkdir(folder_.full(prefix).c_str(), 0777) == 0) {
        created.push_back({prefix, false});
        continue;
      }
      if (errno != EEXIST) {
        throw std::system_error(errno, std::generic_category(),
                                "cannot create the folder " + quotedInput(prefix));
      }
      kind = folder_.kindOf(prefix);
    }
    if (kind != ScopeFolder::Kind::folder) {
      tracker_.reconcile(created);
      throw conflict("A file is in the way at " + quotedInput(prefix) + "; the folder " +
                     quotedInput(path) + " cannot be created.");
    }
  }
}

std::vector<std::string> ScopeService::delete_(const std::vector<std::string>& keys) {
  requireWritable();
  std::vector<ItemKey> items;
  items.reserve(keys.size());
  for (const std::string& key : keys) items.push_back(parseItemKey(key, "key"));
  std::unique_lock lock(mutex_);
  for (const ItemKey& item : items) checkKeyMatches(item, folder_.kindOf(item.path), "key");

  std::vector<ChangeTracker::Target> removed;
  try {
    for (const ItemKey& item : items) {
      const fs::path full = folder_.full(item.path);
      std::error_code ec;
      if (item.folder) {
        fs::remove_all(full, ec);
      } else if (::unlink(full.c_str()) != 0) {
        ec.assign(errno, std::generic_category());
      }
      removed.push_back({item.path, false});
      if (ec && ec.value() != ENOENT) {
        throw std::system_error(ec, "cannot delete " + quotedInput(item.path));
      }
    }
  } catch (...) {
    tracker_.reconcile(removed);  // whatever did go is logged
    throw;
  }
  tracker_.reconcile(removed);
  return keys;
}

std::string ScopeService::rename(const std::string& key, const std::string& name) {
  requireWritable();
  const ItemKey item = parseItemKey(key, "path");
  checkName(name, "name");
  std::unique_lock lock(mutex_);
  checkKeyMatches(item, folder_.kindOf(item.path), "path");
  return relocate(key, parentOf(item.path), name);
}

std::string ScopeService::move(const std::string& key, const std::string& dir) {
  requireWritable();
  const ItemKey item = parseItemKey(key, "path");
  checkPath(dir, "dir");
  std::unique_lock lock(mutex_);
  checkKeyMatches(item, folder_.kindOf(item.path), "path");
  if (folder_.kindOf(dir) != ScopeFolder::Kind::folder) {
    throw notFound("The destination folder " + quotedInput(dir) + " does not exist.");
  }
  if (item.folder && isWithin(dir, item.path)) {
    throw badRequest("The folder " + quotedInput(item.path) +
                     " cannot be moved into itself or one of its folders.");
  }
  return relocate(key, dir, nameOf(item.path));
}

// The common end of rename and move; the caller holds the exclusive lock and
// has checked the source.
std::string ScopeService::relocate(const std::string& key, const std::string& targetFolder,
                                   const std::string& name) {
  const ItemKey item = parseItemKey(key, "path");
  const std::string target = joinPath(targetFolder, name);
  checkPath(target, "new path");
  checkFits(target);
  const std::string answer = item.folder ? target + "/" : target;
  if (target == item.path) return answer;
  if (folder_.kindOf(target) != ScopeFolder::Kind::missing ||
      !renameNoReplace(folder_.full(item.path), folder_.full(target))) {
    throw conflict("Something already exists at " + quotedInput(target) +
                   "; choose another name or remove it first.");
  }
  tracker_.reconcile({{item.path, false}, {target, true}});
  return answer;
}

Entry ScopeService::fetch(const std::string& path, const std::string& dest) {
  checkPath(path, "path");
  checkLocalPath(dest, "dest");
  UniqueFd in;
  std::optional<ItemState> state;
  {
    std::shared_lock lock(mutex_);
    const auto kind = folder_.kindOf(path);
    if (kind == ScopeFolder::Kind::folder) {
      throw badRequest("The path " + quotedInput(path) +
                       " names a folder; only files can be fetched.");
    }
    if (kind != ScopeFolder::Kind::missing) {
      in = UniqueFd(
          ::open(folder_.full(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    }
    struct stat st {};
    if (!in || ::fstat(in.get(), &st) != 0 || !(state = stateFromStat(st)) || state->dir) {
      throw notFound("No file is at " + quotedInput(path) + "; it may have been moved or deleted.");
    }
  }
  UniqueFd out(::open(dest.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666));
  if (!out) {
    if (errno == EEXIST)
      throw conflict("The destination " + quotedInput(dest) +
                     " already exists; fetch into a new file.");
    if (errno == ENOENT || errno == ENOTDIR) {
      throw badRequest("The folder of the destination " + quotedInput(dest) + " does not exist.");
    }
    throw badRequest("The destination " + quotedInput(dest) +
                     " cannot be created: " + errorText(errno) + ".");
  }
  try {
    copyContents(in.get(), out.get());
  } catch (const std::system_error& e) {
    ::unlink(dest.c_str());
    throw ApiError(500, "Copying " + quotedInput(path) + " to " + quotedInput(dest) +
                            " failed: " + e.code().message() + ".");
  }
  return makeEntry(path, *state);
}

UniqueFd ScopeService::openSource(const std::string& source) {
  UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!in) {
    if (errno == ENOENT || errno == ENOTDIR) {
      throw badRequest("The source file " + quotedInput(source) +
                       " does not exist; keep it until the engine answers.");
    }
    throw badRequest("The source file " + quotedInput(source) +
                     " cannot be read: " + errorText(errno) + ".");
  }
  struct stat st {};
  if (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    throw badRequest("The source " + quotedInput(source) +
                     " is not a file; only files can be uploaded.");
  }
  return in;
}

WorkFiles::Staged ScopeService::stage(int source, const std::string& path) {
  // Staged in the folder the file goes to, or the nearest one that exists
  // (the others are made later): on the same file system, so the staged
  // contents can take their name without being copied again.
  std::string folder = parentOf(path);
  while (!folder.empty() && folder_.kindOf(folder) != ScopeFolder::Kind::folder) {
    folder = parentOf(folder);
  }
  return workFiles_.stage(source, folder);
}

ScopeService::UploadTarget ScopeService::checkUpload(const std::string& path,
                                                     const std::string& version) const {
  struct stat st {};
  switch (folder_.kindOf(path, &st)) {
    case ScopeFolder::Kind::missing:
      if (!version.empty()) {
        throw conflict("The file " + quotedInput(path) +
                       " no longer exists; it was moved or deleted since version " +
                       quotedInput(version) + ".");
      }
      return {};
    case ScopeFolder::Kind::folder:
      throw conflict("A folder is at " + quotedInput(path) + "; a file cannot replace it.");
    case ScopeFolder::Kind::other:
      throw conflict("Something other than a file is at " + quotedInput(path) + ".");
    case ScopeFolder::Kind::file:
      break;
  }
  UploadTarget target;
  target.mode = st.st_mode & 07777;
  target.current = stateFromStat(st);
  if (!target.current)
    throw conflict("Something other than a file is at " + quotedInput(path) + ".");
  target.stale = version.empty() || target.current->version != version;
  return target;
}

void ScopeService::refuseStale(const std::string& path, const std::string& version,
                               const UploadTarget& target) {
  if (version.empty()) {
    throw conflict("A file already exists at " + quotedInput(path) +
                   "; send its current version to replace it.");
  }
  throw conflict("The file " + quotedInput(path) + " changed since version " +
                 quotedInput(version) + "; its current version is " +
                 quotedInput(target.current->version) + ".");
}

std::optional<Entry> ScopeService::alreadyHolds(const std::string& path, const ItemState& state,
                                                int source) const {
  struct stat st {};
  if (::fstat(source, &st) != 0 || st.st_size != state.size) return std::nullopt;
  const UniqueFd current(
      ::open(folder_.full(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
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
  std::shared_lock lock(mutex_);
  const auto now = folder_.stateOf(path);
  if (!now || now->version != state.version) return std::nullopt;
  return makeEntry(path, *now);
}

Entry ScopeService::upload(const std::string& path, const std::string& source,
                           const std::string& version) {
  requireWritable();
  checkPath(path, "path");
  requireItem(path);
  checkFits(path);
  checkLocalPath(source, "source");

  UploadTarget target;
  {
    std::shared_lock lock(mutex_);
    target = checkUpload(path, version);  // refuse early, before copying
  }
  const UniqueFd in = openSource(source);
  if (target.stale) {
    // A client that sends again what it sent before, on a base it no longer
    // knows to be old (after a crash, say), is not in conflict with itself.
    if (auto same = alreadyHolds(path, *target.current, in.get())) return *same;
    refuseStale(path, version, target);
  }
  WorkFiles::Staged staged = stage(in.get(), path);

  std::unique_lock lock(mutex_);
  target = checkUpload(path, version);
  if (target.stale) refuseStale(path, version, target);
  std::vector<ChangeTracker::Target> changed;
  makeFolders(parentOf(path), changed);
  if (target.current) {
    workFiles_.replace(staged, path, target.mode);
  } else if (!workFiles_.placeNew(staged, path)) {
    tracker_.reconcile(changed);
    throw conflict("A file already exists at " + quotedInput(path) +
                   "; send its current version to replace it.");
  }
  changed.push_back({path, false});
  tracker_.reconcile(changed);
  return entryAt(path);
}

Entry ScopeService::conflictCopy(const std::string& path, const std::string& source) {
  requireWritable();
  checkPath(path, "path");
  requireItem(path);
  const std::string folder = parentOf(path);
  const std::size_t room = host::nameRoomIn(folder);
  constexpr int kMaxCounter = 9'999;
  const auto now = std::chrono::system_clock::now();
  // Refused before anything is made: a copy name with the longest stamp must
  // fit into the folder, and the longest copy must fit the file system.
  checkPath(joinPath(folder, host::conflictName(nameOf(path), now, kMaxCounter, room)),
            "conflict copy's path");
  checkFits(joinPath(folder, std::string(room, 'x')));
  checkLocalPath(source, "source");
  WorkFiles::Staged staged = stage(openSource(source).get(), path);

  std::unique_lock lock(mutex_);
  std::vector<ChangeTracker::Target> changed;
  makeFolders(folder, changed);
  for (int counter = 1; counter <= kMaxCounter; ++counter) {
    const std::string copy = joinPath(folder, host::conflictName(nameOf(path), now, counter, room));
    if (folder_.kindOf(copy) != ScopeFolder::Kind::missing) continue;
    if (workFiles_.placeNew(staged, copy)) {
      changed.push_back({copy, false});
      tracker_.reconcile(changed);
      return entryAt(copy);
    }
  }
  tracker_.reconcile(changed);
  throw conflict("Too many conflict copies of " + quotedInput(path) +
                 " exist; remove some and try again.");
}

Entry ScopeService::entryAt(const std::string& path) const {
  const auto state = folder_.stateOf(path);
  if (!state)
    throw ApiError(500, "The item " + quotedInput(path) + " vanished while it was being stored.");
  return makeEntry(path, *state);
}

}  // namespace corvane::syncengine
