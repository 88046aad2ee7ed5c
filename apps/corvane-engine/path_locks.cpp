#include "path_locks.h"

#include <utility>

namespace corvane::syncengine {

PathLocks::Held::Held(PathLocks& locks, std::string path) : locks_(locks), path_(std::move(path)) {
  std::unique_lock lock(locks_.mutex_);
  locks_.released_.wait(lock, [&] { return !locks_.held_.contains(path_); });
  locks_.held_.insert(path_);
}

PathLocks::Held::~Held() {
  {
    std::lock_guard lock(locks_.mutex_);
    locks_.held_.erase(path_);
  }
  locks_.released_.notify_all();
}

}  // namespace corvane::syncengine
