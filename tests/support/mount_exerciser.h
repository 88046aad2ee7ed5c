// MountExerciser: random file operations on a mounted folder, each checked
// against an in-memory model of what a local file system does, and at the
// end the engine's backing folder checked against the same model.
//
// The operations: open (creating, truncating, appending, read-only), write
// at offsets past the end (holes), append, truncate (through a handle and by
// path), read (through a handle and whole files), stat, list, fsync, close,
// rename over files and of folders (into other folders too), unlink with
// handles still open, mkdir and rmdir. Names come from a small set, so that
// operations keep meeting each other; a folder never gets deeper than three.
// Every choice comes from one generator seeded by the caller: a seed replays
// the same run.
//
// Owned by one test or soak run; not thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace corvane::testing {

class MountExerciser {
 public:
  using Clock = std::chrono::steady_clock;

  // `mountpoint` shows the scope whose files live in `backing`; both start
  // empty.
  MountExerciser(std::filesystem::path mountpoint, std::filesystem::path backing,
                 std::uint64_t seed);
  ~MountExerciser();  // closes what is still open
  MountExerciser(const MountExerciser&) = delete;
  MountExerciser& operator=(const MountExerciser&) = delete;

  // Runs up to `operations` steps, or until `deadline`; the first mismatch,
  // with the steps that led to it, or nothing.
  std::optional<std::string> run(std::size_t operations,
                                 Clock::time_point deadline = Clock::time_point::max());
  // Closes every handle, waits up to `settle` until the backing folder holds
  // what the model holds, and compares the mount's view once more.
  std::optional<std::string> finish(std::chrono::milliseconds settle);

  // Writes every step to `out` as it is taken (nullptr: none).
  void trace(std::ostream* out) { trace_ = out; }

  std::size_t operations() const { return done_; }
  // How often each kind of operation ran.
  const std::map<std::string, std::size_t>& counts() const { return counts_; }

 private:
  struct Data {
    std::string bytes;
  };
  struct Node {
    bool dir = false;
    std::shared_ptr<Data> data;  // files only
  };
  struct Open {
    int fd = -1;
    std::shared_ptr<Data> data;
    bool readable = false;
    bool writable = false;
    bool append = false;
    std::string path;  // where it was opened, for messages
  };
  using Result = std::optional<std::string>;

  // One step of each kind.
  Result openFile();
  Result write();
  Result read();
  Result readWhole();
  Result truncate();
  Result stat();
  Result list();
  Result fsync();
  Result close();
  Result rename();
  Result unlink();
  Result mkdir();
  Result rmdir();

  // The model.
  std::vector<std::string> folders() const;  // "" (the root) included
  std::vector<std::string> files() const;
  std::vector<std::string> childrenOf(const std::string& folder) const;
  bool exists(const std::string& path) const { return tree_.count(path) > 0; }
  // A path made of an existing folder and a name from the set.
  std::string newPath(bool folder);
  std::filesystem::path real(const std::string& path) const { return mountpoint_ / path; }

  // Compares the files and folders below `root` with the model.
  Result compareTree(const std::filesystem::path& root, const std::string& what) const;

  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
  bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
  std::string bytes(std::size_t n);
  // A mismatch: what happened, the seed and the steps before it.
  std::string mismatch(const std::string& what) const;
  void note(std::string step);

  const std::filesystem::path mountpoint_;
  const std::filesystem::path backing_;
  const std::uint64_t seed_;
  std::mt19937_64 rng_;
  std::map<std::string, Node> tree_;
  std::vector<Open> open_;
  std::deque<std::string> history_;
  std::ostream* trace_ = nullptr;
  std::size_t done_ = 0;
  std::map<std::string, std::size_t> counts_;
};

}  // namespace corvane::testing
