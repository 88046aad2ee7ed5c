#include "rename_no_replace.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace corvane::syncengine {
namespace {

[[noreturn]] void fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

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
