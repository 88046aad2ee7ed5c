#include "engine/staging.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <system_error>

#include "platform/folders.h"
#include "platform/uuid.h"

namespace corvane::staging {
namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports the error of close, which on some file systems is
  // where a failed write shows up.
  int close() {
    int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

// The errors after which a slower way of copying may still work: the file
// systems or the kernel do not offer the faster one for these files.
bool unsupported(int err) {
  return err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == ENOTSUP ||
         err == ENOTTY || err == EBADF || err == EPERM || err == ETXTBSY || err == EOVERFLOW;
}

enum class Result { done, unsupported, failed };

// copy_file_range from the current offsets until the end of the source.
Result copyRange(int in, int out, bool& moved, int& err) {
  for (;;) {
    ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, size_t{1} << 30, 0);
    if (n == 0) return Result::done;
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      return unsupported(err) ? Result::unsupported : Result::failed;
    }
    moved = true;
  }
}

Result copySendfile(int in, int out, bool& moved, int& err) {
  for (;;) {
    ssize_t n = ::sendfile(out, in, nullptr, size_t{1} << 30);
    if (n == 0) return Result::done;
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      return unsupported(err) ? Result::unsupported : Result::failed;
    }
    moved = true;
  }
}

Result copyStream(int in, int out, int& err) {
  constexpr size_t kBuffer = 256 * 1024;
  std::unique_ptr<char[]> buffer(new char[kBuffer]);
  for (;;) {
    ssize_t n = ::read(in, buffer.get(), kBuffer);
    if (n == 0) return Result::done;
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      return Result::failed;
    }
    const char* p = buffer.get();
    size_t left = static_cast<size_t>(n);
    while (left > 0) {
      ssize_t w = ::write(out, p, left);
      if (w < 0) {
        if (errno == EINTR) continue;
        err = errno;
        return Result::failed;
      }
      p += w;
      left -= static_cast<size_t>(w);
    }
  }
}

[[noreturn]] void fail(const char* what, const std::filesystem::path& source,
                       const std::filesystem::path& destination, int err) {
  throw std::filesystem::filesystem_error(what, source, destination,
                                          std::error_code(err, std::generic_category()));
}

}  // namespace

void copyFile(const std::filesystem::path& source, const std::filesystem::path& destination) {
  // O_NONBLOCK keeps a FIFO in the source's place from blocking the open; it
  // is refused below as not a regular file.
  Fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (in.get() < 0) fail("cannot open the source file", source, destination, errno);
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) fail("cannot read the source file", source, destination, errno);
  if (S_ISDIR(st.st_mode)) fail("cannot copy a folder", source, destination, EISDIR);
  if (!S_ISREG(st.st_mode)) fail("not a regular file", source, destination, EINVAL);
  int flags = ::fcntl(in.get(), F_GETFL);
  if (flags >= 0) ::fcntl(in.get(), F_SETFL, flags & ~O_NONBLOCK);

  Fd out(::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (out.get() < 0) fail("cannot create the staging file", source, destination, errno);

  int err = 0;
  Result result = Result::unsupported;
  if (::ioctl(out.get(), FICLONE, in.get()) == 0) {
    result = Result::done;
  } else {
    // Every step continues from the file offsets the previous one left, so
    // a fallback after a partial copy neither repeats nor skips bytes.
    bool moved = false;
    result = copyRange(in.get(), out.get(), moved, err);
    if (result == Result::unsupported) result = copySendfile(in.get(), out.get(), moved, err);
    if (result == Result::unsupported) result = copyStream(in.get(), out.get(), err);
  }
  if (result == Result::done && out.close() != 0) {
    err = errno;
    result = Result::failed;
  }
  if (result != Result::done) {
    ::unlink(destination.c_str());
    fail("cannot copy to the staging file", source, destination, err);
  }
}

StagingFile::StagingFile(const std::filesystem::path& source)
    : path_(std::filesystem::absolute(platform::temporaryFolder() / platform::newUUID())) {
  copyFile(source, path_);
}

StagingFile::~StagingFile() {
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

}  // namespace corvane::staging
