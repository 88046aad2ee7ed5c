#include "s3/store_health.h"

#include "host_log.h"

namespace corvane::s3 {
namespace {

std::string secondsText(std::chrono::steady_clock::duration d) {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(d).count()) + " s";
}

}  // namespace

StoreHealth::StoreHealth(std::string store, std::chrono::milliseconds silenceLimit,
                         Listener listener)
    : store_(std::move(store)), silenceLimit_(silenceLimit), listener_(std::move(listener)) {}

void StoreHealth::begin() {
  std::lock_guard lock(mutex_);
  // Silence counts only while someone waits.
  if (waiting_++ == 0) quietSince_ = Clock::now();
}

void StoreHealth::end() {
  std::lock_guard lock(mutex_);
  --waiting_;
}

void StoreHealth::answered() {
  const auto now = Clock::now();
  {
    std::lock_guard lock(mutex_);
    quietSince_ = now;
    if (answering_) return;
    answering_ = true;
    hostlog::info("the store at " + store_ + " answers again after " +
                  secondsText(std::chrono::system_clock::now() - silentSince_));
  }
  tell();
}

void StoreHealth::check() {
  const auto now = Clock::now();
  {
    std::lock_guard lock(mutex_);
    if (!answering_ || waiting_ == 0 || now - quietSince_ < silenceLimit_) return;
    answering_ = false;
    silentSince_ = std::chrono::system_clock::now() -
                   std::chrono::duration_cast<std::chrono::system_clock::duration>(now -
                                                                                   quietSince_);
    hostlog::warning("the store at " + store_ + " is not answering (" +
                     secondsText(now - quietSince_) + ")");
  }
  tell();
}

void StoreHealth::tell() {
  if (!listener_) return;
  // The state as it is when the listener's turn comes: two changes told out
  // of order still leave the listener with the latest.
  std::lock_guard listening(listenerMutex_);
  listener_(state());
}

StoreState StoreHealth::state() const {
  std::lock_guard lock(mutex_);
  return {answering_, silentSince_};
}

}  // namespace corvane::s3
