#include "corvane-mount/folder_operations.h"

#include <linux/fs.h>

#include <algorithm>
#include <cerrno>

#include "corvane-mount/errno_map.h"
#include "corvane-mount/mount_internal.h"
#include "host/item_names.h"
#include "host/item_paths.h"
#include "host/template_item.h"
#include "platform/log.h"
#include "platform/unicode.h"

namespace corvane::mount {
namespace caps = host::capabilities;
using namespace internal;

FolderOperations::FolderOperations(HostBridge& bridge, ItemCache& cache, ChangeGate& gate,
                                   Names& names, WorkingCopies& workingCopies, WriteBack& writeBack,
                                   const std::filesystem::path& journalFolder, TestHooks hooks)
    : bridge_(bridge),
      cache_(cache),
      gate_(gate),
      names_(names),
      workingCopies_(workingCopies),
      writeBack_(writeBack),
      journal_(journalFolder),
      hooks_(std::move(hooks)) {}

namespace {

// The hidden name an old file steps aside to while a new one takes its
// name: made from that name and cut to fit the folder.
std::string asideName(const std::string& folderPath, const std::string& name) {
  const std::string suffix = ".replaced-" + shortTag();
  const std::size_t room = host::nameRoomIn(folderPath);
  if (room < suffix.size() + 1) throw Refusal(ENAMETOOLONG, "no room for a name to step aside");
  return "." + std::string(platform::prefixAtCharacter(name, room - suffix.size() - 1)) + suffix;
}

}  // namespace

Attributes FolderOperations::mkdir(Ino parent, const std::string& name) {
  ChangeGate::Shared gate(gate_);
  NodeInfo p = names_.folder(parent);
  names_.requireCapability(p, caps::kAddingSubItems);
  if (names_.resolve(parent, name)) throw Refusal(EEXIST);
  names_.requireNewName(p, name, true);
  auto templ = std::make_shared<host::TemplateItem>(
      host::paths::identifier(host::paths::child(p.path, name)), p.identifier(), name,
      std::string(platform::kFolderType));
  NodeInfo n = names_.record(parent, bridge_.createItem(templ, std::nullopt));
  // The mount made it, so it holds nothing the mount does not know of.
  cache_.setComplete(n.ino, true);
  cache_.lookedUp(n.ino);
  return names_.attributesOf(names_.node(n.ino));
}

void FolderOperations::unlink(Ino parent, const std::string& name) {
  waitForWriteBacksAt(parent, name);
  ChangeGate::Shared gate(gate_);
  names_.folder(parent);
  std::optional<NodeInfo> n;
  WorkingCopies::SendingHold hold;
  for (int round = 0;; ++round) {
    n = names_.resolve(parent, name);
    if (!n) throw Refusal(ENOENT);
    if (n->dir) throw Refusal(EISDIR);
    hold.release();
    hold = workingCopies_.holdSending({*n});
    // An upload that ran before the hold may have moved the file aside.
    auto now = cache_.get(n->ino);
    if (now && now->attached && now->parent == parent && now->name == name) break;
    if (round == 3) throw Refusal(EAGAIN);
  }
  auto s = workingCopies_.state(n->ino);
  if (workingCopies_.unlinkNeverSent(n->ino, s)) return;
  names_.requireCapability(*n, caps::kDeleting);
  removeRemote(*n);
  cache_.detach(n->ino);
  workingCopies_.unlinked(*n, s);
}

void FolderOperations::rmdir(Ino parent, const std::string& name) {
  waitForWriteBacksAt(parent, name);
  ChangeGate::Shared gate(gate_);
  names_.folder(parent);
  auto n = names_.resolve(parent, name);
  if (!n) throw Refusal(ENOENT);
  if (!n->dir) throw Refusal(ENOTDIR);
  if (n->ino == kRootIno) throw Refusal(EBUSY);
  names_.requireCapability(*n, caps::kDeleting);
  requireEmpty(*n);
  removeRemote(*n);
  cache_.detach(n->ino);
}

// ---- rename

void FolderOperations::rename(Ino parent, const std::string& name, Ino newParent,
                              const std::string& newName, unsigned flags) {
  if (flags & ~static_cast<unsigned>(RENAME_NOREPLACE)) throw Refusal(EINVAL);
  // Both names must be at the engine as the user left them.
  waitForWriteBacksAt(parent, name);
  waitForWriteBacksAt(newParent, newName);
  ChangeGate::Shared gate(gate_);
  auto inos = [](const std::optional<RenameEnds>& e) {
    return std::pair(e->source.ino, e->target ? e->target->ino : Ino{0});
  };
  auto ends = checkRename(parent, name, newParent, newName, flags);
  if (!ends) return;
  WorkingCopies::SendingHold hold;
  for (int round = 0;; ++round) {
    std::vector<NodeInfo> moving{ends->source};
    if (ends->target) moving.push_back(*ends->target);
    hold.release();
    hold = workingCopies_.holdSending(moving);
    // An upload that ran before the hold may have moved either end aside.
    auto again = checkRename(parent, name, newParent, newName, flags);
    if (!again) return;
    const bool same = inos(again) == inos(ends);
    ends = std::move(again);
    if (same) break;
    if (round == 3) throw Refusal(EAGAIN);
  }
  NodeInfo source = ends->source;
  const std::optional<NodeInfo>& target = ends->target;
  if (!source.dir) {
    switch (workingCopies_.renameIfUnsent(source.ino, newParent, newName, target.has_value())) {
      case WorkingCopies::Unsent::renamed:
        return;
      case WorkingCopies::Unsent::sent:
        source = names_.node(source.ino);
        break;
      case WorkingCopies::Unsent::no:
        workingCopies_.sendBeforeMove(source);
        source = names_.node(source.ino);
        break;
    }
  } else {
    workingCopies_.sendBeforeMove(source);
  }
  if (!target) {
    moveItem(source, newParent, newName);
  } else if (target->dir) {
    replaceFolder(source, *target, newParent, newName);
  } else if (!workingCopies_.whenNeverSent(target->ino,
                                           [&] { moveItem(source, newParent, newName); })) {
    replaceFile(source, *target, newParent, newName);
  }
}

std::optional<FolderOperations::RenameEnds> FolderOperations::checkRename(
    Ino parent, const std::string& name, Ino newParent, const std::string& newName,
    unsigned flags) {
  names_.folder(parent);
  NodeInfo np = names_.folder(newParent);
  auto source = names_.resolve(parent, name);
  if (!source) throw Refusal(ENOENT);
  if (parent == newParent && name == newName) return std::nullopt;
  if (source->dir) {
    for (Ino up = newParent; up; up = names_.node(up).parent) {
      if (up == source->ino) throw Refusal(EINVAL);  // into itself
    }
  }
  if (name != newName) names_.requireCapability(*source, caps::kRenaming);
  if (parent != newParent) names_.requireCapability(*source, caps::kReparenting);
  names_.requireCapability(np, caps::kAddingSubItems);

  auto target = names_.resolve(newParent, newName);
  if (target && target->ino == source->ino)
    return std::nullopt;  // another spelling of the same name
  if (target) {
    if (flags & RENAME_NOREPLACE) throw Refusal(EEXIST);
    if (target->dir && !source->dir) throw Refusal(EISDIR);
    if (!target->dir && source->dir) throw Refusal(ENOTDIR);
    names_.requireCapability(*target, caps::kDeleting);
  }
  names_.requireNewName(np, newName, source->dir, &*source);
  return RenameEnds{*source, target};
}

void FolderOperations::replaceFolder(const NodeInfo& source, const NodeInfo& target, Ino newParent,
                                     const std::string& newName) {
  requireEmpty(target);
  removeRemote(target);
  cache_.detach(target.ino);
  moveItem(source, newParent, newName);
}

void FolderOperations::replaceFile(const NodeInfo& source, const NodeInfo& target, Ino newParent,
                                   const std::string& newName) {
  // An editor's save: the old file steps aside, the new one takes its name,
  // then the old one goes. At no moment is neither at the engine, and a
  // failure puts the old one back. The journal holds the intent meanwhile:
  // whatever stops the mount between the steps, the next run settles it.
  const NodeInfo folder = names_.node(newParent);
  ReplaceIntent intent{folder.path, newName, asideName(folder.path, newName), {}};
  if (target.item) intent.versions.push_back(target.item->itemVersion().contentVersion);
  const auto token = journal_.begin(intent);
  try {
    hook(TestHooks::ReplaceStep::recorded);
    moveItem(target, newParent, intent.aside);
  } catch (...) {
    // Whether the step happened or not, the intent tells the next look.
    journal_.abandon(token);
    throw;
  }
  NodeInfo old = names_.node(target.ino);
  try {
    hook(TestHooks::ReplaceStep::steppedAside);
  } catch (...) {
    journal_.abandon(token);
    throw;
  }
  try {
    if (old.item && std::find(intent.versions.begin(), intent.versions.end(),
                              old.item->itemVersion().contentVersion) == intent.versions.end()) {
      intent.versions.push_back(old.item->itemVersion().contentVersion);
      journal_.update(token, intent);
    }
    moveItem(source, newParent, newName);
  } catch (...) {
    try {
      moveItem(old, newParent, newName);
      journal_.finish(token);
    } catch (...) {
      logFailure("rename", old.path, std::current_exception());
      journal_.abandon(token);
    }
    throw;
  }
  try {
    hook(TestHooks::ReplaceStep::tookName);
  } catch (...) {
    journal_.abandon(token);
    throw;
  }
  try {
    removeRemote(old);
    journal_.finish(token);
  } catch (...) {
    // The new file has the name; the old one goes when the engine answers.
    logFailure("rename", old.path, std::current_exception());
    journal_.abandon(token);
  }
  cache_.detach(old.ino);
  workingCopies_.replaced(old.ino);
}

void FolderOperations::hook(TestHooks::ReplaceStep step) const {
  if (hooks_.afterReplaceStep) hooks_.afterReplaceStep(step);
}

void FolderOperations::finishInterrupted() {
  std::lock_guard lock(settleMutex_);
  for (const auto& [token, intent] : journal_.unfinished()) {
    try {
      settle(intent);
      journal_.finish(token);
      settleError_.clear();
    } catch (...) {
      reportOnce(settleError_, "rename left unfinished",
                 host::paths::child(intent.folder, intent.name), std::current_exception());
    }
  }
}

void FolderOperations::settle(const ReplaceIntent& intent) {
  const std::string asidePath = host::paths::child(intent.folder, intent.aside);
  const std::string namePath = host::paths::child(intent.folder, intent.name);
  std::shared_ptr<const host::Item> aside;
  try {
    aside = bridge_.item(host::paths::identifier(asidePath));
  } catch (const host::Error& e) {
    if (!isNoSuchItem(e)) throw;
    return;  // it never stepped aside, or it is gone already
  }
  const std::string version = aside->itemVersion().contentVersion;
  if (isFolderItem(*aside) || std::find(intent.versions.begin(), intent.versions.end(), version) ==
                                  intent.versions.end()) {
    Log::write("mount: left " + asidePath + " alone: not the file the mount moved aside there");
    return;
  }
  bool taken = true;
  try {
    bridge_.item(host::paths::identifier(namePath));
  } catch (const host::Error& e) {
    if (!isNoSuchItem(e)) throw;
    taken = false;
  }
  if (taken) {
    bridge_.deleteItem(host::paths::identifier(asidePath), aside->itemVersion());
    Log::write("mount: removed " + asidePath + ", which an unfinished rename had left");
    return;
  }
  auto back = std::make_shared<host::TemplateItem>(host::paths::identifier(asidePath),
                                                   host::paths::identifier(intent.folder),
                                                   intent.name, typeFor(intent.name));
  bridge_.modifyItem(back, aside->itemVersion(), host::fields::kFilename, std::nullopt);
  Log::write("mount: put " + asidePath + " back as " + namePath + " after an unfinished rename");
}

// ---- shared steps

void FolderOperations::waitForWriteBacksAt(Ino parent, const std::string& name) {
  if (auto known = cache_.child(parent, name)) writeBack_.waitForBelow(*known);
}

void FolderOperations::requireEmpty(const NodeInfo& folder) {
  // The engine removes a folder with everything in it: make sure that is
  // nothing, from a fresh listing rather than the cache.
  auto items = names_.refill(folder);
  if (!items.empty() || !cache_.children(folder.ino).empty()) throw Refusal(ENOTEMPTY);
}

void FolderOperations::removeRemote(const NodeInfo& n) {
  try {
    bridge_.deleteItem(n.identifier(), n.item ? n.item->itemVersion() : host::ItemVersion{});
  } catch (const host::Error& e) {
    if (!isNoSuchItem(e)) throw;  // gone already is what was asked
  }
}

void FolderOperations::moveItem(const NodeInfo& n, Ino newParent, const std::string& newName) {
  auto result = modifyNamespace(n, newParent, newName);
  cache_.move(n.ino, newParent, newName);
  if (result) cache_.setItem(n.ino, result);
  writeBack_.refreshRecords(names_.node(n.ino).path);
  // Keep the cached contents findable under the new identifier.
  workingCopies_.moved(names_.node(n.ino));
}

std::shared_ptr<const host::Item> FolderOperations::modifyNamespace(const NodeInfo& n,
                                                                    Ino newParent,
                                                                    const std::string& newName) {
  const bool renamed = n.name != newName;
  const bool moved = n.parent != newParent;
  const std::string type = n.dir ? std::string(platform::kFolderType) : typeFor(newName);
  const host::ItemVersion base = n.item ? n.item->itemVersion() : host::ItemVersion{};
  auto step = [&](const std::string& fromPath, Ino toParent, const std::string& toName,
                  host::ItemFields fields) {
    NodeInfo to = names_.node(toParent);
    auto changed = std::make_shared<host::TemplateItem>(host::paths::identifier(fromPath),
                                                        to.identifier(), toName, type);
    return bridge_.modifyItem(changed, base, fields, std::nullopt).item;
  };
  namespace f = host::fields;
  if (!renamed || !moved) {
    return step(n.path, newParent, newName, renamed ? f::kFilename : f::kParentItemIdentifier);
  }
  // The extension renames in place before it moves, so the new name must be
  // free in the old folder too; otherwise go round it.
  if (!names_.resolve(n.parent, newName)) {
    return step(n.path, newParent, newName, f::kFilename | f::kParentItemIdentifier);
  }
  const std::string newFolder = names_.node(newParent).path;
  if (!names_.resolve(newParent, n.name)) {
    step(n.path, newParent, n.name, f::kParentItemIdentifier);
    return step(host::paths::child(newFolder, n.name), newParent, newName, f::kFilename);
  }
  const std::string temp = "." + n.name + ".moving-" + shortTag();
  const std::string oldFolder = names_.node(n.parent).path;
  step(n.path, n.parent, temp, f::kFilename);
  step(host::paths::child(oldFolder, temp), newParent, temp, f::kParentItemIdentifier);
  return step(host::paths::child(newFolder, temp), newParent, newName, f::kFilename);
}

}  // namespace corvane::mount
