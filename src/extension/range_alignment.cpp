#include "extension/range_alignment.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <system_error>

namespace corvane {

host::ByteRange widenedRange(host::ByteRange minimal, std::int64_t alignment) {
  constexpr std::int64_t kLargest = std::numeric_limits<std::int64_t>::max();
  if (minimal.offset < 0 || minimal.length < 0 || alignment < 0) {
    throw std::system_error(EINVAL, std::generic_category(),
                            "a byte range or alignment below zero");
  }
  const std::int64_t end = minimal.offset + std::min(minimal.length, kLargest - minimal.offset);
  if (alignment <= 1) return {minimal.offset, end - minimal.offset};
  const std::int64_t start = minimal.offset - minimal.offset % alignment;
  if (minimal.length == 0) return {start, 0};
  const std::int64_t toBoundary = end % alignment == 0 ? 0 : alignment - end % alignment;
  const std::int64_t widenedEnd = end > kLargest - toBoundary ? kLargest : end + toBoundary;
  return {start, widenedEnd - start};
}

}  // namespace corvane
