// WriteBackQueue: sends closed files to the engine in the background.
//
// A close hands the file's inode to the queue and returns; a few workers run
// the write-back job for each inode, one job per inode at a time (an inode
// handed in again while queued is queued once). Operations that change names
// first wait for the jobs of the inodes they touch (waitFor), so a file is at
// the engine under its old name before it is renamed or removed. Owned by
// the file system (WriteBack); thread-safe: one mutex, never held while a job
// runs; waitFor() calls `matches` with it held. Jobs must not throw.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
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

  void submit(std::uint64_t ino);
  // Waits until no queued or running job is for an inode `matches` accepts.
  void waitFor(const std::function<bool(std::uint64_t)>& matches);
  // Waits until the queue is empty and no job runs.
  void drain();
  // Lets running jobs finish, drops queued ones and ends the workers.
  void stop();

  std::size_t outstanding() const;

 private:
  void work();

  Job job_;
  mutable std::mutex mutex_;
  std::condition_variable available_;
  std::condition_variable finished_;
  std::deque<std::uint64_t> queue_;
  std::set<std::uint64_t> queued_;
  std::multiset<std::uint64_t> running_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace corvane::mount
