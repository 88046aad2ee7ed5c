// TwoMachineExerciser: random file operations on both mounts of a
// TwoMachines pair, interleaved, so that each machine keeps acting on a view
// the other has just changed: the races of two desktops on one bucket.
//
// Every write puts bytes no other write uses (a number, the machine and the
// path), read first through the same descriptor, so the exerciser knows
// which earlier write each change replaced. A write is replaced legitimately
// only when a machine saw it and then wrote over it, deleted it or renamed a
// file over it; every other acknowledged write must be found after
// quiescence, at some path, exactly once (as the file or as a conflict
// copy). Besides that the final check asks that both mounts and both engines
// show what the bucket holds, and that every file holds bytes of one write.
//
// The operations: write (create or replace a whole file), delete, rename a
// file (over another too), mkdir, rmdir, rename a folder, and reads and
// listings checked to show only written bytes. Choices come from one
// generator seeded by the caller (the timing of the machines does not
// replay). Owned by one test or soak run; not thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/two_machines.h"

namespace corvane::testing {

class TwoMachineExerciser {
 public:
  using Clock = std::chrono::steady_clock;

  // Both machines' mounts start empty.
  TwoMachineExerciser(TwoMachines& machines, std::uint64_t seed);

  // Runs up to `operations` steps, or until `deadline`; the first mismatch
  // seen on the way (a read of bytes no write made, a failure a user would
  // see), or nothing.
  std::optional<std::string> run(std::size_t operations,
                                 Clock::time_point deadline = Clock::time_point::max());
  // Waits up to `settle` until both machines show what the bucket holds,
  // then checks every acknowledged write; a mismatch, or nothing.
  std::optional<std::string> finish(std::chrono::milliseconds settle);

  void trace(std::ostream* out) { trace_ = out; }

  struct Figures {
    std::size_t operations = 0;
    std::size_t acknowledged = 0;  // writes, deletes and renames that succeeded
    std::size_t writes = 0;        // acknowledged writes
    std::size_t replaced = 0;      // writes a machine saw and then replaced
    std::size_t files = 0;         // files in the bucket at the end
    // Conflict copies at the end, by kind: "edit/edit" (both changed a file
    // that was there), "new/new" (both made a name that was free in their
    // view), each with the machine that made the losing write.
    std::map<std::string, std::size_t> conflictCopies;
    // Acknowledged writes that a machine removed without having seen them:
    // a deletion or a rename over the file, made on the older version it
    // showed, after the write had reached the bucket.
    std::size_t removedUnseen = 0;
  };
  const Figures& figures() const { return figures_; }
  std::string describeFigures() const;
  const std::map<std::string, std::size_t>& counts() const { return counts_; }

 private:
  struct Write {
    // `path`: where the writer wrote it, then where the exerciser last
    // renamed its file (or folder) to.
    std::string machine, path, bytes;
    bool wasNew = false;  // the path held no file in the writer's view
    Clock::time_point acknowledged;
  };
  // A file removed or renamed over by a machine: where, when and by whom.
  struct Removal {
    std::string machine, path;
    Clock::time_point at;
  };
  using Result = std::optional<std::string>;

  Result write(Machine& m);
  Result remove(Machine& m);
  Result renameFile(Machine& m);
  Result makeFolder(Machine& m);
  Result removeFolder(Machine& m);
  Result renameFolder(Machine& m);
  Result readSome(Machine& m);

  // The bytes of `path` on machine `m` as one read shows them; nothing when
  // there is no such file. A read that fails otherwise is a mismatch.
  std::optional<std::string> readFile(Machine& m, const std::string& path, Result& failure);
  // Whether `bytes` are those of an acknowledged or pending write (or empty).
  bool known(const std::string& bytes) const;
  // Marks the write whose bytes these are as replaced by someone who saw it.
  void replaced(const std::string& bytes);
  std::string filePath();    // a file name in the root or in a folder name
  std::string folderPath();  // a folder name in the root
  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }
  bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
  void note(std::string step);
  std::string mismatch(const std::string& what) const;

  TwoMachines& machines_;
  const std::uint64_t seed_;
  std::mt19937_64 rng_;
  std::uint64_t next_ = 0;
  std::map<std::string, Write> writes_;  // by bytes
  std::set<std::string> pending_;        // bytes of writes that failed half-way
  std::set<std::string> replaced_;       // bytes
  std::vector<Removal> removals_;
  std::deque<std::string> history_;
  std::ostream* trace_ = nullptr;
  Figures figures_;
  std::map<std::string, std::size_t> counts_;
};

}  // namespace corvane::testing
