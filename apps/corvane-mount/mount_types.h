// The plain values the mount's logic answers the kernel with: attributes,
// folder entries, the changes setattr may ask for and the file system's
// figures, and the options the mount starts with. Copied freely; no locks.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "corvane-mount/item_cache.h"
#include "host/modification_dates.h"

namespace corvane::mount {

struct Attributes {
  Ino ino = 0;
  bool dir = false;
  std::uint32_t mode = 0;  // type and permission bits
  std::uint32_t nlink = 1;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::uint64_t size = 0;
  std::int64_t mtimeSeconds = 0;
  std::int64_t mtimeNanoseconds = 0;
  std::uint32_t blockSize = 0;
};

struct DirEntry {
  std::string name;
  Attributes attributes;
};

// How long a change that the engine refused waits before it is sent again:
// `first` after the first refusal, doubled after each further one, never
// more than `limit`. A change that failed only because the engine was away
// goes again at the next poll.
struct RetryPolicy {
  std::chrono::milliseconds first{10'000};
  std::chrono::milliseconds limit{30 * 60'000};

  // The wait after the `refusals`-th refusal in a row (1 for the first).
  std::chrono::milliseconds after(unsigned refusals) const {
    std::chrono::milliseconds wait = first;
    for (unsigned i = 1; i < refusals && wait < limit; ++i) wait *= 2;
    return std::min(wait, limit);
  }
};

// Test hooks: points where a test stops the mount's logic as a crash would,
// by throwing from the hook (nothing after it runs, nothing is undone). Empty
// in every real run.
struct TestHooks {
  // The steps of a rename over an existing file: its intent is recorded,
  // the old file has stepped aside, the new one has taken its name.
  enum class ReplaceStep { recorded, steppedAside, tookName };
  std::function<void(ReplaceStep)> afterReplaceStep;
};

struct MountOptions {
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  // The scope's key prefix in its bucket ("" for none): its keys, and so the
  // paths that fit one, are that much shorter.
  std::string keyPrefix;
  // The preferred I/O size reported to programs (cp and cat size their
  // buffers by it).
  std::uint32_t blockSize = 1 << 20;
  RetryPolicy refusedRetry;
  // How long a file closed by its last writer waits before it is sent
  // (renames, removals, fsync and the unmount send it at once).
  std::chrono::milliseconds writeBackDelay{0};
  // How many bytes of fetched contents the cache keeps beyond what is open.
  std::uint64_t cacheSize = 10ull << 30;
  // How long the change poller waits for the engine before it counts it as
  // stalled (and the mount serves what it holds without asking it).
  std::chrono::milliseconds engineTimeout{5000};
  TestHooks testHooks;
};

struct SetAttributes {
  std::optional<std::uint64_t> size;
  std::optional<host::FileTime> modificationTime = std::nullopt;
  // Everything else (mode, owner, access time) is accepted and ignored.
};

struct FileSystemStats {
  std::uint64_t blockSize = 4096;
  std::uint64_t blocks = 0;
  std::uint64_t blocksFree = 0;
  std::uint64_t blocksAvailable = 0;
  std::uint64_t files = 0;
  std::uint64_t filesFree = 0;
  std::uint64_t nameMax = 255;
};

}  // namespace corvane::mount
