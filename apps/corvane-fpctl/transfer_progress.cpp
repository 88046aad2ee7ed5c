#include "transfer_progress.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>

#include "platform/byte_count.h"

namespace corvane::fpctl {
namespace fs = std::filesystem;

namespace {

std::string byteText(std::int64_t bytes) {
  return platform::byteCountText(bytes < 0 ? 0 : static_cast<std::uint64_t>(bytes));
}

}  // namespace

std::string progressLine(std::string_view label, std::int64_t done,
                         std::optional<std::int64_t> total, std::chrono::nanoseconds elapsed) {
  std::string line(label);
  line += ": " + byteText(done);
  if (total && *total > 0) {
    // Whole percents, rounded down: 100% only when everything is there.
    const auto percent = static_cast<int>(std::min<std::int64_t>(done, *total) * 100 / *total);
    line += " of " + byteText(*total) + " (" + std::to_string(percent) + "%)";
  } else if (total) {
    line += " of " + byteText(*total);
  }
  const double seconds = std::chrono::duration<double>(elapsed).count();
  if (seconds > 0) {
    line += ", " + byteText(static_cast<std::int64_t>(std::llround(done / seconds))) + "/s";
  }
  return line;
}

GrowingFile::GrowingFile(fs::path folder) : folder_(std::move(folder)) {
  std::error_code ec;
  for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
    before_.insert(it->path().filename().string());
  }
}

std::int64_t GrowingFile::size() const {
  std::int64_t largest = 0;
  std::error_code ec;
  for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
    if (before_.contains(it->path().filename().string())) continue;
    struct stat st {};
    if (::lstat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    largest = std::max<std::int64_t>(largest, st.st_size);
  }
  return largest;
}

}  // namespace corvane::fpctl
