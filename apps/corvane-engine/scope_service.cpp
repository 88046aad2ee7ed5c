#include "scope_service.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <system_error>
#include <utility>

#include "api_error.h"
#include "host/item_names.h"
#include "platform/iso8601.h"
#include "platform/quoted_text.h"
#include "scope_errors.h"
#include "scope_paths.h"

namespace corvane::syncengine {
using platform::quotedInput;
using platform::UniqueFd;
namespace {

std::string errorText(int error) { return std::strerror(error); }

void requireItem(const std::string& path) {
  if (path.empty()) throw badRequest("The path is empty; name a file inside the scope.");
}

// 404 or 400 unless `kind` is what the key says: a folder key ends in "/".
void checkKeyMatches(const ItemKey& key, ScopeStorage::Kind kind, std::string_view what) {
  using Kind = ScopeStorage::Kind;
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

// Folders that an operation made, to be logged before what it put in them.
std::vector<ChangeTarget> folderTargets(const std::vector<std::string>& created) {
  std::vector<ChangeTarget> targets;
  targets.reserve(created.size() + 1);
  for (const std::string& path : created) targets.emplace_back(path);
  return targets;
}

}  // namespace

// A walk of the storage made outside the scope's lock is only as good as the
// snapshot it is compared with: an operation of the engine's own that ran
// while the walk went on may have been logged already with its outcome, and
// comparing an older walk would report it undone. Operations raise the count
// when they begin and when they end, so an unchanged count across a walk
// means none overlapped it.
class ScopeService::Mutation {
 public:
  explicit Mutation(std::atomic<std::uint64_t>& count) : count_(count) { ++count_; }
  ~Mutation() { ++count_; }
  Mutation(const Mutation&) = delete;
  Mutation& operator=(const Mutation&) = delete;

