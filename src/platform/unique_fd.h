// UniqueFd: the one owner of a file descriptor. Closes it on every way out,
// moves but never copies. Not shared between threads; any number may exist.
#pragma once

namespace corvane::platform {

class UniqueFd {
 public:
  // Takes `fd`; -1 owns nothing.
  explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
  ~UniqueFd();
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

  // Gives the descriptor up without closing it.
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

  // Closes now and returns what close() returned (0, or -1 with errno set):
  // some file systems report a failed write only there. Owns nothing after.
  int close() noexcept;

 private:
  int fd_;
};

}  // namespace corvane::platform
