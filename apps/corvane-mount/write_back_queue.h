// WriteBackQueue: sends closed files to the engine in the background.
//
// A close hands the file's inode to the queue and returns; the workers run
// the write-back job for each inode in the order the inodes became due, as
// many at once as there are workers, but one job per inode at a time: an
// inode handed in again while its job runs is queued, and its next job
// starts after the running one ends (an inode handed in again while queued
// is queued once). A job may be handed in with
// a delay: a burst of writes (an archive unpacked, a build) then ends on the
// local disk before its uploads compete with it for the disk and the
// processors, and a file saved again meanwhile is sent once. Handing the
// inode in again restarts its delay. Operations that change names first wait
// for the jobs of the inodes they touch (waitFor), which ends their delay, so
// a file is at the engine under its old name before it is renamed or
// removed; drain() ends every delay. Owned by
// the file system (WriteBack); thread-safe: one mutex, never held while a job
// runs; waitFor() calls `matches` with it held. Jobs must not throw.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

namespace corvane::mount {

class WriteBackQueue {
 public:
  using Job = std::function<void(std::uint64_t)>;

  WriteBackQueue(std::size_t workers, Job job);
  ~WriteBackQueue();
  WriteBackQueue(const WriteBackQueue&) = delete;
  WriteBackQueue& operator=(const WriteBackQueue&) = delete;

  using Clock = std::chrono::steady_clock;

  // Queues the job for `ino` to run after `delay` (at once when zero). An
  // inode already queued keeps its place when it is due; a delayed one is
  // due `delay` from now (the earlier of the two when `delay` is zero).
  void submit(std::uint64_t ino, Clock::duration delay = Clock::duration::zero());
  // Waits until no queued or running job is for an inode `matches` accepts;
  // their delays end.
  void waitFor(const std::function<bool(std::uint64_t)>& matches);
  // Waits until the queue is empty and no job runs.
  void drain();
  // Lets running jobs finish, drops queued ones and ends the workers.
  void stop();

  std::size_t outstanding() const;

 private:
  void work();
  // Ends the delay of the queued job for `ino`. Needs `mutex_`.
  void hurry(std::uint64_t ino);
  // Moves the delayed jobs that are due to the ready queue; the time the
  // next one is due, if any. Needs `mutex_`.
  std::optional<Clock::time_point> promoteDue(Clock::time_point now);

  Job job_;
  mutable std::mutex mutex_;
  std::condition_variable available_;
  std::condition_variable finished_;
  std::deque<std::uint64_t> queue_;  // due, in the order they became due
  std::multimap<Clock::time_point, std::uint64_t> delayed_;
  std::map<std::uint64_t, std::multimap<Clock::time_point, std::uint64_t>::iterator> delayedAt_;
  std::set<std::uint64_t> queued_;  // in queue_ or delayed_
  std::multiset<std::uint64_t> running_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace corvane::mount
