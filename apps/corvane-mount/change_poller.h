// ChangePoller: the mount's own thread for everything that is not a kernel
// request. Every interval (at least every second while the engine is away)
// it asks the file system for the engine's changes and retries write-backs
// that failed; whenever the file system queues kernel
// notifications it wakes at once and hands them to `notify` (the adapter's
// call into the kernel). Owned by the mount's main; start() once, stop()
// before the file system goes away (the destructor stops too).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "corvane-mount/mount_file_system.h"

namespace corvane::mount {

class ChangePoller {
 public:
  using Notify = std::function<void(const Invalidation&)>;

  ChangePoller(MountFileSystem& fs, std::chrono::milliseconds interval, Notify notify);
  ~ChangePoller();
  ChangePoller(const ChangePoller&) = delete;
  ChangePoller& operator=(const ChangePoller&) = delete;

  void start();
  // Waits for the thread; notifications still queued are dropped.
  void stop();
  // Polls now instead of at the next tick (tests, diagnostics).
  void pollNow();

 private:
  void run();
  void deliver();

  MountFileSystem& fs_;
  const std::chrono::milliseconds interval_;
  Notify notify_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool notesWaiting_ = false;
  bool pollRequested_ = false;
  std::thread thread_;
};

}  // namespace corvane::mount
