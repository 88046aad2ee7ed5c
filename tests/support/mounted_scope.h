// A scope mounted for real: a backing folder served by the real engine, and
// corvane-mount on a folder beside it, all below one folder the caller owns
// (a TestEnvironment's, whose XDG variables the processes inherit). The
// binaries are taken from beside the running executable unless given.
//
// Owned by one test or soak run; not thread-safe, except that mount().crash()
// may come from another thread.
#pragma once

#include <filesystem>
#include <memory>

#include "support/engine_process.h"
#include "support/mount_process.h"

namespace corvane::testing {

class MountedScope {
 public:
  // Starts the engine and the mount; throws std::runtime_error when either
  // does not come up.
  explicit MountedScope(const std::filesystem::path& root, std::filesystem::path binaries = {},
                        double poll = 1.0);
  ~MountedScope();

  const std::filesystem::path& backing() const { return backing_; }
  const std::filesystem::path& mountpoint() const { return mountpoint_; }
  const std::filesystem::path& cache() const { return cache_; }
  EngineProcess& engine() { return *engine_; }
  MountProcess& mount() { return *mount_; }

 private:
  std::filesystem::path backing_, mountpoint_, cache_;
  std::unique_ptr<EngineProcess> engine_;
  std::unique_ptr<MountProcess> mount_;
};

}  // namespace corvane::testing
