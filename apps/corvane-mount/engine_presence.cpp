#include "corvane-mount/engine_presence.h"

#include "platform/log.h"

namespace corvane::mount {

void EnginePresence::answered() {
  doubted_.store(false);
  if (state_.load() == State::present) return;
  std::lock_guard lock(mutex_);
  if (state_.exchange(State::present) == State::present) return;
  say("the engine is back; catching up with its changes");
}

void EnginePresence::missed(bool timedOut, const std::string& why) {
  const State now = timedOut ? State::stalled : State::absent;
  if (state_.load() == now) return;
  std::lock_guard lock(mutex_);
  if (state_.exchange(now) != State::present) return;  // lost before: said already
  say("lost the engine (" + why +
      "); cached files, listed folders and known names are served from the cache, everything "
      "else fails with an I/O error until it is back");
}

void EnginePresence::doubt() {
  if (state_.load() != State::present || doubted_.exchange(true)) return;
  std::lock_guard lock(mutex_);
  if (prober_) prober_();
}

void EnginePresence::setProber(std::function<void()> prober) {
  std::lock_guard lock(mutex_);
  prober_ = std::move(prober);
}

void EnginePresence::setListener(Listener listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
}

void EnginePresence::say(const std::string& message) {
  Log::write("mount: " + message);
  if (listener_) listener_(message);
}

}  // namespace corvane::mount
