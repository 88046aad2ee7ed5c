// Byte counts as people read them, the way the platform's byte-count
// formatter shows sizes: "512 B", "1.5 KiB", "10.0 GiB". A pure function,
// callable from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace corvane::platform {

// Whole bytes below 1 KiB, else one decimal in the largest binary unit that
// keeps the figure below 1024 once rounded.
std::string byteCountText(std::uint64_t bytes);

}  // namespace corvane::platform
