// The mount's soak run (scripts/soak runs it): the random-operation exerciser
// and the kill -9 crash rounds of the test suite, for as long as asked, with
// new seeds. Each exerciser seed gets a fresh engine and mount; the crash
// rounds share one, renewed every 25 rounds. Stops at the first mismatch,
// prints it with the seed that replays it, and exits 1; otherwise prints the
// figures and exits 0. Needs root (or user FUSE mounts); everything it makes
// is below one temporary folder and goes when it ends, also on failure.
// With --two-machines it runs the exerciser of two machines on one bucket
// instead (an S3 store of its own, or the one CORVANE_S3_ENV names): each
// seed a fresh pair, and the figures add up the conflict copies by kind.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "support/mount_crasher.h"
#include "support/mount_exerciser.h"
#include "support/mounted_scope.h"
#include "support/s3_test_store.h"
#include "support/test_env.h"
#include "support/two_machine_exerciser.h"
#include "support/two_machines.h"

namespace {

using namespace corvane::testing;
using Clock = std::chrono::steady_clock;

struct Settings {
  double exerciserSeconds = 60;
  std::size_t opsPerSeed = 2000;
  std::size_t crashRounds = 20;
  int crashWaitMs = 500;
  std::uint64_t seed = 0;  // 0: from the clock
  std::string binaries;
  bool trace = false;
  bool twoMachines = false;
  bool keepGoing = false;
  double poll = 0.5;
};

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int exercise(const Settings& s, std::uint64_t& seed) {
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(s.exerciserSeconds));
  std::size_t seeds = 0, operations = 0;
  std::map<std::string, std::size_t> counts;
  while (Clock::now() < deadline) {
    TestEnvironment env;
    MountedScope scope(env.root(), s.binaries);
    MountExerciser exerciser(scope.mountpoint(), scope.backing(), seed);
    if (s.trace) exerciser.trace(&std::cout);
    auto failure = exerciser.run(s.opsPerSeed, deadline);
    if (!failure) failure = exerciser.finish(std::chrono::seconds(30));
    operations += exerciser.operations();
    for (const auto& [kind, n] : exerciser.counts()) counts[kind] += n;
    ++seeds;
    if (failure) {
      std::cout << "exerciser: MISMATCH after " << operations << " operations\n" << *failure
                << "\nmount log:\n" << scope.mount().log();
      return 1;
    }
    ++seed;
  }
  std::cout << "exerciser: " << seeds << " seeds, " << operations << " operations in "
            << secondsSince(start) << " s, no mismatch\n ";
  for (const auto& [kind, n] : counts) std::cout << " " << kind << " " << n << ";";
  std::cout << "\n";
  return 0;
}

int exerciseTwoMachines(const Settings& s, std::uint64_t& seed) {
  S3TestStore store;
  store.SetUp();
  struct Down {
    S3TestStore& store;
    ~Down() { store.TearDown(); }
  } down{store};
  if (S3TestStore::config().endpoint.empty()) {
    std::cout << "two machines: no S3 store\n";
    return 1;
  }
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(s.exerciserSeconds));
  std::size_t seeds = 0;
  std::map<std::string, std::size_t> mismatches;  // first line -> seeds
  TwoMachineExerciser::Figures total;
  std::map<std::string, std::size_t> counts;
  while (Clock::now() < deadline) {
    TestEnvironment env;
    TestBucket bucket;
    Machine::Options options;
    options.prefix = "soak/";
    options.poll = options.storePoll = s.poll;
    options.binaries = s.binaries;
    std::optional<std::string> failure;
    std::string logs;
    {
      TwoMachines machines(env.root(), bucket.client(), options);
      TwoMachineExerciser exerciser(machines, seed);
      if (s.trace) exerciser.trace(&std::cout);
      failure = exerciser.run(s.opsPerSeed, deadline);
      if (!failure) failure = exerciser.finish(std::chrono::seconds(60));
      const auto& f = exerciser.figures();
      std::cout << "seed " << seed << ": " << exerciser.describeFigures() << "\n" << std::flush;
      total.operations += f.operations;
      total.acknowledged += f.acknowledged;
      total.writes += f.writes;
      total.replaced += f.replaced;
      total.files += f.files;
      total.removedUnseen += f.removedUnseen;
      for (const auto& [kind, n] : f.conflictCopies) total.conflictCopies[kind] += n;
      for (const auto& [kind, n] : exerciser.counts()) counts[kind] += n;
      logs = machines.a().logs() + machines.b().logs();
    }
    ++seeds;
    if (!failure && logs.find("lost the engine") != std::string::npos) {
      failure = "a mount took its answering engine for lost";
    }
    if (failure) {
      std::cout << "two machines: MISMATCH with seed " << seed << "\n" << *failure << "\n";
      if (!s.keepGoing) {
        std::cout << logs;
        return 1;
      }
      // Counted by what went wrong, without the paths and numbers that differ.
      std::string what = failure->substr(0, failure->find('\n'));
      for (char& c : what) {
        if (c >= '0' && c <= '9') c = '#';
      }
      mismatches[what.substr(0, 60)]++;
    }
    ++seed;
  }
  std::cout << "two machines: " << seeds << " seeds, " << total.operations << " operations ("
            << total.acknowledged << " acknowledged, " << total.writes << " writes, "
            << total.replaced << " replaced by a machine that saw them) in " << secondsSince(start)
            << " s, " << (mismatches.empty() ? "no mismatch" : "mismatches below") << "; "
            << total.files << " files at the ends; conflict copies:";
  for (const auto& [kind, n] : total.conflictCopies) std::cout << " " << kind << " " << n << ";";
  std::cout << " writes removed by a machine that had not seen them: " << total.removedUnseen
            << "\n ";
  for (const auto& [kind, n] : counts) std::cout << " " << kind << " " << n << ";";
  std::cout << "\n";
  for (const auto& [what, n] : mismatches) {
    std::cout << "  MISMATCH in " << n << " seeds: " << what << "\n";
  }
  return mismatches.empty() ? 0 : 1;
}

