// Finds the changes that other clients make to a bucket: every interval it
// asks for a comparison of the whole scope, which lists every key below the
// prefix and compares the listing with the snapshot the change log keeps
// (and keeps across restarts). A failed comparison is logged once per run of
// failures and tried again at the next interval.
//
// Made by BucketStorage, owned by ScopeService; runs one thread of its own
// between start() and stop(), on which `onChanges` is called.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "change_watcher.h"

namespace corvane::syncengine {

class BucketPoller : public ChangeWatcher {
 public:
  // `name` words the log lines ("s3 http://host bucket/prefix").
  BucketPoller(std::string name, std::chrono::milliseconds interval, Callback onChanges);
  ~BucketPoller() override;  // stops the thread
  BucketPoller(const BucketPoller&) = delete;
  BucketPoller& operator=(const BucketPoller&) = delete;

  void start() override;
  void stop() override;

 private:
  void run();

  std::string name_;
  std::chrono::milliseconds interval_;
  Callback onChanges_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace corvane::syncengine
