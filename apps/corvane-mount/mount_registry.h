// MountRegistry: how a running mount makes itself known to
// `corvane-mount --status` in another process.
//
// Each mount keeps one small file, <folder>/<pid>.mount, with what it is
// (domain, mount point, cache folder) and how it fares (the engine as it
// last saw it, the bytes of its cache against the limit), rewritten every
// few seconds and removed when the mount ends. A file is read, never a
// socket asked, so a mount that hangs cannot hang its status too: its file
// just grows old, and the file of a mount whose process is gone names a
// process that no longer runs.
//
// MountRegistration is owned by the mount's main; its thread only calls the
// sample function and writes the file. registeredMounts() reads only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvane::mount {

struct MountEntry {
  pid_t pid = 0;
  std::string domain;
  std::string displayName;
  std::filesystem::path mountpoint;
  std::filesystem::path cacheFolder;
  // As the mount last saw them.
  std::string engine;  // "reachable", "unreachable" or "not answering"
  std::uint64_t cacheBytes = 0;
  std::uint64_t cacheLimit = 0;
  std::chrono::system_clock::time_point updated;
};

// $XDG_RUNTIME_DIR/CorvaneSync/mounts, else "mounts" in the process's
// temporary folder. Not created.
std::filesystem::path registryFolder();

class MountRegistration {
 public:
  // Fills in the figures of the entry.
  using Sample = std::function<void(MountEntry&)>;

  // Writes the entry at once (throws a filesystem_error when it cannot),
  // then again every `interval` with fresh figures.
  MountRegistration(std::filesystem::path folder, MountEntry entry, Sample sample,
                    std::chrono::milliseconds interval);
  // Stops the thread and removes the file.
  ~MountRegistration();
  MountRegistration(const MountRegistration&) = delete;
  MountRegistration& operator=(const MountRegistration&) = delete;

  const std::filesystem::path& file() const { return file_; }

 private:
  void write();
  void run();

  const std::filesystem::path folder_;
  const std::filesystem::path file_;
  MountEntry entry_;  // only the constructor and the thread touch it
  const Sample sample_;
  const std::chrono::milliseconds interval_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by mutex_
  std::thread thread_;
};

// The entries in `folder`, ordered by mount point; files that cannot be read
// are passed over.
std::vector<MountEntry> registeredMounts(const std::filesystem::path& folder);

// Whether the process `pid` still runs (a zombie does not) and, when
// `name` is given, has that name (so a number reused by another program
// does not count). Mounts and their status use their own program's name.
bool processRuns(pid_t pid, const std::string& name = {});

}  // namespace corvane::mount
