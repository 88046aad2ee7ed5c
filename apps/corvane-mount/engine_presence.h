// EnginePresence: whether the mount can count on the engine answering, and
// the one place that says so when that changes.
//
// The engine is present until a request goes unanswered. It is then absent
// (it could not be reached: not running, connection refused) or stalled (it
// took a request and never answered: a stopped process with its socket still
// open). An absent engine costs a request nothing, so requests keep trying
// it and the first answer brings it back. A stalled one would hold every
// request for the transport's idle limit, so requests are not sent at all
// and those still waiting give up; only the change poller's own probe, which
// has a short timeout of its own, finds it back. A request that waits
// longer than a quick answer takes raises a doubt: the prober (the change
// poller) then probes at once instead of at its next interval, so a stalled
// engine is found within the probe's timeout, not within the poll interval
// and that timeout, and what waits on it takes the offline path as it would
// with an engine that is not running. The loss and the return are logged,
// and told to the listener, once each.
//
// Owned by the HostBridge. Thread-safe: the state is atomic, and one mutex
// orders the transitions with their messages (the listener runs under it, so
// it must not call back in).
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

namespace corvane::mount {

class EnginePresence {
 public:
  enum class State { present, absent, stalled };
  using Listener = std::function<void(const std::string& message)>;

  State state() const { return state_.load(); }
  bool away() const { return state() != State::present; }
  bool stalled() const { return state() == State::stalled; }

  // The engine answered (with a result or with an error of its own).
  void answered();
  // A request could not reach the engine; `timedOut` when it took the
  // request and gave no answer in time.
  void missed(bool timedOut, const std::string& why);

  // Receives the loss and return messages (the mount's standard error).
  void setListener(Listener listener);

  // A request has waited long for its answer: asks the prober for a probe
  // now, at most once per answer the engine gives (so a slow engine is
  // probed once, not once per waiting request).
  void doubt();
  // Called by doubt(), on the doubting thread; must not block.
  void setProber(std::function<void()> prober);

 private:
  void say(const std::string& message);

  std::atomic<State> state_{State::present};
  std::mutex mutex_;
  Listener listener_;  // guarded by mutex_
  std::atomic<bool> doubted_{false};
  std::function<void()> prober_;  // guarded by mutex_
};

}  // namespace corvane::mount
