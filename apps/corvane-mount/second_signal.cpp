#include "corvane-mount/second_signal.h"

#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace corvane::mount {

SecondSignal::SecondSignal(const sigset_t& signals, std::function<void(int)> onSignal)
    : signals_(signals), onSignal_(std::move(onSignal)) {
  thread_ = std::thread([this] {
    // Short waits, so that the destructor need not wake the thread.
    const timespec tick{0, 100'000'000};
    while (!stopping_.load()) {
      const int signal = ::sigtimedwait(&signals_, nullptr, &tick);
      if (signal < 0) continue;  // EAGAIN (the tick) or EINTR
      if (stopping_.load()) return;
      if (onSignal_) onSignal_(signal);
      ::_exit(1);
    }
  });
}

SecondSignal::~SecondSignal() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

}  // namespace corvane::mount
