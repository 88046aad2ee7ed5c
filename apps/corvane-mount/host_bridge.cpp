#include "corvane-mount/host_bridge.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "corvane-mount/errno_map.h"
#include "diagnostics/errors.h"

namespace corvane::mount {
namespace {

using Clock = std::chrono::steady_clock;
const host::Request kRequest{};
// How often a waiting call looks whether the engine was found stalled.
constexpr auto kStallCheck = std::chrono::milliseconds(50);
// A wait after which a call doubts the engine: far longer than the engine
// takes for a lookup or a listing it knows, short beside the probe's timeout.
constexpr auto kDoubtAfter = std::chrono::milliseconds(1000);

host::Error unanswered() { return host::Error::fileProvider(host::codes::kServerUnreachable); }

// A handler's answer as it crosses from the extension's thread to the
// waiting one: the value or the host error, copied, never an exception
// object shared between threads. The first answer counts; a handler that
// answers after its caller left finds nobody waiting.
template <typename T>
class Slot {
 public:
  void succeed(T value) { finish(std::move(value), std::nullopt); }
  void fail(host::Error error) { finish(std::nullopt, std::move(error)); }

  // Waits until answered, `deadline` passed or `leave` says so; true when
  // answered. Calls `doubt` once when the wait reaches `doubtAt`.
  bool wait(Clock::time_point deadline, const std::function<bool()>& leave,
            Clock::time_point doubtAt, const std::function<void()>& doubt) {
    std::unique_lock lock(mutex_);
    while (!finished_) {
      if (leave && leave()) return false;
      const auto now = Clock::now();
      if (now >= deadline) return false;
      if (doubt && now >= doubtAt) {
        lock.unlock();
        doubt();
        lock.lock();
        doubtAt = Clock::time_point::max();
        continue;
      }
      done_.wait_until(lock, std::min({deadline, doubtAt, now + kStallCheck}));
    }
    return true;
  }
  // The answer, once wait() returned true.
  std::pair<std::optional<T>, std::optional<host::Error>> take() {
    std::lock_guard lock(mutex_);
    return {std::move(value_), std::move(error_)};
  }

