// The HTTP server's worker pool. cpp-httplib serves each connection on one
// worker for as long as the connection lives, keep-alive waits included, so a
// fixed pool lets idle or stalled clients starve everyone else. This pool
// starts a new worker whenever none is idle (up to its maximum, which the
// server sets above its connection limit so that even a refusal never waits
// for a worker) and lets workers that stayed idle for a while end.
//
// Owned by the EngineServer's httplib::Server, which creates it on listen and
// shuts it down when listening ends. Thread-safe.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace corvane::syncengine {

class ElasticTaskQueue : public httplib::TaskQueue {
 public:
  static constexpr auto kIdleLifetime = std::chrono::seconds(30);

  explicit ElasticTaskQueue(std::size_t maxThreads) : maxThreads_(maxThreads) {}
  ~ElasticTaskQueue() override;

  void enqueue(std::function<void()> task) override;
  // Runs what is queued, then waits until every worker has ended.
  void shutdown() override;

 private:
  void work();

  const std::size_t maxThreads_;
  std::mutex mutex_;
  std::condition_variable available_;
  std::condition_variable ended_;
  std::deque<std::function<void()>> tasks_;
  std::size_t threads_ = 0;
  std::size_t idle_ = 0;
  bool shutdown_ = false;
};

}  // namespace corvane::syncengine