 private:
  std::atomic<std::uint64_t>& count_;
};

ScopeService::ScopeService(Scope record, std::unique_ptr<ChangeLog> log,
                           std::unique_ptr<ScopeStorage> storage)
    : record_(std::move(record)),
      log_(std::move(log)),
      storage_(std::move(storage)),
      tracker_(*storage_, *log_) {}

ScopeService::~ScopeService() { stop(); }

void ScopeService::start() {
  std::unique_lock lock(mutex_);
  watcher_ = storage_->watcher([this](const std::vector<ChangeTarget>& t) { noticed(t); });
  watcher_->start();
  storage_->prepare(record_.write);
  std::lock_guard logging(trackerMutex_);
  tracker_.start(!watcher_->catchesUp());
}

void ScopeService::stop() {
  if (watcher_) watcher_->stop();
}

void ScopeService::noticed(const std::vector<ChangeTarget>& targets) {
  // Trees are walked before the lock is taken, so that a long listing of a
  // bucket does not hold up requests; should the engine's own operations
  // keep overlapping the walk, the last one runs under the lock.
  constexpr int kUnlockedWalks = 3;
  for (int attempt = 0; attempt < kUnlockedWalks; ++attempt) {
    const std::uint64_t before = mutations_.load();
    std::vector<ChangeTarget> walked = targets;
    tracker_.load(walked);
    std::unique_lock exclusive(mutex_);
    if (mutations_.load() == before) {
      for (const std::string& path : logOwn(walked)) storage_->changedElsewhere(path);
      return;
    }
  }
  std::unique_lock exclusive(mutex_);
  std::vector<ChangeTarget> loaded = targets;
  tracker_.load(loaded);
  for (const std::string& path : logOwn(loaded)) storage_->changedElsewhere(path);
}

void ScopeService::interestIn(const std::string& folder) {
  if (watcher_) watcher_->interestIn(folder);
}

std::vector<std::string> ScopeService::logOwn(const std::vector<ChangeTarget>& targets) {
  std::lock_guard logging(trackerMutex_);
  return tracker_.reconcile(targets);
}

void ScopeService::requireWritable() const {
  if (!record_.write) {
    throw ApiError(
        403, "The scope " + quotedInput(record_.name) + " is read-only; it cannot be changed.");
  }
}

void ScopeService::checkCreatable(const std::string& path, std::string_view what,
                                  ScopeStorage::Kind kind) const {
  checkPath(path, what);
  storage_->checkRoomFor(path, kind);
}

void ScopeService::checkRelocatable(const ItemKey& item, const std::string& targetFolder,
                                    const std::string& name) const {
  const std::string target = joinPath(targetFolder, name);
  if (target == item.path) return;  // nothing is made
  checkCreatable(target, "new path",
                 item.folder ? ScopeStorage::Kind::folder : ScopeStorage::Kind::file);
}

std::vector<ItemEntry> ScopeService::list(const std::string& dir) {
  checkExistingPath(dir, "dir");
  std::shared_lock lock(mutex_);
  auto entries = storage_->list(dir);
  if (!entries) throw notFound("The folder " + quotedInput(dir) + " does not exist.");
  interestIn(dir);
  return std::move(*entries);
}

ItemChanges ScopeService::changes(const std::string& anchor) { return log_->changesSince(anchor); }

std::string ScopeService::mkdir(const std::string& path) {
  requireWritable();
  checkCreatable(path, "path", ScopeStorage::Kind::folder);
  interestIn(parentOf(path));
  // The host now shows the new folder as empty without listing it: what
  // others put into it must show without a listing too.
  interestIn(path);
  std::unique_lock lock(mutex_);
  std::vector<std::string> created;
  try {
    Mutation mutation(mutations_);
    storage_->makeFolders(path, created);
  } catch (...) {
    logOwn(folderTargets(created));
    throw;
  }
  logOwn(folderTargets(created));
  return path;
}

std::vector<std::string> ScopeService::delete_(const std::vector<std::string>& keys) {
  requireWritable();
  std::vector<ItemKey> items;
  items.reserve(keys.size());
  for (const std::string& key : keys) items.push_back(parseItemKey(key, "key"));
  for (const ItemKey& item : items) interestIn(parentOf(item.path));
  auto removeAll = [&] {
    for (const ItemKey& item : items) checkKeyMatches(item, storage_->kindOf(item.path), "key");
    std::vector<ChangeTarget> removed;
    try {
      Mutation mutation(mutations_);
      for (const ItemKey& item : items) {
        removed.push_back({item.path, false});
        storage_->remove(item.path, item.folder);
      }
    } catch (...) {
      logOwn(removed);  // whatever did go is logged
      throw;
    }
    logOwn(removed);
  };
  // Files go like uploads, each path held, so that deleting many files at
  // once (rm -rf) does not wait for one store round trip after another; a
  // folder changes the scope's structure and goes alone.
  const bool filesOnly =
      std::none_of(items.begin(), items.end(), [](const ItemKey& item) { return item.folder; });
  if (!filesOnly) {
    std::unique_lock lock(mutex_);
    removeAll();
    return keys;
  }
  std::set<std::string> paths;  // held in order: two deletes never wait for each other's
  for (const ItemKey& item : items) paths.insert(item.path);
  std::vector<std::unique_ptr<PathLocks::Held>> held;
  for (const std::string& path : paths) {
    held.push_back(std::make_unique<PathLocks::Held>(paths_, path));
  }
  std::shared_lock lock(mutex_);
  removeAll();
  return keys;
}

std::string ScopeService::rename(const std::string& key, const std::string& name) {
  requireWritable();
  const ItemKey item = parseItemKey(key, "path");
  checkName(name, "name");
  checkRelocatable(item, parentOf(item.path), name);
  std::unique_lock lock(mutex_);
  checkKeyMatches(item, storage_->kindOf(item.path), "path");
  return relocate(key, parentOf(item.path), name);
}

std::string ScopeService::move(const std::string& key, const std::string& dir) {
  requireWritable();
  const ItemKey item = parseItemKey(key, "path");
  checkExistingPath(dir, "dir");
  checkRelocatable(item, dir, nameOf(item.path));
  std::unique_lock lock(mutex_);
  checkKeyMatches(item, storage_->kindOf(item.path), "path");
  if (storage_->kindOf(dir) != ScopeStorage::Kind::folder) {
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
  interestIn(parentOf(item.path));
  interestIn(targetFolder);
  // A moved folder's contents are shown at the new place from what the host
  // listed before the move.
  if (item.folder) interestIn(target);
  const std::string answer = item.folder ? target + "/" : target;
  if (target == item.path) return answer;
  const auto taken = [&] {
    return conflict("Something already exists at " + quotedInput(target) +
                    "; choose another name or remove it first.");
  };
  if (storage_->kindOf(target) != ScopeStorage::Kind::missing) throw taken();
  const std::vector<ChangeTarget> moved = {{item.path, false},
                                           {target, true}};
  bool done = false;
  try {
    Mutation mutation(mutations_);
    done = storage_->move(item.path, target, item.folder);
  } catch (...) {
    logOwn(moved);  // a move that failed part-way may have moved some
    throw;
  }
  if (!done) throw taken();
  logOwn(moved);
  return answer;
}

ItemEntry ScopeService::fetch(const std::string& path, const std::string& dest,
                              const std::optional<ByteSpan>& span) {
  checkExistingPath(path, "path");
  checkLocalPath(dest, "dest");
  if (path.empty()) throw fetchOfFolder(path);
  std::unique_ptr<FileReader> reader;
  {
    std::shared_lock lock(mutex_);
    reader = storage_->openFile(path);
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
    return ItemEntry{path, reader->copyTo(out.get(), span)};
  } catch (const std::system_error& e) {
    ::unlink(dest.c_str());
    throw ApiError(500, "Copying " + quotedInput(path) + " to " + quotedInput(dest) +
                            " failed: " + e.code().message() + ".");
  } catch (...) {
    ::unlink(dest.c_str());
    throw;
  }
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

ScopeService::UploadTarget ScopeService::checkUpload(const std::string& path,
                                                     const std::string& version) const {
  switch (storage_->kindOf(path)) {
    case ScopeStorage::Kind::missing:
      if (!version.empty()) {
        throw conflict("The file " + quotedInput(path) +
                       " no longer exists; it was moved or deleted since version " +
                       quotedInput(version) + ".");
      }
      checkCreatable(path, "path", ScopeStorage::Kind::file);
      return {};
    case ScopeStorage::Kind::folder:
      throw conflict("A folder is at " + quotedInput(path) + "; a file cannot replace it.");
    case ScopeStorage::Kind::other:
      throw conflict("Something other than a file is at " + quotedInput(path) + ".");
    case ScopeStorage::Kind::file:
      break;
  }
  UploadTarget target;
  target.current = storage_->stateOf(path);
  if (!target.current || target.current->dir) {
    throw conflict("The file " + quotedInput(path) + " changed while the upload was checked.");
  }
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

ItemEntry ScopeService::upload(const std::string& path, const std::string& source,
                               const std::string& version) {
  requireWritable();
  checkExistingPath(path, "path");
  requireItem(path);
  checkLocalPath(source, "source");
  interestIn(parentOf(path));

  UploadTarget target;
  {
    std::shared_lock lock(mutex_);
    target = checkUpload(path, version);  // refuse early, before staging
  }
  const UniqueFd in = openSource(source);
  if (target.stale) {
    // A client that sends again what it sent before, on a base it no longer
    // knows to be old (after a crash, say), is not in conflict with itself.
    if (auto same = storage_->holding(path, *target.current, in.get())) return {path, *same};
    refuseStale(path, version, target);
  }
  const std::unique_ptr<StagedFile> staged = storage_->stage(in.get(), path);

  const PathLocks::Held held(paths_, path);
  std::shared_lock lock(mutex_);
  target = checkUpload(path, version);
  if (target.stale) refuseStale(path, version, target);
  std::vector<std::string> created;
  std::optional<ItemState> placed;
  try {
    Mutation mutation(mutations_);
    storage_->prepareFolder(parentOf(path), created);
    placed = target.current ? storage_->replace(*staged, path, *target.current)
                            : storage_->placeNew(*staged, path);
  } catch (...) {
    logOwn(folderTargets(created));
    throw;
  }
  std::vector<ChangeTarget> changed = folderTargets(created);
  if (placed) changed.push_back({path, false, placed});
  logOwn(changed);
  lock.unlock();
  if (!placed) {
    if (target.current) {
      throw conflict("The file " + quotedInput(path) + " changed since version " +
                     quotedInput(version) + " while it was being uploaded.");
    }
    throw conflict("A file already exists at " + quotedInput(path) +
                   "; send its current version to replace it.");
  }
  return {path, *placed};
}

ItemEntry ScopeService::setModTime(const std::string& path, const std::string& modTime,
                                   const std::string& version) {
  requireWritable();
  checkExistingPath(path, "path");
  requireItem(path);
  const auto time = platform::parseInternetDateTimeNanos(modTime);
  if (!time) {
    throw badRequest("The mod_time " + quotedInput(modTime) +
                     " is not an internet date-time; write it like "
                     "\"2001-02-03T04:05:06.123456789Z\".");
  }
  interestIn(parentOf(path));
  const auto seconds = std::chrono::floor<std::chrono::seconds>(*time);
  const std::int64_t sec = seconds.time_since_epoch().count();
  const std::int64_t nsec = (*time - seconds).count();

  const PathLocks::Held held(paths_, path);
  std::shared_lock lock(mutex_);
  std::optional<ItemState> placed;
  const auto current = storage_->stateOf(path);
  if (!current) {
    throw notFound("Nothing is at " + quotedInput(path) +
                   "; it may have been moved or deleted already.");
  }
  if (current->dir) {
    throw badRequest(quotedInput(path) + " is a folder; only a file's time can be set.");
  }
  if (current->version != version) {
    throw conflict("The file " + quotedInput(path) + " changed since version " +
                   quotedInput(version) + "; its current version is " +
                   quotedInput(current->version) + ".");
  }
  try {
    Mutation mutation(mutations_);
    placed = storage_->setModTime(path, *current, sec, nsec);
  } catch (...) {
    logOwn({{path, false}});
    throw;
  }
  if (!placed) {
    logOwn({{path, false}});
    throw conflict("The file " + quotedInput(path) + " changed since version " +
                   quotedInput(version) + " while its time was being set.");
  }
  logOwn({{path, false, placed}});
  lock.unlock();
  return {path, *placed};
}

std::optional<ItemEntry> ScopeService::alreadyKept(const std::string& path, int source) const {
  std::shared_lock lock(mutex_);
  // The bytes are the file's own: a resend of what this or another machine
  // wrote (the same edit made twice, an upload whose answer was lost).
  if (storage_->kindOf(path) == ScopeStorage::Kind::file) {
    if (auto current = storage_->stateOf(path); current && !current->dir) {
      if (auto same = storage_->holding(path, *current, source)) return ItemEntry{path, *same};
    }
  }
  // Or a copy this machine made of them before: a resend of a conflict copy
  // whose answer was lost.
  const std::string folder = parentOf(path);
  const std::string name = nameOf(path);
  struct stat st {};
  if (::fstat(source, &st) != 0) return std::nullopt;
  const auto entries = storage_->list(folder);
  if (!entries) return std::nullopt;
  for (const ItemEntry& entry : *entries) {
    if (entry.state.dir || entry.state.size != st.st_size) continue;
    const auto copy = host::parseConflictName(nameOf(entry.path));
    if (!copy || copy->original != name || copy->machine != host::machineName()) continue;
    if (auto same = storage_->holding(entry.path, entry.state, source)) {
      return ItemEntry{entry.path, *same};
    }
  }
  return std::nullopt;
}

ItemEntry ScopeService::conflictCopy(const std::string& path, const std::string& source) {
  requireWritable();
  checkExistingPath(path, "path");
  requireItem(path);
  const std::string folder = parentOf(path);
  interestIn(folder);
  const std::size_t room = host::nameRoomIn(folder);
  constexpr int kMaxCounter = 9'999;
  const auto now = std::chrono::system_clock::now();
  // Refused before anything is made: a copy name with the longest stamp must
  // fit into the folder, and the longest copy must fit the storage.
  checkPath(joinPath(folder, host::conflictName(nameOf(path), now, kMaxCounter, room)),
            "conflict copy's path");
  storage_->checkRoomFor(joinPath(folder, std::string(room, 'x')), ScopeStorage::Kind::file);
  checkLocalPath(source, "source");
  const UniqueFd in = openSource(source);
  // A copy is asked for because the file changed elsewhere: what the storage
  // remembers of it is no guide.
  storage_->changedElsewhere(path);
  // A copy only of bytes kept nowhere else.
  if (auto kept = alreadyKept(path, in.get())) return std::move(*kept);
  const std::unique_ptr<StagedFile> staged = storage_->stage(in.get(), path);

  const PathLocks::Held held(paths_, path);
  std::shared_lock lock(mutex_);
  std::vector<std::string> created;
  std::string copy;
  std::optional<ItemState> placed;
  try {
    Mutation mutation(mutations_);
    storage_->prepareFolder(folder, created);
    // The file was deleted (here or on another machine) while the writer
    // changed it: the change takes its place rather than a copy beside
    // nothing, and an upload that later finds the path empty makes no
    // second file of the same bytes.
    if (storage_->kindOf(path) == ScopeStorage::Kind::missing) {
      placed = storage_->placeNew(*staged, path);
      if (placed) copy = path;
    }
    for (int counter = 1; counter <= kMaxCounter && !placed; ++counter) {
      copy = joinPath(folder, host::conflictName(nameOf(path), now, counter, room));
      if (storage_->kindOf(copy) != ScopeStorage::Kind::missing) continue;
      placed = storage_->placeNew(*staged, copy);
    }
  } catch (...) {
    logOwn(folderTargets(created));
    throw;
  }
  std::vector<ChangeTarget> changed = folderTargets(created);
  if (placed) changed.push_back({copy, false, placed});
  logOwn(changed);
  lock.unlock();
  if (!placed) {
    throw conflict("Too many conflict copies of " + quotedInput(path) +
                   " exist; remove some and try again.");
  }
  return {copy, *placed};
}

}  // namespace corvane::syncengine