 private:
  void finish(std::optional<T> value, std::optional<host::Error> error) {
    {
      std::lock_guard lock(mutex_);
      if (finished_) return;
      value_ = std::move(value);
      error_ = std::move(error);
      finished_ = true;
    }
    done_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;               // guarded by mutex_
  std::optional<T> value_;              // guarded by mutex_
  std::optional<host::Error> error_;    // guarded by mutex_
};

template <typename T>
using SlotPtr = std::shared_ptr<Slot<T>>;

// Waits for the slot as `patience` says and returns its value or throws its
// error; tells `presence` what the answer (or its absence) means.
template <typename T>
T await(Slot<T>& slot, const HostBridge::Patience& patience, EnginePresence& presence) {
  const auto deadline =
      patience.timeout ? Clock::now() + *patience.timeout : Clock::time_point::max();
  std::function<bool()> leave;
  if (patience.leavesWhenStalled) leave = [&presence] { return presence.stalled(); };
  // The poller's probes are the test themselves.
  std::function<void()> doubt;
  if (!patience.sentWhileStalled) doubt = [&presence] { presence.doubt(); };
  if (!slot.wait(deadline, leave, Clock::now() + kDoubtAfter, doubt)) {
    if (patience.timeout && Clock::now() >= deadline) {
      presence.missed(true, "no answer within " +
                                std::to_string(patience.timeout->count()) + " ms");
    }
    throw unanswered();
  }
  auto [value, error] = slot.take();
  if (error) {
    if (isEngineAway(std::make_exception_ptr(*error))) {
      presence.missed(false, describe(std::make_exception_ptr(*error)));
    } else {
      presence.answered();
    }
    throw host::Error(*error);
  }
  presence.answered();
  return std::move(*value);
}

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

host::ChangeItemHandler changeHandler(const SlotPtr<HostBridge::Modified>& slot) {
  return [slot](HostBridge::ItemPtr item, host::ItemFields, bool shouldFetchContent,
                std::optional<host::Error> error) {
    if (error || !item) {
      slot->fail(error ? *error : unanswered());
    } else {
      slot->succeed(HostBridge::Modified{std::move(item), shouldFetchContent});
    }
  };
}

// The enumerations, as plain calls that throw the host error they end with.
host::ItemList listOf(const std::shared_ptr<host::ReplicatedExtension>& extension,
                      const host::ItemIdentifier& container) {
  auto enumerator = extension->enumerator(container, kRequest);
  ListObserver observer;
  enumerator->enumerateItems(observer, host::Page{});
  enumerator->invalidate();
  if (observer.error) throw *observer.error;
  return std::move(observer.items);
}

HostBridge::Changes changesOf(const std::shared_ptr<host::ReplicatedExtension>& extension,
                              const host::SyncAnchor& anchor) {
  auto enumerator =
      extension->enumerator(std::string(host::kWorkingSetContainerItemIdentifier), kRequest);
  ChangesObserver observer;
  enumerator->enumerateChanges(observer, anchor);
  enumerator->invalidate();
  if (observer.error) throw *observer.error;
  if (!observer.finished) throw unanswered();
  return std::move(observer.changes);
}

std::optional<host::SyncAnchor> anchorOf(
    const std::shared_ptr<host::ReplicatedExtension>& extension) {
  auto enumerator =
      extension->enumerator(std::string(host::kWorkingSetContainerItemIdentifier), kRequest);
  std::optional<host::SyncAnchor> anchor;
  enumerator->currentSyncAnchor(
      [&anchor](std::optional<host::SyncAnchor> a) { anchor = std::move(a); });
  enumerator->invalidate();
  return anchor;
}

const HostBridge::Patience kLookup{false, true, std::nullopt};
const HostBridge::Patience kChange{false, false, std::nullopt};

HostBridge::Patience probe(HostBridge::Timeout timeout) { return {true, false, timeout}; }

}  // namespace

bool isNoSuchItem(const host::Error& error) {
  return error.domain == host::kFileProviderErrorDomain && error.code == host::codes::kNoSuchItem;
}

HostBridge::HostBridge(std::shared_ptr<host::ReplicatedExtension> extension)
    : extension_(std::move(extension)),
      presence_(std::make_unique<EnginePresence>()),
      probing_(std::make_shared<std::atomic<bool>>(false)) {}

void HostBridge::admit(const Patience& patience) const {
  if (!patience.sentWhileStalled && presence_->stalled()) throw unanswered();
}

template <typename T>
T HostBridge::offThread(std::function<T()> call, const Patience& patience) const {
  auto slot = std::make_shared<Slot<T>>();
  std::thread([slot, call = std::move(call)] {
    try {
      slot->succeed(call());
    } catch (...) {
      slot->fail(Errors::bridged(std::current_exception()));
    }
  }).detach();
  return await(*slot, patience, *presence_);
}

HostBridge::ItemPtr HostBridge::item(const host::ItemIdentifier& identifier) const {
  admit(kLookup);
  auto slot = std::make_shared<Slot<ItemPtr>>();
  extension_->item(identifier, kRequest, [slot](ItemPtr item, std::optional<host::Error> error) {
    if (error || !item) {
      slot->fail(error ? *error : unanswered());
    } else {
      slot->succeed(std::move(item));
    }
  });
  return await(*slot, kLookup, *presence_);
}

HostBridge::ItemPtr HostBridge::itemWithin(const host::ItemIdentifier& identifier,
                                           Timeout timeout) const {
  auto slot = std::make_shared<Slot<ItemPtr>>();
  extension_->item(identifier, kRequest, [slot](ItemPtr item, std::optional<host::Error> error) {
    if (error || !item) {
      slot->fail(error ? *error : unanswered());
    } else {
      slot->succeed(std::move(item));
    }
  });
  return await(*slot, probe(timeout), *presence_);
}

HostBridge::Fetched HostBridge::fetchContents(const host::ItemIdentifier& identifier) const {
  admit(kLookup);
  auto slot = std::make_shared<Slot<Fetched>>();
  extension_->fetchContents(
      identifier, std::nullopt, kRequest,
      [slot](std::optional<std::filesystem::path> url, ItemPtr item,
             std::optional<host::Error> error) {
        if (error || !url || !item) {
          slot->fail(error ? *error : unanswered());
        } else {
          slot->succeed(Fetched{std::move(*url), std::move(item)});
        }
      });
  return await(*slot, kLookup, *presence_);
}

HostBridge::ItemPtr HostBridge::createItem(
    ItemPtr itemTemplate, const std::optional<std::filesystem::path>& contents) const {
  admit(kChange);
  auto slot = std::make_shared<Slot<Modified>>();
  extension_->createItem(std::move(itemTemplate), host::fields::kContents | host::fields::kFilename,
                         contents, 0, kRequest, changeHandler(slot));
  return await(*slot, kChange, *presence_).item;
}

HostBridge::Modified HostBridge::modifyItem(
    ItemPtr item, const host::ItemVersion& baseVersion, host::ItemFields fields,
    const std::optional<std::filesystem::path>& contents) const {
  admit(kChange);
  auto slot = std::make_shared<Slot<Modified>>();
  extension_->modifyItem(std::move(item), baseVersion, fields, contents, 0, kRequest,
                         changeHandler(slot));
  return await(*slot, kChange, *presence_);
}

void HostBridge::deleteItem(const host::ItemIdentifier& identifier,
                            const host::ItemVersion& baseVersion) const {
  admit(kChange);
  auto slot = std::make_shared<Slot<bool>>();
  extension_->deleteItem(identifier, baseVersion, host::options::kRecursive, kRequest,
                         [slot](std::optional<host::Error> error) {
                           if (error) {
                             slot->fail(*error);
                           } else {
                             slot->succeed(true);
                           }
                         });
  await(*slot, kChange, *presence_);
}

std::optional<HostBridge::ItemPtr> HostBridge::setModificationDate(
    const host::ItemIdentifier& identifier, host::FileTime date,
    const host::ItemVersion& baseVersion) const {
  auto dates = std::dynamic_pointer_cast<host::ModificationDateSetting>(extension_);
  if (!dates) return std::nullopt;
  admit(kChange);
  auto slot = std::make_shared<Slot<ItemPtr>>();
  dates->setContentModificationDate(identifier, date, baseVersion, kRequest,
                                    [slot](ItemPtr item, std::optional<host::Error> error) {
                                      if (error || !item) {
                                        slot->fail(error ? *error : unanswered());
                                      } else {
                                        slot->succeed(std::move(item));
                                      }
                                    });
  try {
    return await(*slot, kChange, *presence_);
  } catch (const host::Error& e) {
    if (e.domain == host::kPOSIXErrorDomain && e.code == ENOTSUP) return std::nullopt;
    throw;
  }
}

host::ItemList HostBridge::list(const host::ItemIdentifier& container) const {
  admit(kLookup);
  // On a thread of its own: a listing the engine holds is given up on when
  // the poller finds it stalled.
  return offThread<host::ItemList>(
      [extension = extension_, container] { return listOf(extension, container); }, kLookup);
}

HostBridge::Changes HostBridge::changesWithin(const host::SyncAnchor& anchor,
                                              Timeout timeout) const {
  // One probe at a time: while the engine holds one, asking again only
  // leaves another thread waiting on it.
  if (probing_->exchange(true)) {
    presence_->missed(true, "an earlier request is still unanswered");
    throw unanswered();
  }
  return offThread<Changes>(
      [extension = extension_, anchor, probing = probing_] {
        struct Done {
          std::atomic<bool>& flag;
          ~Done() { flag = false; }
        } done{*probing};
        return changesOf(extension, anchor);
      },
      probe(timeout));
}

std::optional<host::SyncAnchor> HostBridge::currentAnchorWithin(Timeout timeout) const {
  if (probing_->exchange(true)) {
    presence_->missed(true, "an earlier request is still unanswered");
    return std::nullopt;
  }
  try {
    return offThread<std::optional<host::SyncAnchor>>(
        [extension = extension_, probing = probing_] {
          struct Done {
            std::atomic<bool>& flag;
            ~Done() { flag = false; }
          } done{*probing};
          auto anchor = anchorOf(extension);
          if (!anchor) throw unanswered();
          return anchor;
        },
        probe(timeout));
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace corvane::mount
