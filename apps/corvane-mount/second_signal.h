// SecondSignal: lets a user who does not want to wait end the mount at once.
//
// When the mount ends it sends what it has not sent yet, which may take a
// while (a large file copied just before). While a SecondSignal lives, one
// more of the stop signals ends the process at once: `onSignal` runs (to say
// what stays unsent), then the process exits with status 1. Nothing is lost
// by that: every unsent change has its record on disk already, and the next
// mount of the domain sends it.
//
// The signals must be blocked in every thread; a thread of its own waits for
// them. Owned by the mount's main, for the time of its last write-backs.
#pragma once

#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>

namespace corvane::mount {

class SecondSignal {
 public:
  SecondSignal(const sigset_t& signals, std::function<void(int signal)> onSignal);
  // Stops waiting; a signal that comes later stays pending.
  ~SecondSignal();
  SecondSignal(const SecondSignal&) = delete;
  SecondSignal& operator=(const SecondSignal&) = delete;

 private:
  const sigset_t signals_;
  const std::function<void(int)> onSignal_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace corvane::mount
