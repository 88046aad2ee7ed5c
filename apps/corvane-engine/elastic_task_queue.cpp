#include "elastic_task_queue.h"

#include <thread>
#include "host_log.h"

namespace corvane::syncengine {

ElasticTaskQueue::~ElasticTaskQueue() { shutdown(); }

void ElasticTaskQueue::enqueue(std::function<void()> task) {
  std::unique_lock lock(mutex_);
  tasks_.push_back(std::move(task));
  // Idle workers may already be promised to earlier tasks still in the queue.
  if (idle_ < tasks_.size() && threads_ < maxThreads_) {
    ++threads_;
    try {
      std::thread([this] { work(); }).detach();
    } catch (const std::system_error& e) {
      --threads_;
      hostlog::error(std::string("cannot start a worker thread: ") + e.what());
    }
  }
  available_.notify_one();
}

void ElasticTaskQueue::shutdown() {
  std::unique_lock lock(mutex_);
  shutdown_ = true;
  available_.notify_all();
  ended_.wait(lock, [this] { return threads_ == 0; });
}

void ElasticTaskQueue::work() {
  std::unique_lock lock(mutex_);
  while (true) {
    ++idle_;
    const bool ready =
        available_.wait_for(lock, kIdleLifetime, [this] { return !tasks_.empty() || shutdown_; });
    --idle_;
    if (!ready || (tasks_.empty() && shutdown_)) break;
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    try {
      task();
    } catch (...) {
      // A connection's task never throws by design; losing one must not end the pool.
    }
    lock.lock();
  }
  --threads_;
  if (threads_ == 0) ended_.notify_all();
}

}  // namespace corvane::syncengine
