#include "platform/unique_fd.h"

#include <unistd.h>

namespace corvane::platform {

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

int UniqueFd::close() noexcept {
  if (fd_ < 0) return 0;
  // The descriptor is gone whatever close() reports (also on EINTR), so it
  // is never closed twice.
  return ::close(release());
}

}  // namespace corvane::platform