int crash(const Settings& s, std::uint64_t seed) {
  const auto start = Clock::now();
  MountCrasher::Figures total;
  std::size_t done = 0;
  while (done < s.crashRounds) {
    TestEnvironment env;
    MountedScope scope(env.root(), s.binaries);
    MountCrasher crasher(scope, seed++);
    for (int i = 0; i < 25 && done < s.crashRounds; ++i, ++done) {
      if (auto failure = crasher.round(std::chrono::milliseconds(s.crashWaitMs))) {
        std::cout << "crash: LOST after " << done << " rounds\n" << *failure << "\n";
        return 1;
      }
    }
    const auto& f = crasher.figures();
    total.rounds += f.rounds;
    total.acknowledged += f.acknowledged;
    total.killedDuring += f.killedDuring;
    total.conflictCopies += f.conflictCopies;
  }
  std::cout << "crash: " << total.rounds << " rounds in " << secondsSince(start) << " s, "
            << total.acknowledged << " acknowledged operations, none lost; killed during an "
            << "operation " << total.killedDuring << " times; " << total.conflictCopies
            << " conflict copies from resends\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  CLI::App app{"Soak run of corvane-mount: random operations against a model, and kill -9 rounds."};
  app.add_option("--seconds", s.exerciserSeconds, "seconds of the exerciser")->capture_default_str();
  app.add_option("--ops", s.opsPerSeed, "operations per exerciser seed")->capture_default_str();
  app.add_option("--crash-rounds", s.crashRounds, "kill -9 rounds")->capture_default_str();
  app.add_option("--crash-wait-ms", s.crashWaitMs, "longest wait before a kill")
      ->capture_default_str();
  app.add_option("--seed", s.seed, "the first seed (default: from the clock)");
  app.add_flag("--trace", s.trace, "print every step of the exerciser");
  app.add_flag("--two-machines", s.twoMachines,
               "the exerciser on two machines (engine and mount each) on one bucket, instead of "
               "one mount and the crash rounds");
  app.add_flag("--keep-going", s.keepGoing,
               "two machines: go on after a mismatch (a new seed) and count them by kind");
  app.add_option("--poll", s.poll, "two machines: the mounts' and engines' poll, in seconds")
      ->capture_default_str();
  app.add_option("--bin", s.binaries, "where corvane-engine and corvane-mount are (default: here)");
  CLI11_PARSE(app, argc, argv);
  // A Ctrl-C ends the run through the destructors, which unmount and stop.
  ::signal(SIGPIPE, SIG_IGN);
  if (s.seed == 0) {
    s.seed = static_cast<std::uint64_t>(Clock::now().time_since_epoch().count()) % 1000000007;
  }
  std::cout << "first seed " << s.seed << "\n" << std::flush;
  std::uint64_t seed = s.seed;
  try {
    if (s.twoMachines) return exerciseTwoMachines(s, seed);
    if (s.exerciserSeconds > 0 && exercise(s, seed) != 0) return 1;
    if (s.crashRounds > 0 && crash(s, seed + 1000000) != 0) return 1;
  } catch (const std::exception& e) {
    std::cout << "soak: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
