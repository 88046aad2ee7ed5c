#include "corvane-mount/working_copies.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "corvane-mount/errno_map.h"
#include "corvane-mount/mount_internal.h"

namespace corvane::mount {
namespace fs = std::filesystem;
using namespace internal;

namespace {

int openContents(const fs::path& file, bool writable) {
  int fd = ::open(file.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) throwErrno("open " + file.string());
  return fd;
}

// A new working copy: its changes are unsent from now on, and nothing has
// failed yet. The caller holds the state's pathMutex.
void startUnsent(FileState& s) {
  s.unsentSince = std::chrono::system_clock::now();
  s.attempts = 0;
  s.refusals = 0;
  s.lastFailure.clear();
}

// Lets the state's contents go; the caller holds its pathMutex.
void discardContents(ContentCache& contents, FileState& s) {
  if (s.inWork) {
    ContentCache::discard(s.file);
  } else {
    contents.remove(s.file);
  }
  s.file.clear();
}

}  // namespace

WorkingCopies::WorkingCopies(HostBridge& bridge, ContentCache& contents, ContentReader& reader,
                             ItemCache& cache, KernelNotes& notes, FileTable& files,
                             WriteBack& writeBack)
    : bridge_(bridge),
      contents_(contents),
      reader_(reader),
      cache_(cache),
      notes_(notes),
      files_(files),
      writeBack_(writeBack) {}

// ---- contents

WorkingCopies::Current WorkingCopies::current(const NodeInfo& node, bool whole) {
  NodeInfo n = node;
  Current out;
  // A file that keeps changing while it is fetched is given up on after a
  // few versions.
  for (int round = 0; round < 3; ++round) {
    if (!n.item) throw Refusal(ENOENT);
    out.contents = contents_.open(n.identifier(), n.item->itemVersion().contentVersion,
                                  n.item->documentSize().value_or(0));
    out.pin = contents_.pin(out.contents);
    try {
      // The first block also tells whether the engine still has this
      // version, as a whole download would have.
      if (whole) {
        reader_.ensureAll(out.contents);
      } else if (!out.contents->has(0, 1)) {
        reader_.ensure(out.contents, 0, 1, nullptr);
        // What the kernel was told of the file may predate a change batch
        // whose note has not reached it yet: it asks again, once per fetch.
        out.stale = true;
      }
      return out;
    } catch (const Superseded& newer) {
      out.stale = alignNode(n, newer.item()) || out.stale;
      n.item = newer.item();
    } catch (const host::Error& e) {
      if (!isNoSuchItem(e)) throw;
      // Gone at the engine, though no change said so: forget it here too.
      if (n.attached) {
        cache_.detach(n.ino);
        notes_.note({Invalidation::entry, n.parent, n.name});
        notes_.note({Invalidation::contents, n.parent, {}});
      }
      throw Refusal(ENOENT, "no longer at the engine");
    }
  }
  throw Refusal(EIO, "the file kept changing at the engine while it was fetched");
}

bool WorkingCopies::openCached(const NodeInfo& n, FileState& s, Handle& h) {
  Current got = current(n, false);
  h.fd = got.contents->duplicate();
  h.contents = got.contents;
  h.pin = got.pin;
  std::lock_guard path(s.pathMutex);
  const std::string version = got.contents->version();
  if (s.base.contentVersion != version || s.file != got.contents->file()) {
    s.kernelCacheValid = false;
  }
  s.file = got.contents->file();
  s.inWork = false;
  s.base = host::ItemVersion{version, n.item->itemVersion().metadataVersion};
  if (auto now = cache_.get(n.ino); now && now->item &&
                                    now->item->itemVersion().contentVersion == version) {
    s.base = now->item->itemVersion();
  }
  s.matchesBase = true;
  return got.stale;
}

void WorkingCopies::prepareRead(Handle& h, std::int64_t offset, std::size_t size) {
  if (!h.contents) return;
  try {
    reader_.ensure(h.contents, offset, static_cast<std::int64_t>(size), &h.stream);
  } catch (const Superseded& newer) {
    // The handle reads a version the engine no longer has, and the bytes
    // asked for were not fetched while it had it: mixing in the new
    // version's bytes would hand out a file that never existed.
    if (auto n = cache_.get(h.ino)) alignNode(*n, newer.item());
    notes_.note({Invalidation::contents, h.ino, {}});
    throw Refusal(EIO, "changed at the engine while open; open it again");
  }
}

bool WorkingCopies::alignNode(const NodeInfo& n, const std::shared_ptr<const host::Item>& item) {
  // The download describes the file as it is now. Change batches applied
  // meanwhile may trail it (the engine logs a moment late) or lead it; from
  // here on they are checked against the downloaded version, and the node
  // is brought in line with it, asking the engine when a batch moved it.
  auto current = cache_.get(n.ino);
  if (!current || !current->item) return false;
  if (current->item->itemVersion() == item->itemVersion()) return false;
  if (current->item == n.item) {
    cache_.replaceItem(n.ino, n.item, item);
  } else {
    try {
      cache_.setItem(n.ino, bridge_.item(n.identifier()));
    } catch (...) {
      cache_.replaceItem(n.ino, current->item, item);
    }
  }
  return true;
}

bool WorkingCopies::toWorkingCopy(const NodeInfo& n, FileState& s, bool truncate) {
  {
    std::lock_guard path(s.pathMutex);
    if (s.inWork) {
      if (truncate) {
        if (::truncate(s.file.c_str(), 0) != 0) throwErrno("truncate");
        s.generation++;
      }
      return false;
    }
  }
  if (truncate) {
    // Nothing of the old contents is needed: no download. Contents already
    // here are emptied in place, so that a reader that has them open sees
    // what a reader of a local file sees.
    if (!n.item) throw Refusal(ENOENT);
    fs::path held;
    {
      std::lock_guard path(s.pathMutex);
      held = s.file;
    }
    std::error_code ec;
    fs::path work;
    if (!held.empty() && fs::exists(held, ec)) {
      work = contents_.toWork(held);
      if (::truncate(work.c_str(), 0) != 0) throwErrno("truncate");
    } else {
      work = contents_.newWorkingCopy();
    }
    std::lock_guard path(s.pathMutex);
    if (s.file != held) ContentCache::discard(s.file);
    s.file = work;
    s.inWork = true;
    s.base = n.item->itemVersion();
    s.matchesBase = true;
    startUnsent(s);
    s.generation++;
    writeBack_.recordWork(n.ino, s);
    return false;
  }
  Current got = current(n, true);
  fs::path work = contents_.toWork(got.contents);
  std::lock_guard path(s.pathMutex);
  if (!s.file.empty() && s.file != got.contents->file()) contents_.remove(s.file);
  s.file = work;
  s.inWork = true;
  s.base = host::ItemVersion{got.contents->version(), n.item->itemVersion().metadataVersion};
  if (auto now = cache_.get(n.ino); now && now->item &&
                                    now->item->itemVersion().contentVersion == s.base.contentVersion) {
    s.base = now->item->itemVersion();
  }
  s.matchesBase = true;
  s.kernelCacheValid = false;
  startUnsent(s);
  writeBack_.recordWork(n.ino, s);
  return got.stale;
}

// ---- handles

std::unique_ptr<Handle> WorkingCopies::open(const NodeInfo& node, bool writable, bool truncate) {
  const Ino ino = node.ino;
  auto s = files_.get(ino);
  auto h = std::make_unique<Handle>();
  h->ino = ino;
  h->writable = writable;
  h->state = s;
  // Counted before the contents are chosen: a write-back that ends meanwhile
  // must see the writer coming and keep the working copy it will write to,
  // not take it into the cache as a version of the engine's.
  s->handles++;
  if (writable) s->writers++;
  try {
    auto openWorkingCopy = [&] {
      // A working copy opens without waiting for a write-back in progress.
      std::lock_guard path(s->pathMutex);
      if (!s->file.empty() && s->inWork) h->fd = openContents(s->file, false);
    };
    if (!writable) openWorkingCopy();
    if (h->fd < 0) {
      std::lock_guard lock(s->mutex);
      const NodeInfo n = nodeOf(cache_, ino);
      if (writable) {
        h->staleAttributes = toWorkingCopy(n, *s, truncate);
        std::lock_guard path(s->pathMutex);
        h->fd = openContents(s->file, true);
      } else {
        openWorkingCopy();
        if (h->fd < 0) h->staleAttributes = openCached(n, *s, *h);
      }
    }
  } catch (...) {
    s->handles--;
    if (writable) s->writers--;
    throw;
  }
  h->keepCache = s->kernelCacheValid.exchange(true);
  return h;
}

std::pair<NodeInfo, std::unique_ptr<Handle>> WorkingCopies::createLocal(Ino parent,
                                                                        const std::string& name) {
  platform::UniqueFd fd;
  fs::path work = contents_.newWorkingCopy(&fd);
  NodeInfo n = cache_.addLocal(parent, name);
  auto s = files_.get(n.ino);
  std::lock_guard lock(s->mutex);
  {
    std::lock_guard path(s->pathMutex);
    s->file = work;
    s->inWork = true;
    s->isNew = true;
    startUnsent(*s);
    writeBack_.recordWork(n.ino, *s);
  }
  s->generation++;  // even an empty new file is a change to send
  auto h = std::make_unique<Handle>();
  h->ino = n.ino;
  h->writable = true;  // its close sends the new file, whatever the flags
  h->state = s;
  h->fd = fd.release();
  h->keepCache = true;
  s->kernelCacheValid = true;
  s->handles++;
  s->writers++;
  return {n, std::move(h)};
}

void WorkingCopies::truncate(Ino ino, std::uint64_t size, Handle* handle) {
  const auto length = static_cast<off_t>(size);
  if (handle && handle->writable) {
    if (::ftruncate(handle->fd, length) != 0) throwErrno("truncate");
    handle->state->generation++;
    return;
  }
  auto s = files_.get(ino);
  std::lock_guard sending(s->sending);
  std::lock_guard lock(s->mutex);
  // The kernel learns the size from the reply: stale attributes need no note.
  toWorkingCopy(nodeOf(cache_, ino), *s, length == 0);
  if (length != 0 && ::truncate(s->file.c_str(), length) != 0) throwErrno("truncate");
  s->generation++;
  if (s->writers.load() == 0) {
    // No close will follow: send it now. Like a close, it does not fail
    // when the engine is away; the change is kept and sent later.
    writeBack_.commitOrKeep(ino, *s, "truncate");
  }
}

void WorkingCopies::setModificationTime(Ino ino, host::FileTime time, Handle* handle) {
  const timespec times[2] = {
      {0, UTIME_OMIT}, {static_cast<time_t>(time.seconds), static_cast<long>(time.nanoseconds)}};
  if (handle && handle->writable) {
    // The handle's working copy: its upload at the last close carries the
    // time, or, with nothing written, the close sends the time alone.
    if (::futimens(handle->fd, times) != 0) throwErrno("set the time of the working copy");
    FileState& s = *handle->state;
    std::lock_guard path(s.pathMutex);
    s.modTime = time;
    s.timeKeptHere = false;
    if (!s.isNew && !s.dirty()) s.timeUnsent = true;
    return;
  }
  auto s = files_.get(ino);
  std::lock_guard sending(s->sending);
  std::lock_guard lock(s->mutex);
  bool carried = false;
  {
    std::lock_guard path(s->pathMutex);
    if (s->inWork && !s->file.empty() && ::utimensat(AT_FDCWD, s->file.c_str(), times, 0) != 0) {
      throwErrno("set the time of the working copy");
    }
    s->modTime = time;
    s->timeKeptHere = false;
    // Times set before the first write-back (tar, cp -p) cost no request
    // of their own.
    carried = s->inWork && (s->isNew || s->dirty());
  }
  if (carried) return;
  s->timeUnsent = true;
  if (s->writers.load() > 0) return;  // the last close sends it
  // Like a close, it does not fail when the engine is away; the time is
  // kept and sent later.
  writeBack_.commitOrKeep(ino, *s, "time change");
}

// ---- what local state protects

WorkingCopies::LocalView WorkingCopies::localView(Ino ino) const {
  LocalView view;
  auto s = files_.find(ino);
  if (!s) return view;
  view.held = true;
  std::lock_guard path(s->pathMutex);
  struct stat st;
  if (s->inWork && !s->file.empty() && ::stat(s->file.c_str(), &st) == 0) view.copy = st;
  view.modTime = s->modTime;
  view.timeHereOnly = s->timeUnsent.load() || s->timeKeptHere;
  return view;
}

bool WorkingCopies::keepsLocalState(Ino ino) const {
  auto s = files_.find(ino);
  if (!s) return false;
  if (s->writers.load() > 0 || s->dirty() || s->timeUnsent.load()) return true;
  std::lock_guard lock(s->pathMutex);
  return s->isNew || s->inWork;
}

// ---- names that change

bool WorkingCopies::dropIfNeverSent(Ino ino, FileState& s) {
  {
    std::lock_guard path(s.pathMutex);
    if (!s.isNew) return false;
  }
  cache_.detach(ino);
  s.committed = s.generation.load();
  std::lock_guard path(s.pathMutex);
  if (s.inWork) ContentCache::dropRecord(s.file);
  return true;
}

bool WorkingCopies::unlinkNeverSent(Ino ino, const std::shared_ptr<FileState>& s) {
  if (!s) return false;
  std::lock_guard lock(s->mutex);
  if (!dropIfNeverSent(ino, *s)) return false;
  if (s->handles.load() == 0) {
    std::lock_guard path(s->pathMutex);
    discardContents(contents_, *s);
    s->inWork = false;
  }
  return true;
}

void WorkingCopies::unlinked(const NodeInfo& n, const std::shared_ptr<FileState>& s) {
  if (!s) {
    if (!n.item) return;
    contents_.remove(contents_.fileFor(n.identifier(), n.item->itemVersion().contentVersion));
    return;
  }
  std::lock_guard lock(s->mutex);
  {
    // Writes still to come through open handles go with the file.
    std::lock_guard path(s->pathMutex);
    if (s->inWork) ContentCache::dropRecord(s->file);
  }
  if (s->handles.load() == 0) {
    std::lock_guard path(s->pathMutex);
    discardContents(contents_, *s);
    s->inWork = false;
  }
}

void WorkingCopies::replaced(Ino ino) {
  auto s = files_.find(ino);
  if (!s) return;
  std::lock_guard lock(s->mutex);
  {
    std::lock_guard path(s->pathMutex);
    if (s->inWork) ContentCache::dropRecord(s->file);
  }
  if (s->handles.load() == 0) {
    std::lock_guard path(s->pathMutex);
    if (!s->inWork) discardContents(contents_, *s);
  }
}

bool WorkingCopies::whenNeverSent(Ino ino, const std::function<void()>& then) {
  auto s = files_.find(ino);
  if (!s) return false;
  std::lock_guard lock(s->mutex);
  if (!dropIfNeverSent(ino, *s)) return false;
  then();
  return true;
}

WorkingCopies::Unsent WorkingCopies::renameIfUnsent(Ino ino, Ino newParent,
                                                    const std::string& newName, bool replacing) {
  auto s = files_.find(ino);
  if (!s) return Unsent::no;
  std::lock_guard lock(s->mutex);
  {
    std::lock_guard path(s->pathMutex);
    if (!s->isNew) return Unsent::no;
  }
  if (!replacing) {
    // Not at the engine yet: its creation will use the new name.
    cache_.move(ino, newParent, newName);
    std::lock_guard path(s->pathMutex);
    writeBack_.recordWork(ino, *s);
    return Unsent::renamed;
  }
  // Replacing needs the new file at the engine first.
  writeBack_.commit(ino, *s);
  return Unsent::sent;
}

std::vector<std::pair<Ino, std::shared_ptr<FileState>>> WorkingCopies::statesOf(
    const std::vector<NodeInfo>& nodes) const {
  std::vector<std::pair<Ino, std::shared_ptr<FileState>>> found;
  bool folders = false;
  for (const auto& n : nodes) {
    if (n.dir) {
      folders = true;
    } else if (auto s = files_.find(n.ino)) {
      found.emplace_back(n.ino, std::move(s));
    }
  }
  if (folders) {
    // Moving a folder moves every file below it.
    for (auto& [ino, s] : files_.all()) {
      auto below = cache_.get(ino);
      if (!below || !below->attached) continue;
      for (const auto& n : nodes) {
        if (n.dir && isBelow(below->path, n.path)) {
          found.emplace_back(ino, s);
          break;
        }
      }
    }
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  found.erase(std::unique(found.begin(), found.end(),
                          [](const auto& a, const auto& b) { return a.first == b.first; }),
              found.end());
  return found;
}

WorkingCopies::SendingHold WorkingCopies::holdSending(const std::vector<NodeInfo>& nodes) const {
  SendingHold hold;
  for (auto& [ino, s] : statesOf(nodes)) {
    s->sending.lock();
    hold.held_.push_back(std::move(s));
  }
  return hold;
}

void WorkingCopies::sendBeforeMove(const NodeInfo& moving) {
  // A record names the path its bytes belong to; a kill between the move at
  // the engine and the record's new path would send them to the old one.
  for (auto& [ino, s] : statesOf({moving})) {
    std::lock_guard lock(s->mutex);
    if (s->writers.load() > 0 || !s->dirty()) continue;
    writeBack_.commitOrKeep(ino, *s, "write-back before a move");
  }
}

WorkingCopies::SendingHold& WorkingCopies::SendingHold::operator=(SendingHold&& other) noexcept {
  release();
  held_ = std::move(other.held_);
  other.held_.clear();
  return *this;
}

void WorkingCopies::SendingHold::release() {
  for (auto& s : held_) s->sending.unlock();
  held_.clear();
}

void WorkingCopies::moved(const NodeInfo& moved) {
  // The files below a moved folder move too. Their cached contents must stay
  // findable: a writer that opened the file under its new name would
  // otherwise fetch another copy, and a reader still open on the old one
  // would never see its writes.
  for (auto& [ino, s] : statesOf({moved})) {
    std::lock_guard lock(s->mutex);
    std::lock_guard path(s->pathMutex);
    if (s->inWork || s->file.empty()) continue;
    s->file = contents_.move(s->file, nodeOf(cache_, ino).identifier(), s->base.contentVersion);
  }
}

// ---- what the engine says

void WorkingCopies::markRemoteGone(Ino ino) {
  if (auto s = files_.find(ino)) s->remoteGone = true;
}

void WorkingCopies::dropUnopened(Ino ino) {
  auto s = files_.find(ino);
  if (!s || s->handles.load() != 0) return;
  std::lock_guard path(s->pathMutex);
  discardContents(contents_, *s);
}

bool WorkingCopies::isNew(Ino ino) const {
  auto s = files_.find(ino);
  if (!s) return false;
  std::lock_guard path(s->pathMutex);
  return s->isNew;
}

std::string WorkingCopies::heldVersion(Ino ino) const {
  auto s = files_.find(ino);
  if (!s) return {};
  std::lock_guard path(s->pathMutex);
  return s->file.empty() ? std::string() : s->base.contentVersion;
}

}  // namespace corvane::mount
