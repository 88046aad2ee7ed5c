#include "enumeration/enumerator.h"

#include "diagnostics/errors.h"
#include "items/item.h"
#include "platform/log.h"
#include "platform/quoted_text.h"
#include "platform/unicode.h"

namespace corvane {
namespace {

bool isWorkingSet(const host::ItemIdentifier& container) {
  return platform::canonicallyEqual(container, host::kWorkingSetContainerItemIdentifier);
}

}  // namespace

void Enumerator::enumerateItems(host::EnumerationObserver& observer, const host::Page&) {
  if (isWorkingSet(container_)) {
    observer.finishEnumeratingUpToPage(std::nullopt);
    return;
  }
  const std::string dir = Item::path(container_);
  std::vector<Entry> entries;
  try {
    entries = engine_->list(dir);
  } catch (...) {
    auto failure = std::current_exception();
    Log::write("list " + platform::shortenedInput(dir) + ": " +
               platform::shortenedInput(Errors::describe(failure)));
    observer.finishEnumeratingWithError(Errors::map(failure));
    return;
  }
  host::ItemList items;
  items.reserve(entries.size());
  for (auto& entry : entries) {
    items.push_back(std::make_shared<const Item>(std::move(entry), scope_));
  }
  observer.didEnumerateItems(std::move(items));
  observer.finishEnumeratingUpToPage(std::nullopt);
}

void Enumerator::enumerateChanges(host::ChangeObserver& observer,
                                  const host::SyncAnchor& anchor) {
  ChangeSet set;
  try {
    set = engine_->changes(platform::decodeUTF8Lossy(anchor));
  } catch (...) {
    observer.finishEnumeratingWithError(Errors::map(std::current_exception()));
    return;
  }
  if (set.reset) {
    observer.finishEnumeratingWithError(
        host::Error::fileProvider(host::codes::kSyncAnchorExpired));
    return;
  }
  const bool everything = isWorkingSet(container_);
  const std::string containerPath = Item::path(container_);
  std::vector<host::ItemIdentifier> deleted;
  host::ItemList updated;
  if (set.changes) {
    for (auto& change : *set.changes) {
      if (!everything && !platform::canonicallyEqual(Item::parent(change.entry.path), containerPath)) {
        continue;
      }
      if (change.deleted) {
        deleted.push_back(Item::identifier(change.entry.path));
      } else {
        updated.push_back(std::make_shared<const Item>(std::move(change.entry), scope_));
      }
    }
  }
  // Deletions go first, so a path deleted and recreated in one answer ends up present.
  if (!deleted.empty()) observer.didDeleteItemsWithIdentifiers(std::move(deleted));
  if (!updated.empty()) observer.didUpdateItems(std::move(updated));
  observer.finishEnumeratingChangesUpToSyncAnchor(host::SyncAnchor(set.anchor), false);
}

void Enumerator::currentSyncAnchor(host::AnchorHandler completionHandler) {
  std::optional<host::SyncAnchor> anchor;
  try {
    anchor = host::SyncAnchor(engine_->changes("latest").anchor);
  } catch (...) {
    anchor.reset();
  }
  completionHandler(std::move(anchor));
}

}  // namespace corvane
