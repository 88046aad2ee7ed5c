#include "bucket_poller.h"

#include <exception>
#include "host_log.h"

namespace corvane::syncengine {

BucketPoller::BucketPoller(std::string name, std::chrono::milliseconds interval,
                           Callback onChanges)
    : name_(std::move(name)), interval_(interval), onChanges_(std::move(onChanges)) {}

BucketPoller::~BucketPoller() { stop(); }

void BucketPoller::start() {
  std::lock_guard lock(mutex_);
  stopping_ = false;
  thread_ = std::thread([this] { run(); });
}

void BucketPoller::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void BucketPoller::run() {
  bool failing = false;
  std::unique_lock lock(mutex_);
  while (true) {
    // Measured from the end of the last comparison: a slow listing never
    // makes the comparisons pile up.
    if (wake_.wait_for(lock, interval_, [this] { return stopping_; })) return;
    lock.unlock();
    try {
      onChanges_({ChangeTarget("", true)});
      if (failing) hostlog::info(name_ + ": listing works again");
      failing = false;
    } catch (const std::exception& e) {
      if (!failing) {
        hostlog::warning(name_ + ": cannot look for changes: " + e.what() + "; trying again");
      }
      failing = true;
    }
    lock.lock();
  }
}

}  // namespace corvane::syncengine
