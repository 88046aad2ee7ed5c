#include "corvane-mount/change_poller.h"

namespace corvane::mount {
namespace {

constexpr std::chrono::milliseconds kAwayInterval{1000};

}  // namespace

ChangePoller::ChangePoller(MountFileSystem& fs, std::chrono::milliseconds interval, Notify notify)
    : fs_(fs), interval_(interval), notify_(std::move(notify)) {}

ChangePoller::~ChangePoller() { stop(); }

void ChangePoller::start() {
  fs_.setNotesListener([this] {
    {
      std::lock_guard lock(mutex_);
      notesWaiting_ = true;
    }
    wake_.notify_one();
  });
  // A request that waits long on the engine has it probed now.
  fs_.presence().setProber([this] { pollNow(); });
  thread_ = std::thread([this] { run(); });
}

void ChangePoller::stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_ && !thread_.joinable()) return;
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
  fs_.presence().setProber({});
  fs_.setNotesListener({});
}

void ChangePoller::pollNow() {
  {
    std::lock_guard lock(mutex_);
    pollRequested_ = true;
  }
  wake_.notify_one();
}

void ChangePoller::deliver() {
  for (const auto& note : fs_.takeNotes()) {
    if (notify_) notify_(note);
  }
}

void ChangePoller::run() {
  auto next = std::chrono::steady_clock::now();
  for (;;) {
    bool poll = false;
    {
      std::unique_lock lock(mutex_);
      wake_.wait_until(lock, next, [this] { return stopping_ || notesWaiting_ || pollRequested_; });
      if (stopping_) return;
      notesWaiting_ = false;
      if (pollRequested_ || std::chrono::steady_clock::now() >= next) {
        poll = true;
        pollRequested_ = false;
      }
    }
    if (poll) {
      bool more = fs_.pollOnce();
      deliver();
      fs_.retryPending();
      // An engine that went away is looked for more often, so the mount
      // catches up soon after it is back.
      const auto wait = fs_.engineAway() ? std::min(interval_, kAwayInterval) : interval_;
      next = more ? std::chrono::steady_clock::now() : std::chrono::steady_clock::now() + wait;
    }
    deliver();
  }
}

}  // namespace corvane::mount
