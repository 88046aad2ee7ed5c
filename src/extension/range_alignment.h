// The byte range a partial fetch asks the engine for: the host's minimal
// range widened outward to its alignment. A pure function, callable from any
// thread.
#pragma once

#include <cstdint>

#include "host/types.h"

namespace corvane {

// `minimal` with its start rounded down and its end rounded up to multiples
// of `alignment` (0 or 1: unchanged). An end past the largest offset is cut
// to it, so a huge length reads "to the end of the file"; a zero length stays
// zero, at the rounded-down start. Throws std::system_error (EINVAL) for a
// negative offset, length or alignment.
host::ByteRange widenedRange(host::ByteRange minimal, std::int64_t alignment);

}  // namespace corvane
