// Finds the changes that other clients make to a bucket, at a cost that
// follows what hosts look at rather than the bucket's size:
//   - the watched folders, those a host listed or changed something in
//     within the last `watchFor`, are listed (with a delimiter) every
//     `poll` and compared with the snapshot: a change there shows within a
//     poll;
//   - the whole prefix is compared once every `fullScan`, one page of keys
//     at a time against the snapshot on disk, the pages spread over the
//     interval. How far it went is kept in the change log, so that a
//     restart goes on from there; a new log's first comparison runs at once
//     and takes in what is there without logging it.
// A failed listing is logged once per run of failures and tried again at
// the next poll.
//
// The change source of a bucket scope; one that the store pushes could take
// its place behind ChangeWatcher. Made by BucketStorage, owned by
// ScopeService; runs one thread of its own between start() and stop(), on
// which `onChanges` is called. interestIn() may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "change_watcher.h"

namespace corvane::syncengine {

class BucketStorage;

// How a bucket is watched for others' changes.
struct BucketWatch {
  std::chrono::milliseconds poll{10'000};         // watched folders listed this often
  std::chrono::milliseconds watchFor{600'000};    // a folder watched this long after interest
  std::chrono::milliseconds fullScan{3'600'000};  // the whole prefix compared this often
  int pageKeys = 1000;                            // keys per page of that comparison
};

class BucketPoller : public ChangeWatcher {
 public:
  // `storage` outlives the poller and keeps its times in a log already.
  BucketPoller(const BucketStorage& storage, BucketWatch watch, Callback onChanges);
  ~BucketPoller() override;  // stops the thread
  BucketPoller(const BucketPoller&) = delete;
  BucketPoller& operator=(const BucketPoller&) = delete;

  void start() override;
  void stop() override;
  void interestIn(const std::string& path) override;
  bool catchesUp() const override { return true; }

 private:
  using Clock = std::chrono::steady_clock;
  void run();
  // Lists and compares every watched folder; forgets those watched too long
  // ago.
  void pollWatched();
  // Compares the next page of the whole prefix; returns when the next one
  // is due.
  Clock::time_point scanStep();
  // When the next comparison of the whole prefix begins, from what the log
  // kept.
  Clock::time_point firstScan();
  void keep(const std::string& name, const std::optional<std::string>& value);
  std::optional<std::string> kept(const std::string& name);
  // Runs one comparison; false (logged once per run of failures) when it
  // failed.
  bool attempt(const std::vector<ChangeTarget>& targets);

  const BucketStorage& storage_;
  BucketWatch watch_;
  Callback onChanges_;
  std::string name_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;                     // guarded by mutex_
  std::map<std::string, Clock::time_point> watched_;  // folder -> last interest; by mutex_
  std::thread thread_;
  bool failing_ = false;  // the poller's thread only
  // The comparison of the whole prefix, the poller's thread only: where it
  // is (nothing between two of them), the pages it took so far and the last
  // time.
  std::optional<std::string> scanAfter_;
  std::int64_t scanPages_ = 0;
  std::int64_t lastScanPages_ = 0;
};

}  // namespace corvane::syncengine
