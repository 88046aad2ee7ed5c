#include "work_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "change_log.h"
#include "platform/file_copy.h"
#include "random_hex.h"
#include "rename_no_replace.h"
#include "scope_folder.h"
#include "scope_paths.h"
#include "host_log.h"

namespace corvane::syncengine {
namespace fs = std::filesystem;
using platform::UniqueFd;
namespace {

constexpr std::string_view kNamePrefix = ".corvane-work-";
// A clash with an existing name is all but impossible (128 random bits), but
// it is handled: the name is skipped, never taken.
constexpr int kNameAttempts = 8;

[[noreturn]] void fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

// The errors with which a kernel or file system says it has no unnamed files.
bool noUnnamedFiles(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL || error == ENOSYS;
}

// linkat() of an unnamed file needs its /proc/self/fd entry (the other way,
// AT_EMPTY_PATH, is for privileged processes only).
std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

bool unnamedFilesWanted() {
  if (std::getenv(WorkFiles::kNamedOnlyVariable) != nullptr) return false;
  return ::access("/proc/self/fd", X_OK) == 0;
}

void copyDurably(int source, int target, const std::string& where) {
  platform::copyContents(source, target);
  // The contents keep the time they were last written where they come from.
  struct stat st {};
  if (::fstat(source, &st) != 0) fail(errno, "cannot read the time of the file for " + where);
  const timespec times[2] = {st.st_atim, st.st_mtim};
  if (::futimens(target, times) != 0) fail(errno, "cannot set the file's time in " + where);
  // Durable before it gets a name: a crash never leaves a half-written file
  // under an item's name.
  if (::fsync(target) != 0) fail(errno, "cannot write into " + where);
}

}  // namespace

WorkFiles::Staged::Staged(WorkFiles& owner, UniqueFd fd, std::string name)
    : owner_(&owner), fd_(std::move(fd)), name_(std::move(name)) {}

WorkFiles::Staged::Staged(Staged&& other) noexcept
    : owner_(other.owner_), fd_(std::move(other.fd_)), name_(std::exchange(other.name_, {})) {}

WorkFiles::Staged::~Staged() { discard(); }

void WorkFiles::Staged::discard() noexcept {
  if (!name_.empty()) {
    // Only the file this descriptor wrote goes: were another in its place
    // now, it would not be the engine's.
    struct stat named {};
    struct stat own {};
    const fs::path full = owner_->full(name_);
    if (::lstat(full.c_str(), &named) == 0 && ::fstat(fd_.get(), &own) == 0 &&
        named.st_dev == own.st_dev && named.st_ino == own.st_ino) {
      ::unlink(full.c_str());
    }
    owner_->release(name_);
    name_.clear();
  }
  fd_.close();
}

WorkFiles::WorkFiles(fs::path root, ChangeLog& log)
    : root_(std::move(root)), log_(log), unnamed_(unnamedFilesWanted()) {}

fs::path WorkFiles::full(std::string_view path) const {
  return path.empty() ? root_ : root_ / fs::path(std::string(path));
}

bool WorkFiles::contains(std::string_view path) const {
  if (liveCount_.load() == 0) return false;  // nearly always: no lock taken
  std::lock_guard lock(mutex_);
  return live_.find(path) != live_.end();
}

std::string WorkFiles::reserve(const std::string& folder) {
  std::string path = joinPath(folder, std::string(kNamePrefix) + randomHex(16));
  {
    std::lock_guard lock(mutex_);
    live_.insert(path);
    liveCount_ = live_.size();
  }
  try {
    log_.recordWorkFile(path);
  } catch (...) {
    release(path);
    throw;
  }
  return path;
}

void WorkFiles::release(const std::string& path) noexcept {
  try {
    log_.forgetWorkFile(path);
  } catch (...) {
    // A record left behind names nothing: the next start forgets it.
  }
  std::lock_guard lock(mutex_);
  live_.erase(path);
  liveCount_ = live_.size();
}

WorkFiles::Staged WorkFiles::stage(int source, const std::string& folder) {
  const std::string where = full(folder).string();
  if (unnamed_) {
    UniqueFd fd(::open(full(folder).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (fd) {
      copyDurably(source, fd.get(), where);
      return Staged(*this, std::move(fd), {});
    }
    if (!noUnnamedFiles(errno)) fail(errno, "cannot write into " + where);
  }
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string name = reserve(folder);
    UniqueFd fd(
        ::open(full(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd) {
      const int error = errno;
      release(name);  // nothing of the engine's is there
      if (error == EEXIST) continue;
      fail(error, "cannot write into " + where);
    }
    Staged staged(*this, std::move(fd), std::move(name));
    copyDurably(source, staged.fd_.get(), where);
    return staged;
  }
  fail(EEXIST, "no free name for a work file in " + where);
}

std::string WorkFiles::linkUnderNewName(int fd, const std::string& folder) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string name = reserve(folder);
    if (::linkat(AT_FDCWD, procPath(fd).c_str(), AT_FDCWD, full(name).c_str(), AT_SYMLINK_FOLLOW) ==
        0) {
      return name;
    }
    const int error = errno;
    release(name);
    if (error != EEXIST) fail(error, "cannot name a work file in " + full(folder).string());
  }
  fail(EEXIST, "no free name for a work file in " + full(folder).string());
}

bool WorkFiles::placeNew(Staged& staged, const std::string& path) {
  const fs::path target = full(path);
  if (staged.name_.empty()) {
    if (::linkat(AT_FDCWD, procPath(staged.fd_.get()).c_str(), AT_FDCWD, target.c_str(),
                 AT_SYMLINK_FOLLOW) != 0) {
      if (errno == EEXIST) return false;
      fail(errno, "cannot store " + path);
    }
  } else {
    if (!renameNoReplace(full(staged.name_), target)) return false;
    release(staged.name_);
    staged.name_.clear();
  }
  staged.fd_.close();  // placed: nothing is left to discard
  return true;
}

void WorkFiles::replace(Staged& staged, const std::string& path, mode_t mode) {
  if (::fchmod(staged.fd_.get(), mode) != 0) fail(errno, "cannot store " + path);
  if (staged.name_.empty()) staged.name_ = linkUnderNewName(staged.fd_.get(), parentOf(path));
  if (::rename(full(staged.name_).c_str(), full(path).c_str()) != 0) {
    fail(errno, "cannot store " + path);  // `staged` still removes its name
  }
  release(staged.name_);
  staged.name_.clear();
  staged.fd_.close();
}

void WorkFiles::removeLeftovers(const ScopeFolder& folder) {
  int removed = 0;
  for (const std::string& path : log_.workFiles()) {
    // Only a file can be one of ours; anything else at the name is left alone.
    if (folder.kindOf(path) == ScopeFolder::Kind::file && ::unlink(full(path).c_str()) == 0) {
      ++removed;
    }
    log_.forgetWorkFile(path);
  }
  if (removed > 0) {
    hostlog::info("removed " + std::to_string(removed) + " work file" +
                  (removed == 1 ? "" : "s") + " left in " + root_.string() + " by an earlier run");
  }
}

}  // namespace corvane::syncengine
