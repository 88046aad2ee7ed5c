// What a person at a terminal sees while fpctl fetches or creates a file:
// bytes so far, the percentage when the size is known, and the rate.
//
//   fetch big.bin: 512.0 MiB of 1.0 GiB (50%), 102.4 MiB/s
//
// The extension reports a transfer only as done or not, and the bytes move
// between the engine and a file on this machine, so progress is read from
// that file: a download grows in the host's temporary folder, and a created
// file is first copied into a private staging file that the engine then
// reads (what the engine does after that shows as "the engine is storing it").
//
// GrowingFile is used from the spinner's thread only; the functions are pure.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace corvane::fpctl {

// One line of progress. Without `total` no percentage is shown; the rate is
// the average since the start and is left out before any time has passed.
std::string progressLine(std::string_view label, std::int64_t done,
                         std::optional<std::int64_t> total, std::chrono::nanoseconds elapsed);

// The largest regular file that appeared in `folder` after construction:
// the file a transfer writes there.
class GrowingFile {
 public:
  explicit GrowingFile(std::filesystem::path folder);
  // Bytes in that file so far; 0 while there is none.
  std::int64_t size() const;

 private:
  const std::filesystem::path folder_;
  std::set<std::string> before_;  // names present at construction
};

}  // namespace corvane::fpctl
