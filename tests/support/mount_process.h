// Runs corvane-mount as a child process on a folder, for tests and soak runs
// that need a real FUSE mount: start() waits until the kernel has the mount,
// stop() ends it as a user would (SIGTERM), crash() kills it (SIGKILL) and
// lifts what it leaves mounted. The destructor always ends the child and
// unmounts, and the child ends with its parent (PR_SET_PDEATHSIG, SIGTERM), so
// nothing stays mounted or running when a test fails.
//
// Owned by one test; not thread-safe, except crash(), which may come from
// another thread while the owner works in the mount (its calls then fail).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace corvane::testing {

class MountProcess {
 public:
  struct Options {
    std::filesystem::path binary;      // corvane-mount
    std::string domain;                // --domain
    std::filesystem::path cache;       // --cache
    std::filesystem::path mountpoint;  // an empty folder
    std::filesystem::path log;         // standard output and error go here
    double poll = 1.0;                 // --poll, seconds
    std::vector<std::string> extraArguments;  // before the mount point
    // Variables set for the mount in place of the caller's (NAME, value).
    std::vector<std::pair<std::string, std::string>> environment;
  };

  explicit MountProcess(Options options);
  ~MountProcess();
  MountProcess(const MountProcess&) = delete;
  MountProcess& operator=(const MountProcess&) = delete;

  // Mounts and waits (up to `timeout`) until the kernel has the mount.
  // Throws std::runtime_error, with the mount's log, when it does not come.
  void start(std::chrono::seconds timeout = std::chrono::seconds(30));
  // SIGTERM and wait (SIGKILL after `grace`); returns the waitpid status, or
  // -1 when no mount was running. Unmounts whatever is left.
  int stop(std::chrono::seconds grace = std::chrono::seconds(60));
  // SIGKILL at once, as a crash; the kernel's mount is lifted afterwards by
  // wait() or stop().
  void crash();
  // After crash(): reaps the child and lifts the dead mount.
  void reap();

  bool running() const { return pid_.load() > 0; }
  const std::filesystem::path& mountpoint() const { return options_.mountpoint; }
  std::string log() const;
  // Where log() comes from; every run of this mount appends to it.
  const std::filesystem::path& logFile() const { return options_.log; }

  // Whether the kernel has a mount at `folder`.
  static bool mounted(const std::filesystem::path& folder);
  // Lifts a mount at `folder` (lazily: open files keep it busy no longer).
  static void unmount(const std::filesystem::path& folder);

 private:
  Options options_;
  std::atomic<pid_t> pid_{-1};
};

}  // namespace corvane::testing
