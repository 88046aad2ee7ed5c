// Random texts from the kernel's generator, for the discovery token and the
// change logs' identities.
#pragma once

#include <cstddef>
#include <string>

namespace corvane::syncengine {

// `bytes` random bytes as lower-case hex (2 * bytes characters). Throws
// std::system_error when the kernel's generator cannot be read.
std::string randomHex(std::size_t bytes);

}  // namespace corvane::syncengine
