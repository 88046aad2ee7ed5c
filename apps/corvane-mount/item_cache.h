// ItemCache: what the mount knows of the scope's tree, keyed both ways
// between item identifiers and inode numbers.
//
// A node stands for one item the kernel may hold: a folder or a file, with
// the host item last seen for it (none for a file the mount has made but not
// yet sent). Inode numbers are handed out once and never reused; the root is
// inode 1. A node leaves the tree (detached) when its item is deleted,
// replaced or dropped; the kernel may still hold it, so its record stays
// until the kernel forgets it. A folder is complete when its children are
// known in full (it was listed, or the mount made it), so a name missing from
// it needs no question to the engine.
//
// Pure bookkeeping: no engine calls, no I/O. Thread-safe: one mutex guards
// everything, and results are copies. It is the innermost lock but for the
// callbacks: fill() and reset() call `keep` without it (a `keep` takes locks
// that are taken before this one elsewhere), so a node that appears while
// `keep` runs is kept unasked.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/item.h"

namespace corvane::mount {

using Ino = std::uint64_t;
inline constexpr Ino kRootIno = 1;

struct NodeInfo {
  Ino ino = 0;
  Ino parent = 0;  // 0 once detached (and for the root)
  std::string name;
  std::string path;  // "" for the root
  bool dir = false;
  std::shared_ptr<const host::Item> item;  // null: a file not yet at the engine
  bool complete = false;
  bool attached = false;

  host::ItemIdentifier identifier() const;
};

// A name the kernel may have cached and must drop: the entry (parent, name),
// and/or the inode's attributes and contents.
struct Invalidation {
  enum Kind { entry, attributes, contents } kind;
  Ino ino = 0;  // entry: the parent folder
  std::string name;
  bool operator==(const Invalidation&) const = default;
};

class ItemCache {
 public:
  explicit ItemCache(std::shared_ptr<const host::Item> root);

  std::optional<NodeInfo> get(Ino ino) const;
  std::optional<NodeInfo> byIdentifier(const host::ItemIdentifier& identifier) const;
  // The attached child of that name; a name that is only canonically
  // equivalent (another Unicode normalisation) matches too.
  std::optional<NodeInfo> child(Ino parent, const std::string& name) const;
  std::vector<NodeInfo> children(Ino dir) const;

  // Adds or updates the child of `parent` named by the item's file name. A
  // child of the other kind (file against folder) is replaced by a new node.
  NodeInfo upsert(Ino parent, std::shared_ptr<const host::Item> item,
                  std::vector<Invalidation>* notes = nullptr);
  // A new file the mount made; no item yet.
  NodeInfo addLocal(Ino parent, const std::string& name);
  void setItem(Ino ino, std::shared_ptr<const host::Item> item);
  // Sets the item only while the node still has `expected` (an answer that
  // took a while must not undo a newer change applied meanwhile).
  bool replaceItem(Ino ino, const std::shared_ptr<const host::Item>& expected,
                   std::shared_ptr<const host::Item> item);
  void setComplete(Ino dir, bool complete);

  // A mark of the cache's changes so far: taken before the engine is asked
  // for a listing, it tells fill() which nodes changed while it was asked.
  std::uint64_t mark() const;

  // Makes `items` the folder's children and marks it complete. Children that
  // are missing and not kept by `keep` are detached (their entries noted).
  // A child made, moved or given an item after `listedAfter` (a mark()) is
  // newer than the listing and stays as it is.
  void fill(Ino dir, const std::vector<std::shared_ptr<const host::Item>>& items,
            const std::function<bool(Ino)>& keep, std::vector<Invalidation>* notes,
            std::uint64_t listedAfter = UINT64_MAX);

  // Detaches the node and everything below it.
  void detach(Ino ino);
  // Moves the node to (newParent, newName), renaming everything below it.
  // A node already there is detached first.
  void move(Ino ino, Ino newParent, const std::string& newName);

  // Drops all knowledge but the root and the nodes `keep` holds (with their
  // folders): everything else is detached and every folder becomes
  // incomplete. Notes the entries the kernel must drop.
  void reset(const std::function<bool(Ino)>& keep, std::vector<Invalidation>* notes);

  // Kernel reference counting.
  void lookedUp(Ino ino, std::uint64_t count = 1);
  // Returns true when the node record is gone (detached and forgotten).
  bool forget(Ino ino, std::uint64_t count);

  std::size_t size() const;

 private:
  struct Node {
    Ino parent = 0;
    std::string name;
    std::string path;
    bool dir = false;
    bool attached = false;
    bool complete = false;
    std::shared_ptr<const host::Item> item;
    std::map<std::string, Ino> children;
    std::uint64_t lookups = 0;
    std::uint64_t changed = 0;  // changes_ when it was last made, moved or given an item
  };

  NodeInfo info(Ino ino, const Node& node) const;
  Ino findChild(const Node& parent, const std::string& name) const;
  Ino create(Ino parent, const std::string& name, bool dir, std::shared_ptr<const host::Item> item);
  void detachLocked(Ino ino);
  void rekey(Ino ino, const std::string& path);

  mutable std::mutex mutex_;
  std::unordered_map<Ino, Node> nodes_;
  std::unordered_map<std::string, Ino> byPath_;
  Ino next_ = kRootIno + 1;
  std::uint64_t changes_ = 0;  // counts the changes of nodes
};

}  // namespace corvane::mount
