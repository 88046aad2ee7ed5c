#include "change_tracker.h"

#include <algorithm>
#include <unordered_set>

#include "scope_paths.h"

namespace corvane::syncengine {

namespace {

ItemChange makeChange(const std::string& path, const ItemState& state, bool deleted) {
  return ItemChange{ItemEntry{path, state}, deleted};
}

}  // namespace

struct ChangeTracker::Pending {
  std::vector<ItemChange> deletions;
  std::vector<ItemChange> updates;
  std::vector<ChangeLog::SnapshotEdit> edits;
};

ChangeTracker::ChangeTracker(const ScopeStorage& storage, ChangeLog& log)
    : storage_(storage), log_(log) {}

void ChangeTracker::start() {
  snapshot_ = log_.loadSnapshot();
  if (!log_.isNew()) {
    reconcile({{"", true}});
    return;
  }
  ItemList items;
  storage_.walk("", items);
  std::vector<ChangeLog::SnapshotEdit> edits;
  edits.reserve(items.size());
  for (auto& [path, state] : items) {
    edits.emplace_back(path, state);
    snapshot_.insert_or_assign(std::move(path), std::move(state));
  }
  log_.append({}, edits);
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

void ChangeTracker::walkBelow(std::vector<Target>& targets) const {
  for (Target& target : targets) {
    if (!target.recursive || target.below) continue;
    target.below.emplace();
    storage_.walk(target.path, *target.below);
  }
}

void ChangeTracker::compare(const Target& target, Pending& pending) {
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
  if (!state->dir) {
    // A folder replaced by a file: the folder and everything in it are gone,
    // children first, and the file is new.
    removeBelow(path, pending);
    if (auto old = snapshot_.find(path); old != snapshot_.end() && old->second.dir)
      remove(path, pending);
    update(path, *state, pending);
    return;
  }
  if (!path.empty()) {
    if (auto old = snapshot_.find(path); old != snapshot_.end() && !old->second.dir)
      remove(path, pending);
    update(path, *state, pending);
  }
  if (!target.recursive) return;

  ItemList items;
  if (target.below) {
    items = *target.below;
  } else {
    storage_.walk(path, items);
  }
  std::sort(items.begin(), items.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  // Whatever the snapshot holds below the folder and the storage does not is
  // gone.
  const std::string prefix = path.empty() ? std::string() : path + "/";
  std::unordered_set<std::string_view> present;
  present.reserve(items.size());
  for (const auto& item : items) present.insert(item.first);
  std::vector<std::string> gone;
  for (auto it = snapshot_.lower_bound(prefix);
       it != snapshot_.end() && it->first.starts_with(prefix); ++it) {
    if (!present.contains(it->first)) gone.push_back(it->first);
  }
  for (auto it = gone.rbegin(); it != gone.rend(); ++it) remove(*it, pending);
  for (const auto& [childPath, childState] : items) {
    if (auto old = snapshot_.find(childPath);
        old != snapshot_.end() && old->second.dir && !childState.dir) {
      remove(childPath, pending);  // its children went with it above
    }
    update(childPath, childState, pending);
  }
}

void ChangeTracker::removeBelow(const std::string& path, Pending& pending) {
  const std::string prefix = path.empty() ? std::string() : path + "/";
  std::vector<std::string> gone;
  for (auto it = snapshot_.lower_bound(prefix);
       it != snapshot_.end() && it->first.starts_with(prefix); ++it) {
    gone.push_back(it->first);
  }
  for (auto it = gone.rbegin(); it != gone.rend(); ++it) remove(*it, pending);
}

void ChangeTracker::remove(const std::string& path, Pending& pending) {
  auto it = snapshot_.find(path);
  if (it == snapshot_.end()) return;
  pending.deletions.push_back(makeChange(path, it->second, true));
  pending.edits.emplace_back(path, std::nullopt);
  snapshot_.erase(it);
}

void ChangeTracker::update(const std::string& path, const ItemState& state, Pending& pending) {
  auto it = snapshot_.find(path);
  if (it != snapshot_.end() && it->second.sameAs(state)) return;
  pending.updates.push_back(makeChange(path, state, false));
  pending.edits.emplace_back(path, state);
  snapshot_.insert_or_assign(path, state);
}

}  // namespace corvane::syncengine
