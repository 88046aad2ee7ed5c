#include "corvane-mount/file_state.h"

#include <unistd.h>

#include <cerrno>

#include "corvane-mount/errno_map.h"
#include "corvane-mount/mount_internal.h"

namespace corvane::mount {
using namespace internal;

Handle::~Handle() {
  if (fd >= 0) ::close(fd);
}

std::size_t Handle::read(char* buffer, std::size_t size, std::int64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t got = ::pread(fd, buffer + done, size - done, offset + static_cast<off_t>(done));
    if (got < 0) {
      if (errno == EINTR) continue;
      throwErrno("read");
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

std::size_t Handle::write(const char* data, std::size_t size, std::int64_t offset) {
  if (!writable) throw Refusal(EBADF);
  std::size_t done = 0;
  while (done < size) {
    ssize_t put = ::pwrite(fd, data + done, size - done, offset + static_cast<off_t>(done));
    if (put < 0) {
      if (errno == EINTR) continue;
      throwErrno("write");
    }
    done += static_cast<std::size_t>(put);
  }
  // Counted once the bytes are in the file, so a write-back that saw this
  // generation also saw these bytes.
  state->generation++;
  return done;
}

}  // namespace corvane::mount
