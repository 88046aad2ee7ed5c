#include "platform/file_copy.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <system_error>

namespace corvane::platform {
namespace {

// The errors after which a slower way of copying may still work: the file
// systems or the kernel do not offer the faster one for these files.
bool unsupported(int err) {
  return err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == ENOTSUP ||
         err == ENOTTY || err == EBADF || err == EPERM || err == ETXTBSY || err == EOVERFLOW;
}

enum class Result { done, unsupported };

[[noreturn]] void fail(const char* what, int err) {
  throw std::system_error(err, std::generic_category(), what);
}

// Repeats `step` (bytes moved, 0 at the end, -1 with errno) until the end.
template <class Step>
Result copyWith(const char* what, Step step) {
  for (;;) {
    const ssize_t n = step();
    if (n == 0) return Result::done;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (unsupported(errno)) return Result::unsupported;
    fail(what, errno);
  }
}

// Copies from the descriptors' offsets until the end of `in` or `limit`
// bytes, whichever comes first.
void copyStream(int in, int out, std::uint64_t limit = UINT64_MAX) {
  constexpr size_t kBuffer = 256 * 1024;
  std::unique_ptr<char[]> buffer(new char[kBuffer]);
  for (;;) {
    if (limit == 0) return;
    const ssize_t n = ::read(in, buffer.get(), std::min<std::uint64_t>(kBuffer, limit));
    if (n == 0) return;
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("read", errno);
    }
    const char* p = buffer.get();
    size_t left = static_cast<size_t>(n);
    while (left > 0) {
      const ssize_t w = ::write(out, p, left);
      if (w < 0) {
        if (errno == EINTR) continue;
        fail("write", errno);
      }
      p += w;
      left -= static_cast<size_t>(w);
    }
    limit -= static_cast<std::uint64_t>(n);
  }
}

}  // namespace

void copyContents(int in, int out) {
  if (::ioctl(out, FICLONE, in) == 0) return;
  // Every way continues from the file offsets the previous one left, so a
  // fallback after a partial copy neither repeats nor skips bytes.
  constexpr size_t kChunk = size_t{1} << 30;
  if (copyWith("copy_file_range", [&] {
        return ::copy_file_range(in, nullptr, out, nullptr, kChunk, 0);
      }) == Result::done) {
    return;
  }
  if (copyWith("sendfile", [&] { return ::sendfile(out, in, nullptr, kChunk); }) == Result::done) {
    return;
  }
  copyStream(in, out);
}

void copyRange(int in, std::int64_t offset, std::int64_t length, int out) {
  if (offset < 0 || length < 0) fail("copy of a range", EINVAL);
  if (::lseek(in, offset, SEEK_SET) < 0) fail("lseek", errno);
  std::uint64_t left = static_cast<std::uint64_t>(length);
  // Each step moves at most what is left; the fallbacks go on from the
  // offsets the previous way left, as for whole files.
  auto bounded = [&left](auto move) {
    return [&left, move]() -> ssize_t {
      if (left == 0) return 0;
      const ssize_t n = move(std::min<std::uint64_t>(left, std::uint64_t{1} << 30));
      if (n > 0) left -= static_cast<std::uint64_t>(n);
      return n;
    };
  };
  if (copyWith("copy_file_range", bounded([&](std::size_t n) {
        return ::copy_file_range(in, nullptr, out, nullptr, n, 0);
      })) == Result::done) {
    return;
  }
  if (copyWith("sendfile", bounded([&](std::size_t n) { return ::sendfile(out, in, nullptr, n); })) ==
      Result::done) {
    return;
  }
  copyStream(in, out, left);
}

bool sameContents(int a, int b) {
  struct stat sa {};
  struct stat sb {};
  if (::fstat(a, &sa) != 0 || ::fstat(b, &sb) != 0) fail("fstat", errno);
  if (sa.st_size != sb.st_size) return false;
  constexpr size_t kBlock = 256 * 1024;
  std::unique_ptr<char[]> blockA(new char[kBlock]);
  std::unique_ptr<char[]> blockB(new char[kBlock]);
  // Reads until both ends agree: a file that grows or shrinks meanwhile
  // differs, whatever its size said.
  auto readBlock = [](int fd, char* into, off_t offset) {
    size_t filled = 0;
    while (filled < kBlock) {
      const ssize_t n =
          ::pread(fd, into + filled, kBlock - filled, offset + static_cast<off_t>(filled));
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        fail("pread", errno);
      }
      filled += static_cast<size_t>(n);
    }
    return filled;
  };
  for (off_t offset = 0;; offset += static_cast<off_t>(kBlock)) {
    const size_t na = readBlock(a, blockA.get(), offset);
    const size_t nb = readBlock(b, blockB.get(), offset);
    if (na != nb || std::memcmp(blockA.get(), blockB.get(), na) != 0) return false;
    if (na < kBlock) return true;
  }
}

}  // namespace corvane::platform
