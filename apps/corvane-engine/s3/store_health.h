// Whether a store answers: watches the requests of one connection and notices
// when none has heard a byte from the store for a while although some wait
// for it (a store that accepts connections and says nothing, a paused one,
// a network that drops everything). Says so once in the log when the store
// falls silent and once when it answers again, and tells its listener, so
// that the silence can be shown where users look.
//
// Owned by the connection; every member may be called from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

namespace corvane::s3 {

struct StoreState {
  bool answering = true;
  // Since when the store has not answered (while !answering).
  std::chrono::system_clock::time_point silentSince{};
};

class StoreHealth {
 public:
  using Clock = std::chrono::steady_clock;
  using Listener = std::function<void(const StoreState&)>;

  // `store` names the store in the log ("http://host:port").
  StoreHealth(std::string store, std::chrono::milliseconds silenceLimit, Listener listener);

  // A request begins and ends waiting for the store (its retries included).
  void begin();
  void end();
  // A byte of an answer came (any answer, an error too).
  void answered();
  // Looks whether the silence has grown past the limit; called now and then
  // by every request that waits.
  void check();

  StoreState state() const;

 private:
  void tell();

  const std::string store_;
  const std::chrono::milliseconds silenceLimit_;
  const Listener listener_;
  mutable std::mutex mutex_;
  int waiting_ = 0;                // guarded by mutex_: requests that wait
  Clock::time_point quietSince_;   // guarded by mutex_: since when no byte came
  bool answering_ = true;          // guarded by mutex_
  std::chrono::system_clock::time_point silentSince_;  // guarded by mutex_
  // Listener calls in the order of the changes, one at a time.
  std::mutex listenerMutex_;
};

}  // namespace corvane::s3
