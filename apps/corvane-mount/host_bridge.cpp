#include "corvane-mount/host_bridge.h"

#include <future>

namespace corvane::mount {
namespace {

const host::Request kRequest{};

// A handler's answer as it crosses from the extension's thread to the
// waiting one: the value or the host error, copied, never an exception
// object shared between threads.
template <typename T>
struct Answer {
  std::optional<T> value;
  std::optional<host::Error> error;
};

template <typename T>
class Waiter {
 public:
  Waiter() : promise_(std::make_shared<std::promise<Answer<T>>>()), future_(promise_->get_future()) {}
  void succeed(T value) { promise_->set_value(Answer<T>{std::move(value), std::nullopt}); }
  void fail(host::Error error) { promise_->set_value(Answer<T>{std::nullopt, std::move(error)}); }
  // Waits for the handler; throws the host error it carried.
  T get() {
    Answer<T> answer = future_.get();
    if (answer.error) throw host::Error(*answer.error);
    return std::move(*answer.value);
  }
  std::shared_ptr<std::promise<Answer<T>>> promise() const { return promise_; }

 private:
  std::shared_ptr<std::promise<Answer<T>>> promise_;
  std::future<Answer<T>> future_;
};

host::Error unanswered() { return host::Error::fileProvider(host::codes::kServerUnreachable); }

class ListObserver final : public host::EnumerationObserver {
 public:
  void didEnumerateItems(host::ItemList batch) override {
    for (auto& item : batch) items.push_back(std::move(item));
  }
  void finishEnumeratingUpToPage(std::optional<host::Page>) override {}
  void finishEnumeratingWithError(const host::Error& e) override { error = e; }
  host::ItemList items;
  std::optional<host::Error> error;
};

class ChangesObserver final : public host::ChangeObserver {
 public:
  void didDeleteItemsWithIdentifiers(std::vector<host::ItemIdentifier> ids) override {
    for (auto& id : ids) changes.deleted.push_back(std::move(id));
  }
  void didUpdateItems(host::ItemList items) override {
    for (auto& item : items) changes.updated.push_back(std::move(item));
  }
  void finishEnumeratingChangesUpToSyncAnchor(host::SyncAnchor anchor, bool) override {
    changes.anchor = std::move(anchor);
    finished = true;
  }
  void finishEnumeratingWithError(const host::Error& e) override { error = e; }
  HostBridge::Changes changes;
  std::optional<host::Error> error;
  bool finished = false;
};

host::ChangeItemHandler changeHandler(Waiter<HostBridge::Modified>& waiter) {
  return [promise = waiter.promise()](HostBridge::ItemPtr item, host::ItemFields,
                                      bool shouldFetchContent, std::optional<host::Error> error) {
    if (error || !item) {
      promise->set_value({std::nullopt, error ? *error : unanswered()});
    } else {
      promise->set_value({HostBridge::Modified{std::move(item), shouldFetchContent}, std::nullopt});
    }
  };
}

}  // namespace

bool isNoSuchItem(const host::Error& error) {
  return error.domain == host::kFileProviderErrorDomain && error.code == host::codes::kNoSuchItem;
}

HostBridge::HostBridge(std::shared_ptr<host::ReplicatedExtension> extension)
    : extension_(std::move(extension)) {}

HostBridge::ItemPtr HostBridge::item(const host::ItemIdentifier& identifier) const {
  Waiter<ItemPtr> waiter;
  extension_->item(identifier, kRequest,
                   [promise = waiter.promise()](ItemPtr item, std::optional<host::Error> error) {
                     if (error || !item) {
                       promise->set_value({std::nullopt, error ? *error : unanswered()});
                     } else {
                       promise->set_value({std::move(item), std::nullopt});
                     }
                   });
  return waiter.get();
}

HostBridge::Fetched HostBridge::fetchContents(const host::ItemIdentifier& identifier) const {
  Waiter<Fetched> waiter;
  extension_->fetchContents(
      identifier, std::nullopt, kRequest,
      [promise = waiter.promise()](std::optional<std::filesystem::path> url, ItemPtr item,
                                   std::optional<host::Error> error) {
        if (error || !url || !item) {
          promise->set_value({std::nullopt, error ? *error : unanswered()});
        } else {
          promise->set_value({Fetched{std::move(*url), std::move(item)}, std::nullopt});
        }
      });
  return waiter.get();
}

HostBridge::ItemPtr HostBridge::createItem(
    ItemPtr itemTemplate, const std::optional<std::filesystem::path>& contents) const {
  Waiter<Modified> waiter;
  extension_->createItem(std::move(itemTemplate), host::fields::kContents | host::fields::kFilename,
                         contents, 0, kRequest, changeHandler(waiter));
  return waiter.get().item;
}

HostBridge::Modified HostBridge::modifyItem(
    ItemPtr item, const host::ItemVersion& baseVersion, host::ItemFields fields,
    const std::optional<std::filesystem::path>& contents) const {
  Waiter<Modified> waiter;
  extension_->modifyItem(std::move(item), baseVersion, fields, contents, 0, kRequest,
                         changeHandler(waiter));
  return waiter.get();
}

void HostBridge::deleteItem(const host::ItemIdentifier& identifier,
                            const host::ItemVersion& baseVersion) const {
  Waiter<bool> waiter;
  extension_->deleteItem(identifier, baseVersion, host::options::kRecursive, kRequest,
                         [promise = waiter.promise()](std::optional<host::Error> error) {
                           if (error) {
                             promise->set_value({std::nullopt, *error});
                           } else {
                             promise->set_value({true, std::nullopt});
                           }
                         });
  waiter.get();
}

host::ItemList HostBridge::list(const host::ItemIdentifier& container) const {
  auto enumerator = extension_->enumerator(container, kRequest);
  ListObserver observer;
  enumerator->enumerateItems(observer, host::Page{});
  enumerator->invalidate();
  if (observer.error) throw *observer.error;
  return std::move(observer.items);
}

HostBridge::Changes HostBridge::changes(const host::SyncAnchor& anchor) const {
  auto enumerator =
      extension_->enumerator(std::string(host::kWorkingSetContainerItemIdentifier), kRequest);
  ChangesObserver observer;
  enumerator->enumerateChanges(observer, anchor);
  enumerator->invalidate();
  if (observer.error) throw *observer.error;
  if (!observer.finished) throw host::Error::fileProvider(host::codes::kServerUnreachable);
  return std::move(observer.changes);
}

std::optional<host::SyncAnchor> HostBridge::currentAnchor() const {
  std::shared_ptr<host::Enumerator> enumerator;
  try {
    enumerator =
        extension_->enumerator(std::string(host::kWorkingSetContainerItemIdentifier), kRequest);
  } catch (...) {
    return std::nullopt;
  }
  std::optional<host::SyncAnchor> anchor;
  enumerator->currentSyncAnchor([&anchor](std::optional<host::SyncAnchor> a) { anchor = std::move(a); });
  enumerator->invalidate();
  return anchor;
}

}  // namespace corvane::mount
