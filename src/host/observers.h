// The observers the host passes to an enumerator. Every listing ends with
// exactly one finishing call; so does every change enumeration.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "host/error.h"
#include "host/item.h"
#include "host/types.h"

namespace corvane::host {

using ItemList = std::vector<std::shared_ptr<const Item>>;

class EnumerationObserver {
 public:
  virtual ~EnumerationObserver() = default;
  virtual void didEnumerateItems(ItemList items) = 0;
  virtual void finishEnumeratingUpToPage(std::optional<Page> nextPage) = 0;
  virtual void finishEnumeratingWithError(const Error& error) = 0;
};

class ChangeObserver {
 public:
  virtual ~ChangeObserver() = default;
  virtual void didDeleteItemsWithIdentifiers(std::vector<ItemIdentifier> identifiers) = 0;
  virtual void didUpdateItems(ItemList items) = 0;
  virtual void finishEnumeratingChangesUpToSyncAnchor(SyncAnchor anchor, bool moreComing) = 0;
  virtual void finishEnumeratingWithError(const Error& error) = 0;
};

}  // namespace corvane::host
