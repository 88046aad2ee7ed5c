#include "file_copy.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace corvane::syncengine {
namespace {

[[noreturn]] void fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

bool unsupported(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP ||
         error == EBADF;
}

}  // namespace

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

void copyContents(int in, int out) {
  if (::ioctl(out, FICLONE, in) == 0) return;

  loff_t inOffset = 0;
  bool first = true;
  while (true) {
    const ssize_t n = ::copy_file_range(in, &inOffset, out, nullptr, 1 << 30, 0);
    if (n > 0) {
      first = false;
      continue;
    }
    if (n == 0) return;
    if (errno == EINTR) continue;
    if (!first || !unsupported(errno)) fail("copy_file_range");
    break;  // not possible between these files: fall back to sendfile
  }

  off_t offset = 0;
  while (true) {
    const ssize_t n = ::sendfile(out, in, &offset, 1 << 30);
    if (n > 0) continue;
    if (n == 0) return;
    if (errno == EINTR) continue;
    fail("sendfile");
  }
}

bool renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno == EEXIST) return false;
  if (errno != EINVAL && errno != ENOSYS) fail("rename");
  // No RENAME_NOREPLACE on this file system: a hard link never replaces
  // either. Folders cannot be linked; for them a check must do (the caller
  // holds the scope's lock, so only another program could slip in between).
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return true;
  }
  if (errno == EEXIST) return false;
  if (errno != EPERM) fail("link");
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) return false;
  if (::rename(from.c_str(), to.c_str()) != 0) fail("rename");
  return true;
}

}  // namespace corvane::syncengine
