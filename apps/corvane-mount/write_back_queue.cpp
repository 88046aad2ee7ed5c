#include "corvane-mount/write_back_queue.h"

namespace corvane::mount {

WriteBackQueue::WriteBackQueue(std::size_t workers, Job job) : job_(std::move(job)) {
  for (std::size_t i = 0; i < workers; ++i) workers_.emplace_back([this] { work(); });
}

WriteBackQueue::~WriteBackQueue() { stop(); }

void WriteBackQueue::submit(std::uint64_t ino) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || !queued_.insert(ino).second) return;
    queue_.push_back(ino);
  }
  available_.notify_one();
}

void WriteBackQueue::work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    // The next inode whose job is not already running (one job per inode).
    auto next = queue_.end();
    available_.wait(lock, [&] {
      if (stopping_) return true;
      for (next = queue_.begin(); next != queue_.end(); ++next) {
        if (!running_.count(*next)) return true;
      }
      return false;
    });
    if (stopping_) return;
    std::uint64_t ino = *next;
    queue_.erase(next);
    queued_.erase(ino);
    running_.insert(ino);
    lock.unlock();
    job_(ino);
    lock.lock();
    running_.erase(running_.find(ino));
    // Only a job for this inode can have waited for it, and this worker
    // takes it next itself: waking the idle ones would only cost switches.
    finished_.notify_all();
  }
}

void WriteBackQueue::waitFor(const std::function<bool(std::uint64_t)>& matches) {
  std::unique_lock lock(mutex_);
  finished_.wait(lock, [&] {
    if (stopping_) return true;
    for (auto ino : queued_) {
      if (matches(ino)) return false;
    }
    for (auto ino : running_) {
      if (matches(ino)) return false;
    }
    return true;
  });
}

void WriteBackQueue::drain() {
  std::unique_lock lock(mutex_);
  finished_.wait(lock, [&] { return stopping_ || (queued_.empty() && running_.empty()); });
}

void WriteBackQueue::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    queue_.clear();
    queued_.clear();
  }
  available_.notify_all();
  finished_.notify_all();
  for (auto& t : workers_) {
    if (t.joinable()) t.join();
  }
  workers_.clear();
}

std::size_t WriteBackQueue::outstanding() const {
  std::lock_guard lock(mutex_);
  return queued_.size() + running_.size();
}

}  // namespace corvane::mount
