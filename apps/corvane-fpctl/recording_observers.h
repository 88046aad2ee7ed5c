// The observers corvane-fpctl hands to an enumerator. Each records every call
// it receives into a Result and lets its owner wait for the finishing call,
// which may come on any thread. Owned by the command that runs the
// enumeration, for that one call.
#pragma once

#include <condition_variable>
#include <mutex>

#include "host/observers.h"
#include "result.h"

namespace corvane::fpctl {

// Lets a command wait until its observer or handler has been finished.
class FinishLatch {
 public:
  void open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    opened_.notify_all();
  }
  void wait() {
    std::unique_lock lock(mutex_);
    opened_.wait(lock, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

class ListingObserver final : public host::EnumerationObserver {
 public:
  explicit ListingObserver(Result& result) : result_(result) {}

  void didEnumerateItems(host::ItemList items) override;
  void finishEnumeratingUpToPage(std::optional<host::Page> nextPage) override;
  void finishEnumeratingWithError(const host::Error& error) override;

  // Waits for the finishing call.
  void wait() { finished_.wait(); }

 private:
  std::mutex mutex_;
  Result& result_;
  FinishLatch finished_;
};

class ChangesObserver final : public host::ChangeObserver {
 public:
  explicit ChangesObserver(Result& result) : result_(result) {}

  void didDeleteItemsWithIdentifiers(std::vector<host::ItemIdentifier> identifiers) override;
  void didUpdateItems(host::ItemList items) override;
  void finishEnumeratingChangesUpToSyncAnchor(host::SyncAnchor anchor, bool moreComing) override;
  void finishEnumeratingWithError(const host::Error& error) override;

  void wait() { finished_.wait(); }

 private:
  std::mutex mutex_;
  Result& result_;
  FinishLatch finished_;
};

}  // namespace corvane::fpctl
