#include "recording_observers.h"

namespace corvane::fpctl {

void ListingObserver::didEnumerateItems(host::ItemList items) {
  std::lock_guard lock(mutex_);
  ++result_.batches;
  for (auto& item : items) result_.items.push_back(std::move(item));
}

void ListingObserver::finishEnumeratingUpToPage(std::optional<host::Page> nextPage) {
  {
    std::lock_guard lock(mutex_);
    result_.nextPage = std::move(nextPage);
  }
  finished_.open();
}

void ListingObserver::finishEnumeratingWithError(const host::Error& error) {
  {
    std::lock_guard lock(mutex_);
    result_.error = error;
  }
  finished_.open();
}

void ChangesObserver::didDeleteItemsWithIdentifiers(std::vector<host::ItemIdentifier> identifiers) {
  std::lock_guard lock(mutex_);
  result_.order.emplace_back("deleted");
  for (auto& id : identifiers) result_.deletedIdentifiers.push_back(std::move(id));
}

void ChangesObserver::didUpdateItems(host::ItemList items) {
  std::lock_guard lock(mutex_);
  result_.order.emplace_back("updated");
  for (auto& item : items) result_.updatedItems.push_back(std::move(item));
}

void ChangesObserver::finishEnumeratingChangesUpToSyncAnchor(host::SyncAnchor anchor,
                                                             bool moreComing) {
  {
    std::lock_guard lock(mutex_);
    result_.anchor = std::move(anchor);
    result_.moreComing = moreComing;
  }
  finished_.open();
}

void ChangesObserver::finishEnumeratingWithError(const host::Error& error) {
  {
    std::lock_guard lock(mutex_);
    result_.error = error;
  }
  finished_.open();
}

}  // namespace corvane::fpctl
