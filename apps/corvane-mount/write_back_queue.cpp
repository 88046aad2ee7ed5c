#include "corvane-mount/write_back_queue.h"

namespace corvane::mount {

WriteBackQueue::WriteBackQueue(std::size_t workers, Job job) : job_(std::move(job)) {
  for (std::size_t i = 0; i < workers; ++i) workers_.emplace_back([this] { work(); });
}

WriteBackQueue::~WriteBackQueue() { stop(); }

void WriteBackQueue::submit(std::uint64_t ino, Clock::duration delay) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    const bool fresh = queued_.insert(ino).second;
    auto at = delayedAt_.find(ino);
    if (!fresh && at == delayedAt_.end()) return;  // due already
    if (delay <= Clock::duration::zero()) {
      if (!fresh) {
        hurry(ino);
      } else {
        queue_.push_back(ino);
      }
    } else {
      if (!fresh) delayed_.erase(at->second);
      const auto due = Clock::now() + delay;
      const bool earliest = delayed_.empty() || due < delayed_.begin()->first;
      delayedAt_[ino] = delayed_.emplace(due, ino);
      // Sleeping workers already wake for an earlier one.
      if (!earliest) return;
    }
  }
  available_.notify_one();
}

void WriteBackQueue::hurry(std::uint64_t ino) {
  auto at = delayedAt_.find(ino);
  if (at == delayedAt_.end()) return;
  delayed_.erase(at->second);
  delayedAt_.erase(at);
  queue_.push_back(ino);
  available_.notify_one();
}

std::optional<WriteBackQueue::Clock::time_point> WriteBackQueue::promoteDue(
    Clock::time_point now) {
  bool promoted = false;
  while (!delayed_.empty() && delayed_.begin()->first <= now) {
    const std::uint64_t ino = delayed_.begin()->second;
    delayed_.erase(delayed_.begin());
    delayedAt_.erase(ino);
    queue_.push_back(ino);
    promoted = true;
  }
  // Only the worker that sleeps until the earliest due time wakes for it;
  // the others sleep without a deadline. Without this, a burst of delayed
  // files (an archive unpacked) would be sent by that one worker, one file
  // after another.
  if (promoted) available_.notify_all();
  if (delayed_.empty()) return std::nullopt;
  return delayed_.begin()->first;
}

void WriteBackQueue::work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    // The next inode whose job is not already running (one job per inode).
    auto next = queue_.end();
    for (;;) {
      if (stopping_) return;
      auto wake = promoteDue(Clock::now());
      for (next = queue_.begin(); next != queue_.end(); ++next) {
        if (!running_.count(*next)) break;
      }
      if (next != queue_.end()) break;
      if (wake) {
        available_.wait_until(lock, *wake);
      } else {
        available_.wait(lock);
      }
    }
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
    bool waiting = false;
    for (auto ino : queued_) {
      if (!matches(ino)) continue;
      hurry(ino);
      waiting = true;
    }
    if (waiting) return false;
    for (auto ino : running_) {
      if (matches(ino)) return false;
    }
    return true;
  });
}

void WriteBackQueue::drain() {
  std::unique_lock lock(mutex_);
  finished_.wait(lock, [&] {
    if (stopping_) return true;
    if (!delayed_.empty()) {
      promoteDue(Clock::time_point::max());
      available_.notify_all();
    }
    return queued_.empty() && running_.empty();
  });
}

void WriteBackQueue::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    queue_.clear();
    delayed_.clear();
    delayedAt_.clear();
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
