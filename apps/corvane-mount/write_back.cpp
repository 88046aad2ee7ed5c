#include "corvane-mount/write_back.h"

#include <sys/stat.h>

#include <chrono>
#include <tuple>

#include "corvane-mount/errno_map.h"
#include "corvane-mount/mount_file_system.h"
#include "corvane-mount/mount_internal.h"
#include "host/item_names.h"
#include "host/item_paths.h"
#include "host/template_item.h"
#include "host_log.h"
#include "platform/log.h"

namespace corvane::mount {
namespace fs = std::filesystem;
using namespace internal;

namespace {

// Closed files sent at once. Each send is a few engine requests that mostly
// wait on the store's round trips, so an unpacked archive of small files
// reaches a far store as fast as the store takes this many at a time; more
// would only crowd the engine and the store.
constexpr std::size_t kSendsInFlight = 16;

}  // namespace

WriteBack::WriteBack(HostBridge& bridge, ContentCache& contents, ItemCache& cache,
                     KernelNotes& notes, FileTable& files, RetryPolicy retry,
                     std::chrono::milliseconds delay)
    : bridge_(bridge),
      contents_(contents),
      cache_(cache),
      notes_(notes),
      files_(files),
      retry_(retry),
      delay_(delay),
      conflicts_(contents.root()),
      queue_(kSendsInFlight, [this](std::uint64_t ino) { run(ino); }) {}

// ---- the kernel's side

void WriteBack::fsync(Handle& h) {
  auto& s = *h.state;
  if (!s.dirty()) return;
  std::lock_guard sending(s.sending);
  std::lock_guard lock(s.mutex);
  try {
    commit(h.ino, s);
  } catch (...) {
    keepUnsent(h.ino, s, "fsync", std::current_exception());
    throw;
  }
}

void WriteBack::release(std::unique_ptr<Handle> handle) {
  const Ino ino = handle->ino;
  const bool writable = handle->writable;
  auto s = handle->state;
  handle.reset();  // closes the file
  const int handles = --s->handles;
  if (!writable) {
    // The last reader of a file removed here lets its bytes go.
    if (handles == 0) {
      auto n = cache_.get(ino);
      if (!n || !n->attached) queue_.submit(ino);
    }
    return;
  }
  if (--s->writers > 0) return;
  // The job sends what is unsent and then lets the working copy go; a job
  // still running for an earlier close is never waited for here.
  queue_.submit(ino, delay_);
}

void WriteBack::waitForAll() { queue_.drain(); }

void WriteBack::waitForBelow(const NodeInfo& n) {
  if (queue_.outstanding() == 0) return;
  if (!n.dir) {
    queue_.waitFor([&](std::uint64_t ino) { return ino == n.ino; });
    return;
  }
  queue_.waitFor([&](std::uint64_t ino) {
    auto other = cache_.get(ino);
    return other && isBelow(other->path, n.path);
  });
}

// ---- sending

void WriteBack::run(Ino ino) {
  auto s = files_.find(ino);
  if (!s) return;
  std::lock_guard sending(s->sending);
  std::lock_guard lock(s->mutex);
  // While a writer has the file open its bytes may change under the upload,
  // and a kill after the engine took them would leave the record on a base
  // the engine has moved past: the resend would then become a conflict copy
  // and the file keep what was half written. The last writer's close queues
  // the job again. (A writer that opens from here on waits for the lock.)
  if (s->writers.load() > 0) return;
  if (s->refusedGeneration == s->generation.load() &&
      !files_.due(ino, FileTable::Clock::now())) {
    return;  // refused as it is, and its wait is not over
  }
  commitOrKeep(ino, *s, "write-back");
}

void WriteBack::commitOrKeep(Ino ino, FileState& s, const char* op) {
  try {
    commit(ino, s);
    settle(ino, s);
  } catch (...) {
    keepUnsent(ino, s, op, std::current_exception());
  }
}

void WriteBack::keepUnsent(Ino ino, FileState& s, const char* op, std::exception_ptr failure) {
  auto n = cache_.get(ino);
  reportOnce(s.lastError, op, n ? n->path : std::string(), failure);
  const bool away = isEngineAway(failure);
  s.refusedGeneration = away ? 0 : s.generation.load();
  auto retryAt = FileTable::Clock::now();
  {
    std::lock_guard path(s.pathMutex);
    s.attempts++;
    s.lastFailure = describe(failure);
    s.refusals = away ? 0 : s.refusals + 1;
    if (!away) retryAt += retry_.after(s.refusals);
    try {
      recordWork(ino, s);
    } catch (...) {
      logFailure("record of a working copy", n ? n->path : std::string(),
                 std::current_exception());
    }
  }
  files_.markPending(ino, retryAt);
}

void WriteBack::commit(Ino ino, FileState& s) {
  if (!s.dirty()) {
    if (s.timeUnsent.load()) sendTime(ino, s);
    return;
  }
  auto n = cache_.get(ino);
  if (!n || !n->attached) {
    // Removed by the user while open: its writes go with it.
    s.committed = s.generation.load();
    return;
  }
  const std::uint64_t generation = s.generation.load();
  bool isNew;
  {
    std::lock_guard path(s.pathMutex);
    isNew = s.isNew;
  }
  if (isNew) {
    createRemote(*n, s, generation);
  } else {
    modifyRemote(*n, s, generation);
  }
  {
    // The upload carried the working copy's time, whatever set it.
    std::lock_guard path(s.pathMutex);
    struct stat st {};
    s.modTime.reset();
    if (s.matchesBase && ::stat(s.file.c_str(), &st) == 0) {
      s.modTime = host::FileTime{st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
    }
    s.timeKeptHere = false;
    s.timeUnsent = false;
  }
  s.remoteGone = false;
  s.lastError.clear();
  s.refusedGeneration = 0;
  {
    std::lock_guard path(s.pathMutex);
    s.attempts = 0;
    s.refusals = 0;
    s.lastFailure.clear();
    s.unsentSince = std::chrono::system_clock::now();
  }
  if (s.writers.load() > 0 || s.dirty()) {
    // What is still to come (writes through handles still open) starts
    // from what the engine has now. Otherwise the copy is let go next.
    std::lock_guard path(s.pathMutex);
    try {
      recordWork(ino, s);
    } catch (...) {
      logFailure("record of a working copy", n->path, std::current_exception());
    }
  }
  files_.clearPending(ino);
}

void WriteBack::createRemote(const NodeInfo& n, FileState& s, std::uint64_t generation) {
  NodeInfo parent = nodeOf(cache_, n.parent);
  auto templ = std::make_shared<host::TemplateItem>(n.identifier(), parent.identifier(), n.name,
                                                    typeFor(n.name));
  std::shared_ptr<const host::Item> item;
  try {
    item = bridge_.createItem(templ, s.file);
  } catch (const host::Error& e) {
    if (!isCollision(e)) throw;
    // The name was taken at the engine meanwhile: the user's file is kept
    // beside the other under a conflict name.
    auto created = createUnderConflictName(parent.path, parent.identifier(), n.name, s.file);
    recordCopy(parent.path, created.name, n.path);
    item = created.item;
    cache_.move(n.ino, n.parent, created.name);
    notes_.note({Invalidation::entry, n.parent, n.name});
    notes_.note({Invalidation::entry, n.parent, created.name});
    notes_.note({Invalidation::contents, n.parent, {}});
    try {
      std::vector<Invalidation> notes;
      cache_.upsert(n.parent, bridge_.item(n.identifier()), &notes);
      notes_.note(notes);
    } catch (...) {
      cache_.setComplete(n.parent, false);
    }
  }
  cache_.setItem(n.ino, item);
  std::lock_guard path(s.pathMutex);
  s.isNew = false;
  s.base = item->itemVersion();
  s.matchesBase = true;
  s.committed = generation;
}

WriteBack::Created WriteBack::createUnderConflictName(const std::string& parentPath,
                                                      const host::ItemIdentifier& parentIdentifier,
                                                      const std::string& name,
                                                      const fs::path& contents) {
  const auto now = std::chrono::system_clock::now();
  for (int counter = 1;; ++counter) {
    std::string used = host::conflictName(name, now, counter, host::nameRoomIn(parentPath));
    auto other = std::make_shared<host::TemplateItem>(
        host::paths::identifier(host::paths::child(parentPath, used)), parentIdentifier, used,
        typeFor(used));
    try {
      return Created{bridge_.createItem(other, contents), std::move(used)};
    } catch (const host::Error& again) {
      if (!isCollision(again) || counter >= 20) throw;
    }
  }
}

void WriteBack::sendAsNew(const NodeInfo& n, FileState& s, std::uint64_t generation) {
  {
    std::lock_guard path(s.pathMutex);
    s.isNew = true;
  }
  createRemote(n, s, generation);
}

void WriteBack::modifyRemote(const NodeInfo& n, FileState& s, std::uint64_t generation) {
  const auto id = n.identifier();
  if (s.remoteGone) {
    // Deleted at the engine, as a change said: the user's bytes become a new
    // file at the path rather than a conflict copy beside nothing.
    try {
      bridge_.item(id);
    } catch (const host::Error& e) {
      if (!isNoSuchItem(e)) throw;
      sendAsNew(n, s, generation);
      return;
    }
  }
  host::ItemVersion base;
  {
    std::lock_guard path(s.pathMutex);
    base = s.base;
  }
  NodeInfo parent = nodeOf(cache_, n.parent);
  auto changed =
      std::make_shared<host::TemplateItem>(id, parent.identifier(), n.name, typeFor(n.name));
  HostBridge::Modified result;
  const auto sent = std::chrono::system_clock::now();
  try {
    result = bridge_.modifyItem(changed, base, host::fields::kContents, s.file);
  } catch (const host::Error& e) {
    if (!isNoSuchItem(e)) throw;
    sendAsNew(n, s, generation);
    return;
  }
  if (!cache_.replaceItem(n.ino, n.item, result.item)) takePresentItem(n, result.item);
  std::lock_guard path(s.pathMutex);
  s.committed = generation;
  if (result.shouldFetchContent) {
    // The engine kept another version and the user's bytes are its conflict
    // copy now; the path shows the engine's version once the working copy is
    // let go. Later writes through a handle still open conflict again rather
    // than overwrite it.
    s.matchesBase = false;
    notes_.note({Invalidation::contents, n.ino, {}});
    notes_.note({Invalidation::contents, n.parent, {}});
    findEngineCopy(parent.path, parent.identifier(), n.name, sent);
  } else {
    s.base = result.item->itemVersion();
    s.matchesBase = true;
  }
}

void WriteBack::sendTime(Ino ino, FileState& s) {
  auto n = cache_.get(ino);
  std::optional<host::FileTime> time;
  {
    std::lock_guard path(s.pathMutex);
    time = s.modTime;
  }
  if (!n || !n->attached || !n->item || !time) {
    s.timeUnsent = false;  // nothing left to give it to
    return;
  }
  std::optional<ItemPtr> item;
  try {
    item = bridge_.setModificationDate(n->identifier(), *time, n->item->itemVersion());
  } catch (const host::Error& e) {
    if (!isCollision(e) && !isNoSuchItem(e)) throw;  // kept, and tried again
    // Changed or gone at the engine meanwhile: that change wins, and the
    // poller brings it.
    std::lock_guard path(s.pathMutex);
    s.modTime.reset();
    s.timeUnsent = false;
    return;
  }
  if (!item) {
    if (!toldTimesStayHere_.exchange(true)) {
      const std::string line =
          "mount: the engine cannot set a file's modification time without its contents; times "
          "set here on files with nothing else to send stay on this machine";
      Log::write(line);
      hostlog::warning(line);
    }
    std::lock_guard path(s.pathMutex);
    s.timeKeptHere = true;
    s.timeUnsent = false;
    return;
  }
  const ItemPtr present = *item;
  if (!cache_.replaceItem(n->ino, n->item, present)) takePresentItem(*n, present);
  notes_.note({Invalidation::attributes, ino, {}});
  std::lock_guard path(s.pathMutex);
  const auto version = present->itemVersion();
  if (!s.inWork && !s.file.empty() && s.base.contentVersion != version.contentVersion &&
      s.base.contentVersion == n->item->itemVersion().contentVersion) {
    // The same bytes under the version the time gave them (an engine whose
    // versions follow a file's time): still found when the file is read.
    s.file = contents_.move(s.file, n->identifier(), version.contentVersion);
    s.base = version;
  }
  s.timeUnsent = false;
}

void WriteBack::takePresentItem(const NodeInfo& n, const ItemPtr& sent) {
  // A change batch gave the node an item while the upload was on its way.
  // Its entry may have been logged before the upload or after another
  // writer's: neither it nor the upload's answer can tell, the engine's
  // present state can.
  std::shared_ptr<const host::Item> present = sent;
  try {
    present = bridge_.item(n.identifier());
  } catch (...) {
    // Away again: the upload's answer is the newest word this mount has.
  }
  cache_.setItem(n.ino, present);
  if (present->itemVersion().contentVersion != sent->itemVersion().contentVersion) {
    notes_.note({Invalidation::contents, n.ino, {}});
  }
  notes_.note({Invalidation::attributes, n.ino, {}});
}

void WriteBack::settle(Ino ino, FileState& s) {
  if (s.dirty() || s.writers.load() > 0) return;
  auto n = cache_.get(ino);
  const bool attached = n && n->attached;
  {
    std::lock_guard path(s.pathMutex);
    if (s.inWork && !attached) {
      // Removed here: its bytes stay while a handle reads them (its size
      // too), and go with the last one (release() comes back for them).
      if (s.handles.load() == 0) {
        ContentCache::discard(s.file);
        s.file.clear();
        s.inWork = false;
      }
    } else if (s.inWork && !s.isNew) {
      if (s.matchesBase) {
        s.file = contents_.adopt(s.file, n->identifier(), s.base.contentVersion);
      } else {
        ContentCache::discard(s.file);
        s.file.clear();
        s.kernelCacheValid = false;
        s.matchesBase = true;
        notes_.note({Invalidation::contents, ino, {}});
      }
      s.inWork = false;
    }
  }
  if (s.remoteGone && attached) {
    // Deleted at the engine while open here, and nothing written since.
    s.remoteGone = false;
    cache_.detach(ino);
    notes_.note({Invalidation::entry, n->parent, n->name});
    notes_.note({Invalidation::contents, n->parent, {}});
  }
}

// ---- records and leftovers

void WriteBack::recordWork(Ino ino, const FileState& s) {
  if (!s.inWork || s.file.empty()) return;
  auto n = cache_.get(ino);
  if (!n || !n->attached) return;
  contents_.writeRecord(s.file, WorkRecord{n->path, s.isNew, s.base, s.unsentSince, s.attempts,
                                           s.lastFailure});
}

void WriteBack::refreshRecords(const std::string& path) {
  for (auto& [ino, s] : files_.all()) {
    auto n = cache_.get(ino);
    if (!n || (n->path != path && !isBelow(n->path, path))) continue;
    std::lock_guard lock(s->pathMutex);
    try {
      recordWork(ino, *s);
    } catch (...) {
      logFailure("record of a working copy", n->path, std::current_exception());
    }
  }
}

void WriteBack::sendLeftovers() {
  std::size_t unrecorded = 0;
  for (auto& [file, record] : contents_.leftovers(unrecorded)) {
    Leftover leftover{file, std::move(record), {}, 0, {}};
    if (trySendLeftover(leftover)) continue;
    std::lock_guard lock(leftoversMutex_);
    leftovers_.push_back(std::move(leftover));
  }
  if (unrecorded > 0) {
    Log::write("mount: " + std::to_string(unrecorded) +
               " working copies of an earlier run without a record are in " +
               contents_.workFolder().string());
  }
}

bool WriteBack::trySendLeftover(Leftover& l) {
  try {
    sendLeftover(l.file, l.record);
    ContentCache::discard(l.file);
    Log::write("mount: sent " + l.record.path + ", left unsent by an earlier run");
    return true;
  } catch (...) {
    // Kept, record and bytes, for a later try or the next start.
    auto failure = std::current_exception();
    reportOnce(l.lastLogged, "write-back left by an earlier run", l.record.path, failure);
    l.record.attempts++;
    l.record.lastFailure = describe(failure);
    const bool away = isEngineAway(failure);
    l.refusals = away ? 0 : l.refusals + 1;
    l.retryAt = FileTable::Clock::now();
    if (!away) l.retryAt += retry_.after(l.refusals);
    try {
      contents_.writeRecord(l.file, l.record);
    } catch (...) {
      logFailure("record of a working copy", l.record.path, std::current_exception());
    }
    return false;
  }
}

std::size_t WriteBack::unsentLeftovers() const {
  std::lock_guard lock(leftoversMutex_);
  return leftovers_.size();
}

void WriteBack::sendLeftover(const fs::path& file, const WorkRecord& record) {
  const std::string parentPath = host::paths::parent(record.path);
  const std::string name = host::paths::name(record.path);
  const auto parentId = host::paths::identifier(parentPath);
  const auto id = host::paths::identifier(record.path);
  if (!record.isNew) {
    // On the recorded base: a change made at the engine meanwhile becomes a
    // conflict copy there, not lost.
    auto changed = std::make_shared<host::TemplateItem>(id, parentId, name, typeFor(name));
    try {
      const auto sent = std::chrono::system_clock::now();
      if (bridge_.modifyItem(changed, record.base, host::fields::kContents, file)
              .shouldFetchContent) {
        findEngineCopy(parentPath, parentId, name, sent);
      }
      return;
    } catch (const host::Error& e) {
      if (!isNoSuchItem(e)) throw;
      // Gone at the engine: the user's bytes become a new file at the path.
    }
  }
  auto templ = std::make_shared<host::TemplateItem>(id, parentId, name, typeFor(name));
  try {
    bridge_.createItem(templ, file);
  } catch (const host::Error& e) {
    if (!isCollision(e)) throw;
    recordCopy(parentPath, createUnderConflictName(parentPath, parentId, name, file).name,
               record.path);
  }
}

// ---- conflict copies

void WriteBack::recordCopy(const std::string& parentPath, const std::string& name,
                           const std::string& original) {
  const std::string copy = host::paths::child(parentPath, name);
  Log::write("mount: kept " + original + " as the conflict copy " + copy);
  try {
    conflicts_.add({copy, original, std::chrono::system_clock::now()});
  } catch (...) {
    logFailure("record of a conflict copy", copy, std::current_exception());
  }
}

void WriteBack::findEngineCopy(const std::string& parentPath,
                               const host::ItemIdentifier& parentIdentifier,
                               const std::string& original,
                               std::chrono::system_clock::time_point since) {
  // Copy names carry their time to the second.
  const auto from = std::chrono::floor<std::chrono::seconds>(since);
  const auto to = std::chrono::system_clock::now() + std::chrono::seconds(1);
  std::optional<host::ConflictCopyName> newest;
  std::string name;
  try {
    for (const auto& item : bridge_.list(parentIdentifier)) {
      auto copy = host::parseConflictName(item->filename());
      if (!copy || copy->original != original || copy->machine != host::machineName() ||
          copy->when < from || copy->when > to) {
        continue;
      }
      if (!newest || std::tie(copy->when, copy->counter) > std::tie(newest->when, newest->counter)) {
        newest = std::move(copy);
        name = item->filename();
      }
    }
  } catch (...) {
    // Only the status misses it: the copy itself is at the engine.
    logFailure("listing for a conflict copy", parentPath, std::current_exception());
    return;
  }
  if (newest) recordCopy(parentPath, name, host::paths::child(parentPath, original));
}

// ---- the poller's side and the end

void WriteBack::retryPending() {
  const auto now = FileTable::Clock::now();
  std::vector<Leftover> due;
  {
    std::lock_guard lock(leftoversMutex_);
    for (auto it = leftovers_.begin(); it != leftovers_.end();) {
      if (it->retryAt <= now) {
        due.push_back(std::move(*it));
        it = leftovers_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& leftover : due) {
    if (trySendLeftover(leftover)) continue;
    std::lock_guard lock(leftoversMutex_);
    leftovers_.push_back(std::move(leftover));
  }
  for (Ino ino : files_.pending(now)) {
    auto s = files_.find(ino);
    if (!s) {
      files_.clearPending(ino);
      continue;
    }
    if (s->writers.load() > 0) continue;  // their close sends it
    queue_.submit(ino);
  }
}

void WriteBack::shutdown() {
  queue_.drain();
  for (auto& [ino, s] : files_.all()) {
    if (!s->dirty() && !s->timeUnsent.load()) continue;
    std::lock_guard sending(s->sending);
    std::lock_guard lock(s->mutex);
    s->writers = 0;  // the kernel will not close them any more
    commitOrKeep(ino, *s, "write-back at unmount");
  }
  queue_.stop();
}

}  // namespace corvane::mount
