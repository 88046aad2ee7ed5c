#include "platform/uuid.h"

#include <sys/random.h>
#include <uuid/uuid.h>

#include <cerrno>
#include <cstddef>

namespace corvane::platform {

namespace {

// Fills `value` from the kernel's generator in one call. libuuid's own
// generator makes five system calls per UUID, and a mount names two files
// with UUIDs for every file created in it.
bool kernelRandom(uuid_t value) {
  std::size_t done = 0;
  while (done < sizeof(uuid_t)) {
    const ssize_t got = ::getrandom(value + done, sizeof(uuid_t) - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

std::string newUUID() {
  uuid_t value;
  if (kernelRandom(value)) {
    value[6] = static_cast<unsigned char>((value[6] & 0x0f) | 0x40);  // version 4
    value[8] = static_cast<unsigned char>((value[8] & 0x3f) | 0x80);  // RFC 4122 variant
  } else {
    uuid_generate_random(value);
  }
  char text[37];  // 36 characters and the terminating NUL
  uuid_unparse_upper(value, text);
  return std::string(text, 36);
}

}  // namespace corvane::platform
