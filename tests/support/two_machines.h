// Two desktops that sync one bucket, on one host. Each Machine has folders of
// its own for everything a desktop keeps apart (XDG_DATA_HOME with the
// engine's discovery file and change log, XDG_CACHE_HOME, XDG_STATE_HOME with
// the logs, XDG_RUNTIME_DIR with the mounts' status files, XDG_CONFIG_HOME,
// TMPDIR), its own corvane-engine serving the bucket, its own corvane-mount,
// and a machine name of its own (CORVANE_MACHINE_NAME) for the conflict
// copies it makes. Tests drive each machine through its mount and force the
// order of a race by pausing an engine (SIGSTOP) or by holding a file open.
//
// Owned by one test or soak run; not thread-safe, except that pauseEngine()
// and resumeEngine() may come from another thread. The destructor resumes a
// paused engine, unmounts and stops both processes and removes nothing it
// did not make (the caller owns `root`), also when a test failed.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "s3/s3_client.h"
#include "support/engine_process.h"
#include "support/mount_process.h"

namespace corvane::testing {

// A tree of files and folders as one place holds it: path -> the file's
// bytes, nothing for a folder.
using Tree = std::map<std::string, std::optional<std::string>>;

// The files and folders below `folder` (a mount), read whole.
Tree treeOf(const std::filesystem::path& folder);
// The tree the objects below `prefix` ("" or "p/") make, with the folders
// their keys imply; a folder's marker object ("dir/") is a folder.
Tree treeOfBucket(const s3::S3Client& client, const std::string& prefix);
// "" when equal, else the first few differences, naming the sides.
std::string treeDifference(const Tree& a, const std::string& aName, const Tree& b,
                           const std::string& bName);

class Machine {
 public:
  struct Options {
    std::string name;    // the machine's name, as its conflict copies show it
    std::string bucket;  // served as the scope "b", id "s3-1"
    std::string prefix;  // of the scope within the bucket ("" or "p/")
    double poll = 0.5;           // the mount's --poll
    double storePoll = 0.5;      // the engine's --s3-poll
    double writeBackDelay = 0;   // the mount's --write-back-delay
    std::vector<std::string> mountArguments;  // more for corvane-mount
    std::string storeEndpoint;                // empty: the test store's (else a proxy before it)
    std::filesystem::path binaries;  // empty: beside the running executable
  };

  // Starts the engine and the mount below `root`; throws std::runtime_error
  // when either does not come up.
  Machine(const std::filesystem::path& root, Options options);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  const std::string& name() const { return options_.name; }
  const std::filesystem::path& mountpoint() const { return mountpoint_; }
  const std::filesystem::path& root() const { return root_; }
  EngineProcess& engine() { return *engine_; }
  MountProcess& mount() { return *mount_; }
  // The variables that set this machine apart; its processes run with them.
  const std::vector<std::pair<std::string, std::string>>& environment() const {
    return environment_;
  }

  // Stops the engine's process where it is (SIGSTOP): it keeps its socket,
  // takes requests and answers none, as a machine that hangs. Resumed by
  // resumeEngine() or at the latest by the destructor.
  void pauseEngine();
  void resumeEngine();
  // Ends the engine as a user would and starts it again on its state.
  void restartEngine();

  // The engine's snapshot, read from its change log: path -> version ("dir"
  // for a folder), what the engine believes the bucket holds.
  std::map<std::string, std::string> snapshot() const;
  // `corvane-mount --status` (with --json when asked) in this machine's
  // environment; the output.
  std::string status(bool json = false) const;
  // What the machine's processes said: the mount's output and log, the
  // extension's log and the engine's output.
  std::string logs() const;

 private:
  std::vector<std::string> engineArguments() const;

  const std::filesystem::path root_;
  const Options options_;
  std::filesystem::path binaries_, mountpoint_;
  std::vector<std::pair<std::string, std::string>> environment_;
  std::unique_ptr<EngineProcess> engine_;
  std::unique_ptr<MountProcess> mount_;
  std::atomic<pid_t> paused_{-1};
};

class TwoMachines {
 public:
  // Machines "alpha" and "beta" on one scope of `bucket` below `root`, with
  // the settings `a` (and `b` for the second, else the same); their names
  // and bucket are set here, the second's prefix is the first's.
  TwoMachines(const std::filesystem::path& root, const s3::S3Client& bucket, Machine::Options a,
              std::optional<Machine::Options> b = std::nullopt);

  Machine& a() { return *a_; }
  Machine& b() { return *b_; }
  const std::string& prefix() const { return prefix_; }
  Tree bucketTree() const { return treeOfBucket(bucket_, prefix_); }

  // Waits up to `within` until both mounts show what the bucket holds and
  // both engines' snapshots list it with the bucket's versions. Nothing when
  // they do; otherwise what still differs.
  std::optional<std::string> converge(std::chrono::milliseconds within);

 private:
  // What differs now: mounts and snapshots against the bucket; "" for none.
  std::string differences();

  const s3::S3Client& bucket_;
  std::string prefix_;
  // b before a: the second machine's processes go first.
  std::unique_ptr<Machine> a_, b_;
};

}  // namespace corvane::testing
