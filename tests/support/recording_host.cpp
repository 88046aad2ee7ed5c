#include "support/recording_host.h"

#include <gtest/gtest.h>

namespace corvane::testing {

std::size_t RecordingHost::nextSlot() {
  std::lock_guard lock(mutex_);
  progresses_.push_back(nullptr);
  tracked_.push_back(trackNext_);
  return progresses_.size() - 1;
}

void RecordingHost::track(const host::ProgressPtr& progress) {
  std::lock_guard lock(mutex_);
  // The latest handler made without a progress gets this one.
  for (std::size_t i = 0; i < progresses_.size(); ++i) {
    if (tracked_[i] && !progresses_[i]) {
      progresses_[i] = progress;
      break;
    }
  }
  changed_.notify_all();
}

void RecordingHost::record(Completion c, std::size_t slot) {
  c.thread = std::this_thread::get_id();
  std::unique_lock lock(mutex_);
  // The entry point returns the progress just after submitting; give it a
  // moment to be tracked so the handler can read it.
  if (tracked_[slot]) {
    changed_.wait_for(lock, std::chrono::seconds(5), [&] { return progresses_[slot] != nullptr; });
  }
  if (progresses_[slot]) c.progressDuringHandler = progresses_[slot]->completedUnitCount();
  completions_.push_back(std::move(c));
  changed_.notify_all();
}

host::ItemHandler RecordingHost::itemHandler() {
  auto slot = nextSlot();
  return [this, slot](std::shared_ptr<const host::Item> item, std::optional<host::Error> error) {
    Completion c;
    c.item = std::move(item);
    c.error = std::move(error);
    record(std::move(c), slot);
  };
}

host::FetchHandler RecordingHost::fetchHandler() {
  auto slot = nextSlot();
  return [this, slot](std::optional<std::filesystem::path> url,
                      std::shared_ptr<const host::Item> item, std::optional<host::Error> error) {
    Completion c;
    c.url = std::move(url);
    c.item = std::move(item);
    c.error = std::move(error);
    record(std::move(c), slot);
  };
}

host::PartialFetchHandler RecordingHost::partialFetchHandler() {
  auto slot = nextSlot();
  return [this, slot](std::optional<std::filesystem::path> url,
                      std::shared_ptr<const host::Item> item, host::ByteRange range,
                      host::MaterializationFlags flags, std::optional<host::Error> error) {
    Completion c;
    c.url = std::move(url);
    c.item = std::move(item);
    c.range = range;
    c.flags = flags;
    c.error = std::move(error);
    record(std::move(c), slot);
  };
}

host::ChangeItemHandler RecordingHost::changeHandler() {
  auto slot = nextSlot();
  return [this, slot](std::shared_ptr<const host::Item> item, host::ItemFields pending,
                      bool shouldFetch, std::optional<host::Error> error) {
    Completion c;
    c.item = std::move(item);
    c.pendingFields = pending;
    c.shouldFetchContent = shouldFetch;
    c.error = std::move(error);
    record(std::move(c), slot);
  };
}

host::DeleteHandler RecordingHost::deleteHandler() {
  auto slot = nextSlot();
  return [this, slot](std::optional<host::Error> error) {
    Completion c;
    c.error = std::move(error);
    record(std::move(c), slot);
  };
}

std::vector<Completion> RecordingHost::waitFor(std::size_t count,
                                               std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  bool done = changed_.wait_for(lock, timeout, [&] { return completions_.size() >= count; });
  EXPECT_TRUE(done) << "waited for " << count << " completions, got " << completions_.size();
  return completions_;
}

std::size_t RecordingHost::count() const {
  std::lock_guard lock(mutex_);
  return completions_.size();
}

Completion RecordingHost::call(const std::function<host::ProgressPtr(RecordingHost&)>& start) {
  const std::size_t before = count();
  {
    std::lock_guard lock(mutex_);
    trackNext_ = true;
  }
  auto progress = start(*this);
  {
    std::lock_guard lock(mutex_);
    trackNext_ = false;
  }
  track(progress);
  auto all = waitFor(before + 1);
  // The runner completes the progress right after the handler returns.
  for (int i = 0; i < 2000 && progress->completedUnitCount() != 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(progress->completedUnitCount(), 1);
  EXPECT_EQ(progress->totalUnitCount(), 1);
  return all.size() > before ? all[before] : Completion{};
}

void RecordingEnumerationObserver::didEnumerateItems(host::ItemList items) {
  calls.push_back({ObserverCall::didEnumerateItems, std::move(items), {}, {}, {}, {}, false,
                   std::this_thread::get_id()});
}
void RecordingEnumerationObserver::finishEnumeratingUpToPage(std::optional<host::Page> page) {
  calls.push_back({ObserverCall::finishUpToPage, {}, {}, std::move(page), {}, {}, false,
                   std::this_thread::get_id()});
}
void RecordingEnumerationObserver::finishEnumeratingWithError(const host::Error& error) {
  calls.push_back({ObserverCall::finishWithError, {}, {}, {}, error, {}, false,
                   std::this_thread::get_id()});
}
host::ItemList RecordingEnumerationObserver::items() const {
  host::ItemList all;
  for (auto& c : calls) all.insert(all.end(), c.items.begin(), c.items.end());
  return all;
}

void RecordingChangeObserver::didDeleteItemsWithIdentifiers(std::vector<host::ItemIdentifier> ids) {
  calls.push_back({ObserverCall::didDelete, {}, std::move(ids), {}, {}, {}, false,
                   std::this_thread::get_id()});
}
void RecordingChangeObserver::didUpdateItems(host::ItemList items) {
  calls.push_back({ObserverCall::didUpdate, std::move(items), {}, {}, {}, {}, false,
                   std::this_thread::get_id()});
}
void RecordingChangeObserver::finishEnumeratingChangesUpToSyncAnchor(host::SyncAnchor anchor,
                                                                     bool moreComing) {
  calls.push_back({ObserverCall::finishChanges, {}, {}, {}, {}, std::move(anchor), moreComing,
                   std::this_thread::get_id()});
}
void RecordingChangeObserver::finishEnumeratingWithError(const host::Error& error) {
  calls.push_back({ObserverCall::finishWithError, {}, {}, {}, error, {}, false,
                   std::this_thread::get_id()});
}

std::filesystem::path FakeManager::temporaryDirectoryURL() {
  ++lookups;
  if (!folder_) {
    throw host::Error("NSCocoaErrorDomain", 4, {{"NSLocalizedDescription", "no temporary folder"}});
  }
  std::filesystem::create_directories(*folder_);
  return *folder_;
}

}  // namespace corvane::testing
