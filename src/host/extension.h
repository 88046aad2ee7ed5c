// What the system implements for the host: the replicated extension with its
// entry points, and the enumerator. Asynchronous entry points return a
// progress object at once and call their handler exactly once, on a
// background thread. Enumerator calls run on the caller's thread.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "host/error.h"
#include "host/identifiers.h"
#include "host/item.h"
#include "host/observers.h"
#include "host/types.h"
#include "platform/progress.h"

namespace corvane::host {

using ItemHandler = std::function<void(std::shared_ptr<const Item>, std::optional<Error>)>;
using FetchHandler = std::function<void(std::optional<std::filesystem::path>,
                                        std::shared_ptr<const Item>, std::optional<Error>)>;
using ChangeItemHandler = std::function<void(std::shared_ptr<const Item>, ItemFields pendingFields,
                                             bool shouldFetchContent, std::optional<Error>)>;
using DeleteHandler = std::function<void(std::optional<Error>)>;
using AnchorHandler = std::function<void(std::optional<SyncAnchor>)>;

using ProgressPtr = std::shared_ptr<platform::Progress>;

class Enumerator {
 public:
  virtual ~Enumerator() = default;
  virtual void invalidate() = 0;
  virtual void enumerateItems(EnumerationObserver& observer, const Page& page) = 0;
  virtual void enumerateChanges(ChangeObserver& observer, const SyncAnchor& anchor) = 0;
  virtual void currentSyncAnchor(AnchorHandler completionHandler) = 0;
};

class ReplicatedExtension {
 public:
  virtual ~ReplicatedExtension() = default;

  virtual void invalidate() = 0;

  virtual ProgressPtr item(const ItemIdentifier& identifier, const Request& request,
                           ItemHandler completionHandler) = 0;

  virtual ProgressPtr fetchContents(const ItemIdentifier& identifier,
                                    const std::optional<ItemVersion>& requestedVersion,
                                    const Request& request, FetchHandler completionHandler) = 0;

  // `itemTemplate` is read on the background queue: the host keeps it alive
  // until the handler has been called (the shared pointer does that).
  virtual ProgressPtr createItem(std::shared_ptr<const Item> itemTemplate, ItemFields fields,
                                 const std::optional<std::filesystem::path>& contents,
                                 CreateItemOptions options, const Request& request,
                                 ChangeItemHandler completionHandler) = 0;

  virtual ProgressPtr modifyItem(std::shared_ptr<const Item> item, const ItemVersion& baseVersion,
                                 ItemFields changedFields,
                                 const std::optional<std::filesystem::path>& contents,
                                 ModifyItemOptions options, const Request& request,
                                 ChangeItemHandler completionHandler) = 0;

  virtual ProgressPtr deleteItem(const ItemIdentifier& identifier, const ItemVersion& baseVersion,
                                 DeleteItemOptions options, const Request& request,
                                 DeleteHandler completionHandler) = 0;

  // Throws host::Error when no enumerator can be made for the container.
  virtual std::shared_ptr<Enumerator> enumerator(const ItemIdentifier& containerItemIdentifier,
                                                 const Request& request) = 0;
};

}  // namespace corvane::host
