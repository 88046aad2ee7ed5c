// MountCrasher: kill -9 of a real mount at random moments while it is being
// written to, and a check after each restart that nothing acknowledged was
// lost.
//
// A round writes files (open, write, fsync or not, close), saves them as
// editors do (a temporary file written, then renamed over the name), renames
// and appends, while another thread kills the mount after a random wait.
// Then it mounts again (the new mount sends what the dead one left unsent
// and settles what it left half done) and compares the engine's folder, and
// the new mount's view, with the model: every write whose close or fsync
// returned success must be there with its bytes, every acknowledged rename
// done. Only the one operation under way at the kill may have gone either
// way (a write under way may have left any part of its bytes). Conflict
// copies that a resend on a stale base made are counted, not failed; a
// hidden file left by a rename, or any other file nobody wrote, fails.
//
// Owned by one test or soak run; not thread-safe (the killer thread is its
// own).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>

#include "support/mounted_scope.h"

namespace corvane::testing {

class MountCrasher {
 public:
  struct Figures {
    std::size_t rounds = 0;
    std::size_t acknowledged = 0;  // operations whose success was returned
    std::size_t killedDuring = 0;  // rounds in which an operation was under way
    std::size_t conflictCopies = 0;
  };

  MountCrasher(MountedScope& scope, std::uint64_t seed);

  // One round: work until the kill, mount again, check. The first mismatch,
  // or nothing. `maxWait` bounds the random wait before the kill.
  std::optional<std::string> round(std::chrono::milliseconds maxWait);

  const Figures& figures() const { return figures_; }

 private:
  // The operation under way when the mount died, and what it would make of
  // the paths it touches: each path may hold its bytes before or after it,
  // or (a write) anything.
  struct Underway {
    std::string what;
    std::map<std::string, std::optional<std::string>> before;  // nullopt: absent
    std::map<std::string, std::optional<std::string>> after;
    bool anyBytes = false;  // a write: the path may hold any bytes
  };

  // Works in the mount until an operation fails (the mount is gone); what
  // was under way then, when something was.
  std::optional<Underway> work();
  // Compares the engine's folder with the model, then takes what the
  // operation under way left as the model's.
  std::optional<std::string> check(const std::optional<Underway>& underway);
  std::optional<std::string> compareMount() const;

  std::string bytes(std::size_t n);
  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
  std::optional<std::string> model(const std::string& path) const;

  MountedScope& scope_;
  const std::uint64_t seed_;
  std::mt19937_64 rng_;
  std::map<std::string, std::string> files_;  // path -> acknowledged bytes
  std::set<std::string> extras_;  // conflict copies seen, left alone
  Figures figures_;
  // Where the running mount's part of its log and of the extension's log begins.
  std::size_t runLogStart_ = 0;
  std::size_t syncLogStart_ = 0;
};

}  // namespace corvane::testing
