#include "corvane-mount/item_cache.h"

#include <cstdint>
#include <set>
#include <string_view>
#include <unordered_set>

#include "host/item_paths.h"
#include "platform/unicode.h"
#include "platform/uniform_types.h"

namespace corvane::mount {
namespace {

bool isFolder(const host::Item& item) {
  auto type = item.contentType();
  return type && *type == platform::kFolderType;
}

bool isAscii(const std::string& s) {
  for (unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

}  // namespace

host::ItemIdentifier NodeInfo::identifier() const { return host::paths::identifier(path); }

ItemCache::ItemCache(std::shared_ptr<const host::Item> root) {
  Node node;
  node.dir = true;
  node.attached = true;
  node.item = std::move(root);
  node.lookups = 1;  // the kernel never forgets the root
  nodes_.emplace(kRootIno, std::move(node));
  byPath_.emplace("", kRootIno);
}

NodeInfo ItemCache::info(Ino ino, const Node& node) const {
  NodeInfo out;
  out.ino = ino;
  out.parent = node.parent;
  out.name = node.name;
  out.path = node.path;
  out.dir = node.dir;
  out.item = node.item;
  out.complete = node.complete;
  out.attached = node.attached;
  return out;
}

std::optional<NodeInfo> ItemCache::get(Ino ino) const {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(ino);
  if (it == nodes_.end()) return std::nullopt;
  return info(ino, it->second);
}

std::optional<NodeInfo> ItemCache::byIdentifier(const host::ItemIdentifier& identifier) const {
  std::lock_guard lock(mutex_);
  auto it = byPath_.find(host::paths::path(identifier));
  if (it == byPath_.end()) return std::nullopt;
  return info(it->second, nodes_.at(it->second));
}

Ino ItemCache::findChild(const Node& parent, const std::string& name) const {
  if (auto it = parent.children.find(name); it != parent.children.end()) return it->second;
  if (isAscii(name)) return 0;
  for (const auto& [childName, ino] : parent.children) {
    if (!isAscii(childName) && platform::canonicallyEqual(childName, name)) return ino;
  }
  return 0;
}

std::optional<NodeInfo> ItemCache::child(Ino parent, const std::string& name) const {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(parent);
  if (it == nodes_.end()) return std::nullopt;
  Ino ino = findChild(it->second, name);
  if (!ino) return std::nullopt;
  return info(ino, nodes_.at(ino));
}

std::vector<NodeInfo> ItemCache::children(Ino dir) const {
  std::lock_guard lock(mutex_);
  std::vector<NodeInfo> out;
  auto it = nodes_.find(dir);
  if (it == nodes_.end()) return out;
  out.reserve(it->second.children.size());
  for (const auto& [name, ino] : it->second.children) out.push_back(info(ino, nodes_.at(ino)));
  return out;
}

Ino ItemCache::create(Ino parent, const std::string& name, bool dir,
                      std::shared_ptr<const host::Item> item) {
  Node& p = nodes_.at(parent);
  Ino ino = next_++;
  Node node;
  node.parent = parent;
  node.name = name;
  node.path = host::paths::child(p.path, name);
  node.dir = dir;
  node.attached = true;
  node.item = std::move(item);
  node.changed = ++changes_;
  byPath_[node.path] = ino;
  p.children[name] = ino;
  nodes_.emplace(ino, std::move(node));
  return ino;
}

NodeInfo ItemCache::upsert(Ino parent, std::shared_ptr<const host::Item> item,
                           std::vector<Invalidation>* notes) {
  std::lock_guard lock(mutex_);
  const std::string name = item->filename();
  const bool dir = isFolder(*item);
  Node& p = nodes_.at(parent);
  if (auto it = p.children.find(name); it != p.children.end()) {
    Ino ino = it->second;
    Node& node = nodes_.at(ino);
    if (node.dir == dir) {
      node.item = std::move(item);
      node.changed = ++changes_;
      return info(ino, node);
    }
    detachLocked(ino);
    if (notes) notes->push_back({Invalidation::entry, parent, name});
  }
  Ino ino = create(parent, name, dir, std::move(item));
  return info(ino, nodes_.at(ino));
}

NodeInfo ItemCache::addLocal(Ino parent, const std::string& name) {
  std::lock_guard lock(mutex_);
  Node& p = nodes_.at(parent);
  if (auto it = p.children.find(name); it != p.children.end()) detachLocked(it->second);
  Ino ino = create(parent, name, false, nullptr);
  return info(ino, nodes_.at(ino));
}

void ItemCache::setItem(Ino ino, std::shared_ptr<const host::Item> item) {
  std::lock_guard lock(mutex_);
  if (auto it = nodes_.find(ino); it != nodes_.end()) {
    it->second.item = std::move(item);
    it->second.changed = ++changes_;
  }
}

bool ItemCache::replaceItem(Ino ino, const std::shared_ptr<const host::Item>& expected,
                            std::shared_ptr<const host::Item> item) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(ino);
  if (it == nodes_.end() || it->second.item != expected) return false;
  it->second.item = std::move(item);
  it->second.changed = ++changes_;
  return true;
}

void ItemCache::setComplete(Ino dir, bool complete) {
  std::lock_guard lock(mutex_);
  if (auto it = nodes_.find(dir); it != nodes_.end() && it->second.dir) {
    it->second.complete = complete;
  }
}

std::uint64_t ItemCache::mark() const {
  std::lock_guard lock(mutex_);
  return changes_;
}

void ItemCache::fill(Ino dir, const std::vector<std::shared_ptr<const host::Item>>& items,
                     const std::function<bool(Ino)>& keep, std::vector<Invalidation>* notes,
                     std::uint64_t listedAfter) {
  // Each item's name and kind, read once: a folder of 100,000 files passes
  // through here, and the kind is found through the file's type.
  struct Listed {
    std::string name;
    bool dir;
    const std::shared_ptr<const host::Item>* item;
  };
  std::vector<Listed> listing;
  listing.reserve(items.size());
  for (const auto& item : items) listing.push_back({item->filename(), isFolder(*item), &item});
  std::unordered_set<std::string_view> listed;
  listed.reserve(listing.size());
  for (const auto& l : listing) listed.insert(l.name);

  // The children the listing lacks are read under the lock; whether local
  // state keeps them is asked without it, since the answer takes other locks.
  std::map<Ino, std::string> missing;
  {
    std::lock_guard lock(mutex_);
    auto it = nodes_.find(dir);
    if (it == nodes_.end() || !it->second.attached) return;
    for (const auto& [name, ino] : it->second.children) {
      if (!listed.count(name)) missing.emplace(ino, name);
    }
  }
  std::set<Ino> kept;
  for (const auto& [ino, name] : missing) {
    if (keep && keep(ino)) kept.insert(ino);
  }

  std::lock_guard lock(mutex_);
  auto it = nodes_.find(dir);
  if (it == nodes_.end() || !it->second.attached) return;
  for (const auto& l : listing) {
    Node& p = nodes_.at(dir);
    if (auto c = p.children.find(l.name); c != p.children.end()) {
      Node& node = nodes_.at(c->second);
      if (node.changed > listedAfter) continue;  // newer than the listing
      if (node.dir == l.dir) {
        node.item = *l.item;
        continue;
      }
      detachLocked(c->second);
      if (notes) notes->push_back({Invalidation::entry, dir, l.name});
    }
    create(dir, l.name, l.dir, *l.item);
  }
  for (const auto& [ino, name] : missing) {
    if (kept.count(ino)) continue;
    // A child moved or removed meanwhile was not asked about, and one that
    // changed since the listing was asked for may be newer than it: they stay.
    const Node& p = nodes_.at(dir);
    if (auto c = p.children.find(name); c == p.children.end() || c->second != ino) continue;
    if (nodes_.at(ino).changed > listedAfter) continue;
    detachLocked(ino);
    if (notes) notes->push_back({Invalidation::entry, dir, name});
  }
  nodes_.at(dir).complete = true;
}

void ItemCache::detachLocked(Ino ino) {
  auto it = nodes_.find(ino);
  if (it == nodes_.end() || ino == kRootIno) return;
  Node& node = it->second;
  if (node.attached) {
    if (auto p = nodes_.find(node.parent); p != nodes_.end()) {
      auto c = p->second.children.find(node.name);
      if (c != p->second.children.end() && c->second == ino) p->second.children.erase(c);
    }
    if (auto b = byPath_.find(node.path); b != byPath_.end() && b->second == ino) byPath_.erase(b);
  }
  node.attached = false;
  node.parent = 0;
  std::map<std::string, Ino> children;
  children.swap(node.children);
  node.complete = false;
  for (const auto& [name, child] : children) {
    auto c = nodes_.find(child);
    if (c == nodes_.end()) continue;
    // Below a detached folder nothing is reachable either.
    c->second.parent = ino;
    c->second.attached = true;
    detachLocked(child);
  }
  // A forgotten node with no kernel references can go now.
  if (node.lookups == 0) nodes_.erase(it);
}

void ItemCache::detach(Ino ino) {
  std::lock_guard lock(mutex_);
  detachLocked(ino);
}

void ItemCache::rekey(Ino ino, const std::string& path) {
  Node& node = nodes_.at(ino);
  if (auto b = byPath_.find(node.path); b != byPath_.end() && b->second == ino) byPath_.erase(b);
  node.path = path;
  byPath_[path] = ino;
  for (const auto& [name, child] : node.children) rekey(child, host::paths::child(path, name));
}

void ItemCache::move(Ino ino, Ino newParent, const std::string& newName) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(ino);
  if (it == nodes_.end() || ino == kRootIno) return;
  Node& target = nodes_.at(newParent);
  if (auto c = target.children.find(newName); c != target.children.end() && c->second != ino) {
    detachLocked(c->second);
  }
  Node& node = nodes_.at(ino);
  if (node.attached) {
    Node& old = nodes_.at(node.parent);
    auto c = old.children.find(node.name);
    if (c != old.children.end() && c->second == ino) old.children.erase(c);
  }
  node.parent = newParent;
  node.name = newName;
  node.attached = true;
  node.changed = ++changes_;
  nodes_.at(newParent).children[newName] = ino;
  rekey(ino, host::paths::child(nodes_.at(newParent).path, newName));
}

void ItemCache::reset(const std::function<bool(Ino)>& keep, std::vector<Invalidation>* notes) {
  // As in fill(): the nodes are read under the lock, `keep` asked without it.
  std::set<Ino> asked;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [ino, node] : nodes_) {
      if (node.attached) asked.insert(ino);
    }
  }
  std::set<Ino> kept;
  for (Ino ino : asked) {
    if (keep && keep(ino)) kept.insert(ino);
  }

  std::lock_guard lock(mutex_);
  std::unordered_map<Ino, bool> marked;
  marked[kRootIno] = true;
  for (const auto& [ino, node] : nodes_) {
    // A node that came meanwhile was not asked about: it stays.
    if (!node.attached || (asked.count(ino) && !kept.count(ino))) continue;
    for (Ino up = ino; up && !marked[up];) {
      marked[up] = true;
      up = nodes_.at(up).parent;
    }
  }
  std::vector<std::pair<Ino, std::string>> drop;
  for (auto& [ino, node] : nodes_) {
    if (node.dir) node.complete = false;
    if (!node.attached || !marked[ino]) continue;
    for (const auto& [name, child] : node.children) {
      if (!marked[child]) drop.emplace_back(child, name);
    }
  }
  for (const auto& [child, name] : drop) {
    auto c = nodes_.find(child);
    if (c == nodes_.end()) continue;
    if (notes) notes->push_back({Invalidation::entry, c->second.parent, name});
    detachLocked(child);
  }
}

void ItemCache::lookedUp(Ino ino, std::uint64_t count) {
  std::lock_guard lock(mutex_);
  if (auto it = nodes_.find(ino); it != nodes_.end()) it->second.lookups += count;
}

bool ItemCache::forget(Ino ino, std::uint64_t count) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(ino);
  if (it == nodes_.end() || ino == kRootIno) return it == nodes_.end();
  Node& node = it->second;
  node.lookups = count >= node.lookups ? 0 : node.lookups - count;
  if (node.lookups == 0 && !node.attached) {
    nodes_.erase(it);
    return true;
  }
  return false;
}

std::size_t ItemCache::size() const {
  std::lock_guard lock(mutex_);
  return nodes_.size();
}

}  // namespace corvane::mount
