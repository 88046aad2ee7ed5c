// MountFileSystem: the engine's changes, retries and the end of the mount.
#include "corvane-mount/mount_file_system.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <system_error>
#include <tuple>

#include "corvane-mount/errno_map.h"
#include "corvane-mount/mount_internal.h"
#include "items/item.h"
#include "platform/log.h"
#include "platform/uniform_types.h"
#include "platform/uuid.h"

namespace corvane::mount {
namespace fs = std::filesystem;
namespace caps = host::capabilities;
using namespace internal;

// ---- changes

std::optional<host::SyncAnchor> MountFileSystem::anchor() const {
  std::lock_guard lock(pollMutex_);
  return anchor_;
}

std::size_t MountFileSystem::pendingWriteBacks() const {
  std::lock_guard lock(filesMutex_);
  return pending_.size();
}

bool MountFileSystem::pollOnce() {
  std::lock_guard poll(pollMutex_);
  ChangeGate::Exclusive gate(gate_);
  if (!anchor_) {
    anchor_ = bridge_.currentAnchor();
    if (!anchor_) {
      reportOnce(pollError_, "poll", "",
                 std::make_exception_ptr(host::Error::fileProvider(host::codes::kServerUnreachable)));
      return false;
    }
    // What was learnt without an anchor may have missed changes.
    pollError_.clear();
    resetCache();
    return false;
  }
  HostBridge::Changes changes;
  try {
    changes = bridge_.changes(*anchor_);
  } catch (const host::Error& e) {
    if (isExpiredAnchor(e)) {
      resetCache();
      anchor_ = bridge_.currentAnchor();
      return false;
    }
    reportOnce(pollError_, "poll", "", std::current_exception());
    return false;
  } catch (...) {
    reportOnce(pollError_, "poll", "", std::current_exception());
    return false;
  }
  pollError_.clear();
  const std::size_t count = changes.deleted.size() + changes.updated.size();
  anchor_ = changes.anchor;
  applyChanges(std::move(changes));
  // The engine answers at most this many at a time; more wait behind them.
  return count >= 10000;
}

void MountFileSystem::applyChanges(HostBridge::Changes changes) {
  std::set<host::ItemIdentifier> deleted(changes.deleted.begin(), changes.deleted.end());
  std::set<host::ItemIdentifier> updated;
  for (const auto& item : changes.updated) updated.insert(item->itemIdentifier());

  auto subtreeKeeps = [this](Ino root) {
    std::vector<Ino> todo{root};
    while (!todo.empty()) {
      Ino ino = todo.back();
      todo.pop_back();
      if (keepsLocalState(ino)) return true;
      for (auto& c : cache_.children(ino)) todo.push_back(c.ino);
    }
    return false;
  };

  auto applyDeletion = [&](const host::ItemIdentifier& id) {
    auto n = cache_.byIdentifier(id);
    if (!n || n->ino == kRootIno) return;
    if (subtreeKeeps(n->ino)) {
      // Local changes not yet sent win; the write-back finds it gone.
      if (auto s = existingState(n->ino)) s->remoteGone = true;
      return;
    }
    cache_.detach(n->ino);
    note({Invalidation::entry, n->parent, n->name});
    note({Invalidation::contents, n->parent, {}});
    if (!n->dir) {
      if (auto s = existingState(n->ino); s && s->handles.load() == 0) {
        std::lock_guard path(s->pathMutex);
        ContentCache::discard(s->file);
        s->file.clear();
      }
    }
  };

  auto applyUpdate = [&](std::shared_ptr<const host::Item> item) {
    const bool dir = isFolderItem(*item);
    auto n = cache_.byIdentifier(item->itemIdentifier());
    if (n && n->dir != dir) {
      if (subtreeKeeps(n->ino)) return;
      cache_.detach(n->ino);
      note({Invalidation::entry, n->parent, n->name});
      n.reset();
    }
    if (n) {
      if (keepsLocalState(n->ino)) {
        bool isNew = false;
        if (auto s = existingState(n->ino)) {
          std::lock_guard path(s->pathMutex);
          isNew = s->isNew;
        }
        // A file only made here meets the engine's at its write-back.
        if (!isNew) cache_.setItem(n->ino, item);
        return;
      }
      if (!dir) {
        if (auto s = existingState(n->ino)) {
          std::string have;
          {
            std::lock_guard path(s->pathMutex);
            if (!s->file.empty()) have = s->base.contentVersion;
          }
          if (!have.empty() && have != item->itemVersion().contentVersion) {
            // The engine's log may trail what a download already brought;
            // its present state decides rather than an older entry.
            try {
              item = bridge_.item(item->itemIdentifier());
            } catch (const host::Error& e) {
              if (isNoSuchItem(e)) {
                applyDeletion(item->itemIdentifier());
                return;
              }
            } catch (...) {
            }
          }
        }
      }
      auto old = n->item;
      cache_.setItem(n->ino, item);
      if (!old) return;
      const auto before = old->itemVersion(), after = item->itemVersion();
      if (!dir && before.contentVersion != after.contentVersion) {
        note({Invalidation::contents, n->ino, {}});
      } else if (before.metadataVersion != after.metadataVersion) {
        note({Invalidation::attributes, n->ino, {}});
      }
      return;
    }
    auto parent = cache_.byIdentifier(item->parentItemIdentifier());
    if (!parent || !parent->dir || !parent->attached) return;
    std::vector<Invalidation> notes;
    cache_.upsert(parent->ino, item, &notes);
    note(notes);
    note({Invalidation::entry, parent->ino, item->filename()});
    note({Invalidation::contents, parent->ino, {}});
  };

  for (const auto& id : changes.deleted) {
    if (!updated.count(id)) applyDeletion(id);
  }
  std::map<host::ItemIdentifier, std::shared_ptr<const host::Item>> asked;
  for (auto item : changes.updated) {
    const auto id = item->itemIdentifier();
    if (deleted.count(id)) {
      // Deleted and updated in one batch, in an order the batch does not
      // keep: ask which came last.
      auto it = asked.find(id);
      if (it == asked.end()) {
        std::shared_ptr<const host::Item> now;
        try {
          now = bridge_.item(id);
        } catch (const host::Error& e) {
          if (!isNoSuchItem(e)) now = item;
        } catch (...) {
          now = item;
        }
        it = asked.emplace(id, now).first;
        if (!now) applyDeletion(id);
      }
      if (!it->second) continue;
      item = it->second;
    }
    applyUpdate(item);
  }
}

void MountFileSystem::resetCache() {
  std::vector<Invalidation> notes;
  cache_.reset([this](Ino ino) { return keepsLocalState(ino); }, &notes);
  note(notes);
  note({Invalidation::contents, kRootIno, {}});
}

void MountFileSystem::retryPending() {
  std::vector<Ino> inos;
  {
    std::lock_guard files(filesMutex_);
    inos.assign(pending_.begin(), pending_.end());
  }
  for (Ino ino : inos) {
    auto s = existingState(ino);
    if (!s) {
      std::lock_guard files(filesMutex_);
      pending_.erase(ino);
      continue;
    }
    if (s->writers.load() > 0) continue;  // their close sends it
    writeBack_.submit(ino);
  }
}

void MountFileSystem::shutdown() {
  writeBack_.drain();
  std::vector<std::pair<Ino, std::shared_ptr<FileState>>> all;
  {
    std::lock_guard files(filesMutex_);
    all.assign(files_.begin(), files_.end());
  }
  for (auto& [ino, s] : all) {
    if (!s->dirty()) continue;
    std::lock_guard lock(s->mutex);
    s->writers = 0;  // the kernel will not close them any more
    commitOrKeep(ino, *s, "write-back at unmount");
  }
  writeBack_.stop();
}

}  // namespace corvane::mount
