// ConflictRecord: the conflict copies this mount made, kept for a day in a
// small file in the cache folder ("conflict-copies", written through its
// tmp/ folder), so that `corvane-mount --status` can list them without
// asking the mount.
//
// A copy is recorded when the mount learns its name: a file created here
// whose name was taken at the engine meanwhile, or the contents of a change
// the engine kept beside a newer version. Each entry has the copy's path,
// the path it is a copy of and when it was made; entries older than a day go
// at the next write.
//
// Owned by the WriteBack; read() is stateless. Thread-safe: one mutex orders
// the writes of the file.
#pragma once

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace corvane::mount {

struct ConflictCopy {
  std::string copy;      // the copy's path in the domain
  std::string original;  // the path it is a copy of
  std::chrono::system_clock::time_point made;
};

class ConflictRecord {
 public:
  // How long a copy stays listed.
  static constexpr std::chrono::hours kKept{24};

  explicit ConflictRecord(std::filesystem::path cacheFolder);

  // Adds a copy; throws a filesystem_error when the file cannot be written.
  void add(ConflictCopy copy);

  // The copies recorded in `cacheFolder` made after `now` - kKept, oldest
  // first; none when there is no readable record.
  static std::vector<ConflictCopy> read(const std::filesystem::path& cacheFolder,
                                        std::chrono::system_clock::time_point now);

 private:
  const std::filesystem::path folder_;
  std::mutex mutex_;
};

}  // namespace corvane::mount
