#include "change_tracker.h"

#include <algorithm>
#include <unordered_set>

#include "scope_paths.h"

namespace corvane::syncengine {

namespace {

ItemChange makeChange(const std::string& path, const ItemState& state, bool deleted) {
  return ItemChange{ItemEntry{path, state}, deleted};
}

std::string orderKey(const std::string& path, bool dir) { return dir ? path + "/" : path; }

bool isBelow(const std::string& path, const std::string& prefix) {
  return path.size() > prefix.size() && path.starts_with(prefix);
}

void sortByOrderKey(ItemList& items) {
  std::sort(items.begin(), items.end(), [](const auto& a, const auto& b) {
    return orderKey(a.first, a.second.dir) < orderKey(b.first, b.second.dir);
  });
}

}  // namespace

struct ChangeTracker::Pending {
  std::vector<ItemChange> deletions;
  std::vector<ItemChange> updates;
  std::vector<ChangeLog::SnapshotEdit> edits;
  // The edits by path, the latest of each: what the snapshot will hold.
  std::map<std::string, std::optional<ItemState>> overlay;
};

ChangeTracker::ChangeTracker(const ScopeStorage& storage, ChangeLog& log)
    : storage_(storage), log_(log) {}

void ChangeTracker::start(bool compareWhole) {
  if (!compareWhole) return;
  Target whole("", true);
  whole.quietAdditions = log_.isNew();
  reconcile({whole});
}

std::vector<std::string> ChangeTracker::reconcile(const std::vector<Target>& targets) {
  Pending pending;
  for (const Target& target : targets) compare(target, pending);
  if (pending.deletions.empty() && pending.updates.empty() && pending.edits.empty()) return {};
  std::vector<ItemChange> changes = std::move(pending.deletions);
  changes.insert(changes.end(), std::make_move_iterator(pending.updates.begin()),
                 std::make_move_iterator(pending.updates.end()));
  log_.append(changes, pending.edits);
  std::vector<std::string> paths;
  paths.reserve(changes.size());
  for (const ItemChange& change : changes) paths.push_back(change.entry.path);
  return paths;
}

void ChangeTracker::load(std::vector<Target>& targets) const {
  for (Target& target : targets) {
    if (target.load) {
      target.load(target);
      continue;
    }
    if (!target.recursive || target.below) continue;
    target.below.emplace();
    storage_.walk(target.path, *target.below);
  }
}

void ChangeTracker::compare(const Target& target, Pending& pending) {
  switch (target.reach) {
    case Target::Reach::item:
      return compareItem(target, pending);
    case Target::Reach::children:
      return compareChildren(target, pending);
    case Target::Reach::range:
      return compareRange(target, pending);
  }
}

std::optional<ItemState> ChangeTracker::known(const std::string& path, const Pending& pending) {
  if (auto it = pending.overlay.find(path); it != pending.overlay.end()) return it->second;
  return log_.snapshotState(path);
}

namespace {

// `rows` (from the log, in path order) with the pending edits among those
// for which `within` holds applied.
template <typename Within>
std::vector<ItemEntry> withEdits(std::vector<ItemEntry> rows,
                                 const std::map<std::string, std::optional<ItemState>>& overlay,
                                 Within within) {
  bool touched = false;
  for (const auto& [path, state] : overlay) {
    if (within(path, state)) touched = true;
  }
  if (!touched) return rows;
  std::map<std::string, ItemState> merged;
  for (auto& row : rows) merged.emplace(std::move(row.path), std::move(row.state));
  for (const auto& [path, state] : overlay) {
    if (state && within(path, state)) {
      merged.insert_or_assign(path, *state);
    } else if (!state) {
      merged.erase(path);
    }
  }
  std::vector<ItemEntry> out;
  out.reserve(merged.size());
  for (auto& [path, state] : merged) {
    if (within(path, std::optional<ItemState>(state))) out.push_back({path, std::move(state)});
  }
  return out;
}

}  // namespace

std::vector<ItemEntry> ChangeTracker::knownBelow(const std::string& folder,
                                                 const Pending& pending) {
  const std::string prefix = folder.empty() ? std::string() : folder + "/";
  return withEdits(log_.snapshotBelow(folder), pending.overlay,
                   [&](const std::string& path, const auto&) { return isBelow(path, prefix); });
}

std::vector<ItemEntry> ChangeTracker::knownChildren(const std::string& folder,
                                                    const Pending& pending) {
  const std::string prefix = folder.empty() ? std::string() : folder + "/";
  return withEdits(log_.snapshotChildren(folder), pending.overlay,
                   [&](const std::string& path, const auto&) {
                     return isBelow(path, prefix) &&
                            path.find('/', prefix.size()) == std::string::npos;
                   });
}

std::vector<ItemEntry> ChangeTracker::knownRange(const Target& range, const Pending& pending) {
  std::vector<ItemEntry> rows = withEdits(
      log_.snapshotRange(range.after, range.through), pending.overlay,
      [&](const std::string& path, const std::optional<ItemState>& state) {
        if (!state) return true;  // a removal applies wherever it is
        const std::string key = orderKey(path, state->dir);
        return key > range.after && (!range.through || key <= *range.through);
      });
  std::sort(rows.begin(), rows.end(), [](const ItemEntry& a, const ItemEntry& b) {
    return orderKey(a.path, a.state.dir) < orderKey(b.path, b.state.dir);
  });
  return rows;
}

void ChangeTracker::compareItem(const Target& target, Pending& pending) {
  const std::string& path = target.path;
  std::optional<ItemState> state;
  if (path.empty()) {
    state = ItemState::folder();  // the root always exists
  } else if (target.state) {
    state = target.state;
  } else {
    state = storage_.stateOf(path);
  }
  if (!state) {
    removeBelow(path, pending);
    remove(path, pending);
    return;
  }
  if (!path.empty()) {
    replaceKind(path, *state, pending);
    update(path, *state, pending);
  }
  if (!state->dir || !target.recursive) return;

  ItemList items;
  if (target.below) {
    items = *target.below;
  } else {
    storage_.walk(path, items);
  }
  sortByOrderKey(items);
  // Whatever the snapshot holds below the folder and the storage does not is
  // gone.
  std::unordered_set<std::string_view> present;
  present.reserve(items.size());
  for (const auto& item : items) present.insert(item.first);
  const std::vector<ItemEntry> before = knownBelow(path, pending);
  for (auto it = before.rbegin(); it != before.rend(); ++it) {
    if (!present.contains(it->path)) remove(it->path, pending);
  }
  for (const auto& [childPath, childState] : items) {
    replaceKind(childPath, childState, pending);
    update(childPath, childState, pending, target.quietAdditions);
  }
}

void ChangeTracker::compareChildren(const Target& target, Pending& pending) {
  const std::string& path = target.path;
  if (!target.below) {
    if (path.empty()) return;  // the root is always there; nothing was listed
    removeBelow(path, pending);
    remove(path, pending);
    return;
  }
  if (!path.empty()) {
    replaceKind(path, ItemState::folder(), pending);
    update(path, ItemState::folder(), pending);
  }
  ItemList items = *target.below;
  sortByOrderKey(items);
  std::unordered_set<std::string_view> present;
  present.reserve(items.size());
  for (const auto& item : items) present.insert(item.first);
  const std::vector<ItemEntry> before = knownChildren(path, pending);
  for (auto it = before.rbegin(); it != before.rend(); ++it) {
    if (present.contains(it->path)) continue;
    if (it->state.dir) removeBelow(it->path, pending);
    remove(it->path, pending);
  }
  // A folder new to the snapshot comes alone: what is in it is compared
  // when someone looks into it, or by the next comparison of everything.
  for (const auto& [childPath, childState] : items) {
    replaceKind(childPath, childState, pending);
    update(childPath, childState, pending);
  }
}

void ChangeTracker::compareRange(const Target& target, Pending& pending) {
  ItemList items = target.below.value_or(ItemList{});
  sortByOrderKey(items);
  std::unordered_set<std::string_view> present;
  present.reserve(items.size());
  for (const auto& item : items) present.insert(item.first);
  const std::vector<ItemEntry> before = knownRange(target, pending);
  for (auto it = before.rbegin(); it != before.rend(); ++it) {
    if (present.contains(it->path)) continue;
    // A folder is gone with every key below it: nothing below is left either.
    if (it->state.dir) removeBelow(it->path, pending);
    remove(it->path, pending);
  }
  for (const auto& [path, state] : items) {
    replaceKind(path, state, pending);
    update(path, state, pending, target.quietAdditions);
  }
}

void ChangeTracker::replaceKind(const std::string& path, const ItemState& state,
                                Pending& pending) {
  const auto old = known(path, pending);
  if (!old || old->dir == state.dir) return;
  // A folder replaced by a file: the folder and everything in it are gone,
  // children first, and the file is new; a file replaced by a folder goes
  // before the folder comes.
  if (old->dir) removeBelow(path, pending);
  remove(path, pending);
}

void ChangeTracker::removeBelow(const std::string& path, Pending& pending) {
  const std::vector<ItemEntry> gone = knownBelow(path, pending);
  for (auto it = gone.rbegin(); it != gone.rend(); ++it) remove(it->path, pending);
}

void ChangeTracker::remove(const std::string& path, Pending& pending) {
  const auto old = known(path, pending);
  if (!old) return;
  pending.deletions.push_back(makeChange(path, *old, true));
  pending.edits.emplace_back(path, std::nullopt);
  pending.overlay.insert_or_assign(path, std::nullopt);
}

void ChangeTracker::update(const std::string& path, const ItemState& state, Pending& pending,
                           bool quiet) {
  const auto old = known(path, pending);
  if (old && old->sameAs(state)) return;
  if (!old && quiet) {
    pending.edits.emplace_back(path, state);
    pending.overlay.insert_or_assign(path, state);
    return;
  }
  pending.updates.push_back(makeChange(path, state, false));
  pending.edits.emplace_back(path, state);
  pending.overlay.insert_or_assign(path, state);
}

}  // namespace corvane::syncengine
