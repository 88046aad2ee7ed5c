// A progress object of the platform: a total and a completed unit count,
// readable and writable from any thread. Cancellation is recorded but nothing
// in the system observes it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace corvane::platform {

class Progress {
 public:
  explicit Progress(std::int64_t totalUnitCount) : total_(totalUnitCount) {}
  static std::shared_ptr<Progress> withTotalUnitCount(std::int64_t total) {
    return std::make_shared<Progress>(total);
  }

  std::int64_t totalUnitCount() const { return total_.load(); }
  std::int64_t completedUnitCount() const { return completed_.load(); }
  void setCompletedUnitCount(std::int64_t count) { completed_.store(count); }
  bool isFinished() const { return completed_.load() >= total_.load(); }
  void cancel() { cancelled_.store(true); }
  bool isCancelled() const { return cancelled_.load(); }

 private:
  std::atomic<std::int64_t> total_;
  std::atomic<std::int64_t> completed_{0};
  std::atomic<bool> cancelled_{false};
};

}  // namespace corvane::platform
