// File-system helpers for moving contents in and out of a scope: an owned
// descriptor, a kernel-side copy (a clone where the file system shares
// blocks, else copy_file_range or sendfile; never the whole file in memory)
// and a rename that never replaces what is at its target.
#pragma once

#include <filesystem>

namespace corvane::syncengine {

// Closes its descriptor on every way out.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd();
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Copies all of `in` (from offset 0) to the empty file `out`. Throws
// std::system_error.
void copyContents(int in, int out);

// Renames `from` to `to` unless something exists at `to`; false then. Throws
// std::system_error on other failures (EXDEV included).
bool renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace corvane::syncengine
