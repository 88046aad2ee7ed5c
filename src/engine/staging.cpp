#include "engine/staging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/file_copy.h"
#include "platform/folders.h"
#include "platform/unique_fd.h"
#include "platform/uuid.h"

namespace corvane::staging {
namespace {

[[noreturn]] void fail(const char* what, const std::filesystem::path& source,
                       const std::filesystem::path& destination, int err) {
  throw std::filesystem::filesystem_error(what, source, destination,
                                          std::error_code(err, std::generic_category()));
}

}  // namespace

void copyFile(const std::filesystem::path& source, const std::filesystem::path& destination) {
  // O_NONBLOCK keeps a FIFO in the source's place from blocking the open; it
  // is refused below as not a regular file.
  platform::UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!in) fail("cannot open the source file", source, destination, errno);
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) fail("cannot read the source file", source, destination, errno);
  if (S_ISDIR(st.st_mode)) fail("cannot copy a folder", source, destination, EISDIR);
  if (!S_ISREG(st.st_mode)) fail("not a regular file", source, destination, EINVAL);
  int flags = ::fcntl(in.get(), F_GETFL);
  if (flags >= 0) ::fcntl(in.get(), F_SETFL, flags & ~O_NONBLOCK);

  platform::UniqueFd out(
      ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!out) fail("cannot create the staging file", source, destination, errno);

  int err = 0;
  try {
    platform::copyContents(in.get(), out.get());
    // The engine takes the file's modification time from the copy it reads.
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(out.get(), times) != 0) err = errno;
    if (out.close() != 0 && err == 0) err = errno;
  } catch (const std::system_error& e) {
    err = e.code().value();
  }
  if (err != 0) {
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
