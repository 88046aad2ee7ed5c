#include "corvane-mount/change_application.h"

#include "corvane-mount/mount_internal.h"
#include "host/item_paths.h"

namespace corvane::mount {
using namespace internal;

ChangeApplication::ChangeApplication(HostBridge& bridge, ItemCache& cache, ChangeGate& gate,
                                     KernelNotes& notes, WorkingCopies& workingCopies,
                                     HostBridge::Timeout timeout)
    : bridge_(bridge),
      timeout_(timeout),
      cache_(cache),
      gate_(gate),
      notes_(notes),
      workingCopies_(workingCopies),
      anchor_(bridge.currentAnchorWithin(timeout)) {}

std::optional<host::SyncAnchor> ChangeApplication::anchor() const {
  std::lock_guard lock(pollMutex_);
  return anchor_;
}

bool ChangeApplication::pollOnce() {
  std::lock_guard poll(pollMutex_);
  // Asked for without the gate while the mount's requests keep coming
  // through it, a batch may keep missing its chance; the last round asks
  // under the gate, which the timeout keeps short.
  constexpr int kRounds = 3;
  for (int round = 1;; ++round) {
    std::optional<ChangeGate::Exclusive> gate;
    if (round == kRounds) gate.emplace(gate_);
    const auto ticket = gate_.ticket();
    auto changes = fetch(gate.has_value());
    if (!changes) return false;
    if (!gate) {
      gate.emplace(gate_);
      if (!gate_.quietSince(ticket)) continue;
    }
    const std::size_t count = changes->deleted.size() + changes->updated.size();
    anchor_ = changes->anchor;
    apply(std::move(*changes));
    // The engine answers at most this many at a time; more wait behind them.
    return count >= 10000;
  }
}

std::optional<HostBridge::Changes> ChangeApplication::fetch(bool gateHeld) {
  if (!anchor_) {
    auto anchor = bridge_.currentAnchorWithin(timeout_);
    if (!anchor) {
      reportOnce(
          pollError_, "poll", "",
          std::make_exception_ptr(host::Error::fileProvider(host::codes::kServerUnreachable)));
      return std::nullopt;
    }
    // What was learnt without an anchor may have missed changes; what is
    // learnt from now on is at least as fresh as the new one.
    pollError_.clear();
    std::optional<ChangeGate::Exclusive> gate;
    if (!gateHeld) gate.emplace(gate_);
    anchor_ = std::move(anchor);
    resetCache();
    return std::nullopt;
  }
  try {
    auto changes = bridge_.changesWithin(*anchor_, timeout_);
    pollError_.clear();
    return changes;
  } catch (const host::Error& e) {
    if (isExpiredAnchor(e)) {
      // Asked again at the next poll when no new anchor can be had now.
      anchor_ = bridge_.currentAnchorWithin(timeout_);
      std::optional<ChangeGate::Exclusive> gate;
      if (!gateHeld) gate.emplace(gate_);
      resetCache();
      return std::nullopt;
    }
    reportOnce(pollError_, "poll", "", std::current_exception());
  } catch (...) {
    reportOnce(pollError_, "poll", "", std::current_exception());
  }
  return std::nullopt;
}

void ChangeApplication::apply(HostBridge::Changes changes) {
  const std::set<host::ItemIdentifier> deleted(changes.deleted.begin(), changes.deleted.end());
  std::set<host::ItemIdentifier> updated;
  for (const auto& item : changes.updated) updated.insert(item->itemIdentifier());

  for (const auto& id : changes.deleted) {
    if (!updated.count(id)) applyDeletion(id);
  }
  Asked asked;
  for (auto item : changes.updated) {
    if (deleted.count(item->itemIdentifier())) {
      item = lastWord(item, asked);
      if (!item) continue;
    }
    applyUpdate(std::move(item));
  }
}

ChangeApplication::ItemPtr ChangeApplication::lastWord(const ItemPtr& item, Asked& asked) {
  // Deleted and updated in one batch, in an order the batch does not keep:
  // ask which came last.
  const auto id = item->itemIdentifier();
  if (auto it = asked.find(id); it != asked.end()) return it->second;
  ItemPtr now;
  try {
    now = bridge_.itemWithin(id, timeout_);
  } catch (const host::Error& e) {
    if (!isNoSuchItem(e)) now = item;
  } catch (...) {
    now = item;
  }
  asked.emplace(id, now);
  if (!now) applyDeletion(id);
  return now;
}

void ChangeApplication::applyDeletion(const host::ItemIdentifier& id) {
  auto n = cache_.byIdentifier(id);
  if (!n || n->ino == kRootIno) return;
  if (subtreeKeeps(n->ino)) {
    // Local changes not yet sent win; the write-back finds it gone.
    workingCopies_.markRemoteGone(n->ino);
    return;
  }
  cache_.detach(n->ino);
  notes_.note({Invalidation::entry, n->parent, n->name});
  notes_.note({Invalidation::contents, n->parent, {}});
  if (!n->dir) workingCopies_.dropUnopened(n->ino);
}

void ChangeApplication::applyUpdate(ItemPtr item) {
  const bool dir = isFolderItem(*item);
  auto n = cache_.byIdentifier(item->itemIdentifier());
  if (n && n->dir != dir) {
    if (subtreeKeeps(n->ino)) return;
    cache_.detach(n->ino);
    notes_.note({Invalidation::entry, n->parent, n->name});
    n.reset();
  }
  if (n) {
    updateNode(*n, std::move(item), dir);
  } else {
    addNode(item);
  }
}

void ChangeApplication::updateNode(const NodeInfo& n, ItemPtr item, bool dir) {
  if (workingCopies_.keepsLocalState(n.ino)) {
    // A file only made here meets the engine's at its write-back.
    if (!workingCopies_.isNew(n.ino)) cache_.setItem(n.ino, item);
    return;
  }
  if (!dir) {
    const std::string have = workingCopies_.heldVersion(n.ino);
    if (!have.empty() && have != item->itemVersion().contentVersion) {
      // The engine's log may trail what a download already brought; its
      // present state decides rather than an older entry.
      try {
        item = bridge_.itemWithin(item->itemIdentifier(), timeout_);
      } catch (const host::Error& e) {
        if (isNoSuchItem(e)) {
          applyDeletion(item->itemIdentifier());
          return;
        }
      } catch (...) {
      }
    }
  }
  auto old = n.item;
  cache_.setItem(n.ino, item);
  if (!old) return;
  const auto before = old->itemVersion(), after = item->itemVersion();
  if (!dir && before.contentVersion != after.contentVersion) {
    notes_.note({Invalidation::contents, n.ino, {}});
  } else if (before.metadataVersion != after.metadataVersion) {
    notes_.note({Invalidation::attributes, n.ino, {}});
  }
}

void ChangeApplication::addNode(const ItemPtr& item) {
  auto parent = cache_.byIdentifier(item->parentItemIdentifier());
  if (!parent || !parent->dir || !parent->attached) {
    relistAbove(host::paths::path(item->parentItemIdentifier()));
    return;
  }
  std::vector<Invalidation> notes;
  cache_.upsert(parent->ino, item, &notes);
  notes_.note(notes);
  notes_.note({Invalidation::entry, parent->ino, item->filename()});
  notes_.note({Invalidation::contents, parent->ino, {}});
}

void ChangeApplication::relistAbove(const std::string& missing) {
  // A folder this mount does not hold (dropped when the engine reported it
  // gone, e.g. moved away by another machine while a file was written into
  // it here) holds an item again. The nearest folder the mount does hold
  // gets listed again when next looked at, so the folder shows once more.
  std::string path = missing;
  while (!path.empty()) {
    const std::string up = host::paths::parent(path);
    auto n = cache_.byIdentifier(host::paths::identifier(up));
    if (n && n->dir && n->attached) {
      if (n->complete) {
        cache_.setComplete(n->ino, false);
        notes_.note({Invalidation::entry, n->ino, host::paths::name(path)});
        notes_.note({Invalidation::contents, n->ino, {}});
      }
      return;
    }
    path = up;
  }
}

bool ChangeApplication::subtreeKeeps(Ino root) const {
  std::vector<Ino> todo{root};
  while (!todo.empty()) {
    Ino ino = todo.back();
    todo.pop_back();
    if (workingCopies_.keepsLocalState(ino)) return true;
    for (auto& c : cache_.children(ino)) todo.push_back(c.ino);
  }
  return false;
}

void ChangeApplication::resetCache() {
  std::vector<Invalidation> notes;
  cache_.reset([this](Ino ino) { return workingCopies_.keepsLocalState(ino); }, &notes);
  notes_.note(notes);
  notes_.note({Invalidation::contents, kRootIno, {}});
}

}  // namespace corvane::mount
