#include "random_hex.h"

#include <sys/random.h>

#include <cerrno>
#include <system_error>
#include <vector>

namespace corvane::syncengine {

std::string randomHex(std::size_t bytes) {
  std::vector<unsigned char> raw(bytes);
  std::size_t filled = 0;
  while (filled < bytes) {
    const ssize_t n = ::getrandom(raw.data() + filled, bytes - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "getrandom");
    }
    filled += static_cast<std::size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes * 2);
  for (unsigned char c : raw) {
    text += kHex[c >> 4];
    text += kHex[c & 0xF];
  }
  return text;
}

}  // namespace corvane::syncengine
