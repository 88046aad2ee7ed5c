#include "platform/queue.h"

#include <chrono>
#include <utility>

namespace corvane::platform {
namespace {

// A worker with nothing to do for this long gives its thread back.
constexpr auto kIdleLifetime = std::chrono::seconds(10);

void runDroppingExceptions(std::function<void()>& work) {
  try {
    work();
  } catch (...) {
    // Work items promise not to throw; one that does must not take the worker down.
  }
  work = nullptr;  // captures are released outside the queue's lock
}

}  // namespace

GlobalQueue& GlobalQueue::userInitiated() {
  // Never destroyed: detached workers may still touch it while the process exits.
  static GlobalQueue* const queue = new GlobalQueue();
  return *queue;
}

void GlobalQueue::async(std::function<void()> work) {
  std::unique_lock lock(mutex_);
  pending_.push_back(std::move(work));
  if (idle_ > 0) {
    // The idle worker is counted as busy from now on, so a second submission
    // before it wakes starts another thread instead of queueing behind this one.
    --idle_;
    ++wakeups_;
    available_.notify_one();
    return;
  }
  if (threads_ >= kMaxThreads) return;  // a busy worker takes it when it finishes
  ++threads_;
  try {
    std::thread([this] { workerLoop(); }).detach();
  } catch (...) {
    --threads_;
    if (threads_ == 0) {
      pending_.pop_back();
      throw;
    }
    // Another worker exists and will reach the item once it is free.
  }
}

std::size_t GlobalQueue::threadCount() const {
  std::lock_guard lock(mutex_);
  return threads_;
}

void GlobalQueue::workerLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    while (!pending_.empty()) {
      std::function<void()> work = std::move(pending_.front());
      pending_.pop_front();
      lock.unlock();
      runDroppingExceptions(work);
      lock.lock();
    }
    ++idle_;
    const bool woken = available_.wait_for(lock, kIdleLifetime, [this] { return wakeups_ > 0; });
    if (woken) {
      --wakeups_;  // async() already took this worker off the idle count
      continue;
    }
    --idle_;
    --threads_;
    return;
  }
}

SerialQueue::SerialQueue() : worker_([this] { workerLoop(); }) {}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  available_.notify_one();
  worker_.join();
}

void SerialQueue::async(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(work));
  }
  available_.notify_one();
}

void SerialQueue::sync(std::function<void()> work) {
  std::mutex doneMutex;
  std::condition_variable doneSignal;
  bool done = false;
  async([&] {
    runDroppingExceptions(work);
    std::lock_guard lock(doneMutex);
    done = true;
    doneSignal.notify_one();
  });
  std::unique_lock lock(doneMutex);
  doneSignal.wait(lock, [&] { return done; });
}

void SerialQueue::workerLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    available_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
    if (pending_.empty()) return;  // stopping, and everything queued has run
    std::function<void()> work = std::move(pending_.front());
    pending_.pop_front();
    lock.unlock();
    runDroppingExceptions(work);
    lock.lock();
  }
}

}  // namespace corvane::platform
