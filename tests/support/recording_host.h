// A host stand-in for tests: handlers and observers that record every call
// with the thread it came on, templates for creation and modification, and a
// manager with a scriptable temporary folder.
#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/extension.h"
#include "host/manager.h"
#include "host/partial_contents.h"
#include "host/template_item.h"

namespace corvane::testing {

// One completion handler call, whatever the entry point.
struct Completion {
  std::thread::id thread;
  std::shared_ptr<const host::Item> item;
  std::optional<std::filesystem::path> url;
  host::ItemFields pendingFields = 0;
  bool shouldFetchContent = false;
  // Partial fetches: the delivered range and the flags.
  host::ByteRange range{-1, -1};
  host::MaterializationFlags flags = 0;
  std::optional<host::Error> error;
  // The request's progress as the handler saw it (completed units).
  std::int64_t progressDuringHandler = -1;
};

// Collects the completions of any number of requests. Each handler()
// call makes the handler of one request.
class RecordingHost {
 public:
  host::ItemHandler itemHandler();
  host::FetchHandler fetchHandler();
  host::PartialFetchHandler partialFetchHandler();
  host::ChangeItemHandler changeHandler();
  host::DeleteHandler deleteHandler();

  // Hands the progress of the latest request to its handler's record.
  void track(const host::ProgressPtr& progress);

  // Waits until `count` completions have arrived (fails the test after `timeout`).
  std::vector<Completion> waitFor(std::size_t count,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // The single completion of a single request.
  Completion waitForOne() { return waitFor(1).at(0); }
  std::size_t count() const;

  // Submits one request through `start` and waits for its completion; also
  // checks that the progress reads 1 of 1 shortly after.
  Completion call(const std::function<host::ProgressPtr(RecordingHost&)>& start);

 private:
  void record(Completion c, std::size_t slot);
  std::size_t nextSlot();

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Completion> completions_;
  std::vector<host::ProgressPtr> progresses_;
  std::vector<bool> tracked_;  // whose handler waits for its progress
  bool trackNext_ = false;
};

// Observer calls, in order, for listings and change enumerations.
struct ObserverCall {
  enum Kind { didEnumerateItems, finishUpToPage, finishWithError, didDelete, didUpdate,
              finishChanges } kind;
  host::ItemList items;
  std::vector<host::ItemIdentifier> identifiers;
  std::optional<host::Page> page;
  std::optional<host::Error> error;
  host::SyncAnchor anchor;
  bool moreComing = false;
  std::thread::id thread;
};

class RecordingEnumerationObserver : public host::EnumerationObserver {
 public:
  void didEnumerateItems(host::ItemList items) override;
  void finishEnumeratingUpToPage(std::optional<host::Page> nextPage) override;
  void finishEnumeratingWithError(const host::Error& error) override;
  std::vector<ObserverCall> calls;
  // All items of all batches.
  host::ItemList items() const;
};

class RecordingChangeObserver : public host::ChangeObserver {
 public:
  void didDeleteItemsWithIdentifiers(std::vector<host::ItemIdentifier> identifiers) override;
  void didUpdateItems(host::ItemList items) override;
  void finishEnumeratingChangesUpToSyncAnchor(host::SyncAnchor anchor, bool moreComing) override;
  void finishEnumeratingWithError(const host::Error& error) override;
  std::vector<ObserverCall> calls;
};

// A template or changed item as the host hands it in.
using TemplateItem = host::TemplateItem;

// A manager whose folder lookup returns `folder`, or throws when it is empty.
class FakeManager : public host::Manager {
 public:
  explicit FakeManager(std::optional<std::filesystem::path> folder) : folder_(std::move(folder)) {}
  std::filesystem::path temporaryDirectoryURL() override;
  std::atomic<int> lookups{0};

 private:
  std::optional<std::filesystem::path> folder_;
};

}  // namespace corvane::testing
