// Sizes as a user types them on the command line. Stateless.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::mount {

// A size such as "512M": a whole number of bytes, or of KiB, MiB or GiB with
// the suffix K, M or G (either case). Nothing when the text is not one or
// does not fit in 64 bits.
std::optional<std::uint64_t> parseSize(std::string_view text);

}  // namespace corvane::mount
