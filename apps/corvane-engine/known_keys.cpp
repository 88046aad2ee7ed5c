#include "known_keys.h"

#include <set>

#include "scope_paths.h"

namespace corvane::syncengine {
namespace {

std::string prefixOf(const std::string& dir) { return dir.empty() ? std::string() : dir + "/"; }

}  // namespace

KnownKeys::KnownKeys(Clock::duration trust, std::size_t capacity)
    : trust_(trust), capacity_(capacity) {}

std::optional<std::optional<ItemState>> KnownKeys::find(const std::string& path) const {
  const auto now = Clock::now();
  std::lock_guard lock(mutex_);
  if (auto it = facts_.find(path); it != facts_.end() && fresh(it->second.at, now)) {
    return it->second.state;
  }
  if (auto it = listings_.find(parentOf(path));
      it != listings_.end() && it->second.complete && fresh(it->second.at, now)) {
    return std::optional<ItemState>();  // not in the folder's listing
  }
  // Below a folder that is gone, or below a file, nothing is.
  for (std::string up = parentOf(path); !up.empty(); up = parentOf(up)) {
    auto it = facts_.find(up);
    if (it == facts_.end() || !fresh(it->second.at, now)) continue;
    if (!it->second.state || !it->second.state->dir) return std::optional<ItemState>();
    break;
  }
  return std::nullopt;
}

std::optional<bool> KnownKeys::keepsItself(const std::string& dir) const {
  const auto now = Clock::now();
  const std::string prefix = prefixOf(dir);
  std::lock_guard lock(mutex_);
  for (auto it = facts_.lower_bound(prefix); it != facts_.end() && it->first.starts_with(prefix);
       ++it) {
    if (it->second.state && fresh(it->second.at, now)) return true;
  }
  const auto listing = listings_.find(dir);
  if (listing == listings_.end() || !listing->second.complete ||
      !fresh(listing->second.at, now)) {
    return std::nullopt;
  }
  return listing->second.marker;
}

void KnownKeys::listed(const std::string& dir, const std::vector<ItemEntry>& entries, bool marker,
                       bool exists, Clock::time_point asked) {
  const std::string prefix = prefixOf(dir);
  std::lock_guard lock(mutex_);
  std::set<std::string_view> present;
  for (const ItemEntry& entry : entries) {
    present.insert(entry.path);
    Fact& fact = facts_[entry.path];
    if (fact.at <= asked) fact = {entry.state, asked};
  }
  // Direct children learnt before the listing was asked and not in it are
  // gone, and everything below them.
  std::vector<std::string> gone;
  for (auto it = facts_.lower_bound(prefix); it != facts_.end() && it->first.starts_with(prefix);
       ++it) {
    if (it->first.find('/', prefix.size()) != std::string::npos) continue;
    if (it->second.at <= asked && !present.contains(it->first)) gone.push_back(it->first);
  }
  for (const std::string& path : gone) {
    facts_.erase(path);
    eraseBelow(path);
  }
  Listing& listing = listings_[dir];
  if (listing.at <= asked) listing = {marker, asked, true};
  if (!dir.empty()) {
    // No key below tells that no folder is there; a file of the name may be.
    auto self = facts_.find(dir);
    if (exists && (self == facts_.end() || self->second.at <= asked)) {
      facts_[dir] = {ItemState::folder(), asked};
    } else if (!exists && self != facts_.end() && self->second.at <= asked &&
               (!self->second.state || self->second.state->dir)) {
      facts_.erase(self);
    }
  }
  bound();
}

void KnownKeys::learnt(const std::string& path, const ItemState& state) {
  const auto now = Clock::now();
  std::lock_guard lock(mutex_);
  facts_[path] = {state, now};
  if (!state.dir) eraseBelow(path);
  for (std::string up = parentOf(path); !up.empty(); up = parentOf(up)) {
    facts_[up] = {ItemState::folder(), now};
  }
  bound();
}

void KnownKeys::gone(const std::string& path) {
  const auto now = Clock::now();
  std::lock_guard lock(mutex_);
  facts_[path] = {std::nullopt, now};
  eraseBelow(path);
  bound();
}

void KnownKeys::madeFolder(const std::string& dir) {
  const auto now = Clock::now();
  std::lock_guard lock(mutex_);
  eraseBelow(dir);
  facts_[dir] = {ItemState::folder(), now};
  for (std::string up = parentOf(dir); !up.empty(); up = parentOf(up)) {
    facts_[up] = {ItemState::folder(), now};
  }
  listings_[dir] = {true, now, true};
  bound();
}

void KnownKeys::forget(const std::string& path) {
  std::lock_guard lock(mutex_);
  facts_.erase(path);
  eraseBelow(path);
  // The folder's listing no longer tells that nothing else is in it, and
  // neither does one asked before now that answers later (it may miss what
  // is being written at the path).
  listings_[parentOf(path)] = {false, Clock::now(), false};
}

void KnownKeys::eraseBelow(const std::string& path) {
  const std::string prefix = path + "/";
  facts_.erase(facts_.lower_bound(prefix), facts_.lower_bound(path + "0"));  // '0' follows '/'
  listings_.erase(path);
  listings_.erase(listings_.lower_bound(prefix), listings_.lower_bound(path + "0"));
}

void KnownKeys::bound() {
  if (facts_.size() <= capacity_) return;
  facts_.clear();
  listings_.clear();
}

}  // namespace corvane::syncengine
