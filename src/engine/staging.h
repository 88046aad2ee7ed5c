// Staging copies for uploads: the engine reads a private copy of the caller's
// file, so the caller may change or remove its own file while the engine
// works.
//
// The copy keeps the file's times: the engine stores the modification time
// of the file it is given as the item's.
//
// A StagingFile owns one copy in the process's temporary folder, named by a
// fresh random UUID without extension, and removes it when destroyed. The
// copy is made in the kernel where it can be (a reflink, copy_file_range or
// sendfile) and never holds the whole file in memory. Instances are not
// shared between threads; any number may exist at once.
#pragma once

#include <filesystem>

namespace corvane::staging {

// Copies the regular file `source` to `destination`, which must not exist yet
// (it is created with mode 0600, without following a link), with the
// source's access and modification times to the nanosecond. Throws
// std::filesystem::filesystem_error with the failing errno; a partial copy is
// removed first.
void copyFile(const std::filesystem::path& source, const std::filesystem::path& destination);

class StagingFile {
 public:
  // Makes the copy; throws the errors of copyFile and of the temporary folder.
  explicit StagingFile(const std::filesystem::path& source);
  // Removes the copy; a failure to remove is ignored.
  ~StagingFile();
  StagingFile(const StagingFile&) = delete;
  StagingFile& operator=(const StagingFile&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace corvane::staging
