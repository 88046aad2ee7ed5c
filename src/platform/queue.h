// Dispatch queues of the platform.
//
// GlobalQueue: the process-wide concurrent queue for item bodies. Bodies may
// block for minutes on the network, so a blocked body never keeps another
// waiting: when no worker is idle the pool grows (up to kMaxThreads), and
// workers idle for a while retire. Work items run in no guaranteed order.
//
// SerialQueue: one worker thread running work items one at a time, first in
// first out. Used by the log.
//
// Both are thread-safe. Work items must not throw; one that does is caught and
// dropped.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace corvane::platform {

class GlobalQueue {
 public:
  static constexpr std::size_t kMaxThreads = 512;

  // The process-wide queue (made on first use, never destroyed).
  static GlobalQueue& userInitiated();

  void async(std::function<void()> work);

  // For tests and diagnostics.
  std::size_t threadCount() const;

 private:
  GlobalQueue() = default;
  void workerLoop();

  mutable std::mutex mutex_;
  std::condition_variable available_;
  std::deque<std::function<void()>> pending_;
  std::size_t threads_ = 0;
  std::size_t idle_ = 0;     // waiting workers not yet handed an item
  std::size_t wakeups_ = 0;  // hand-overs from async() not yet taken by a worker
};

class SerialQueue {
 public:
  SerialQueue();
  ~SerialQueue();  // runs what is queued, then stops the worker
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void async(std::function<void()> work);
  // Runs `work` after everything queued before it and waits for it.
  void sync(std::function<void()> work);

 private:
  void workerLoop();

  std::mutex mutex_;
  std::condition_variable available_;
  std::deque<std::function<void()>> pending_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace corvane::platform
