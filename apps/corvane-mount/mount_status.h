// What `corvane-mount --status` shows: for each running mount its domain,
// mount point, the engine as the mount sees it, the store behind the scope
// when the engine says it does not answer, the changes it has not sent
// yet (with the errors of those that failed), the conflict copies it made in
// the last day and its cache against the limit; for a cache that no mount
// uses but that holds unsent changes, those
// changes, which the next mount of its domain sends.
//
// The running mounts come from the MountRegistry, the unsent changes from
// the records beside the working copies (ContentCache::recorded), the copies
// from the ConflictRecord: all are files, read without asking the mounts, so a mount that hangs cannot hang
// its status. Stateless; callable from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "corvane-mount/conflict_record.h"
#include "corvane-mount/content_cache.h"
#include "corvane-mount/mount_registry.h"
#include "engine/store_status.h"

namespace corvane::mount {

// The changes a cache folder holds unsent (working copies and their
// records), and how many bytes they are.
struct UnsentChanges {
  std::vector<std::pair<std::filesystem::path, WorkRecord>> records;
  std::uint64_t bytes = 0;
};
UnsentChanges unsentIn(const std::filesystem::path& cacheFolder);

struct MountStatus {
  MountEntry entry;  // for a cache without a mount: the domain and cache only
  bool registered = false;  // a mount wrote the entry
  bool running = false;     // and its process still runs
  bool leftMounted = false;  // it ended, and its folder is still a (dead) mount
  std::vector<std::pair<std::filesystem::path, WorkRecord>> unsent;
  std::uint64_t unsentBytes = 0;
  // The store behind the domain's scope as the running engine tells it;
  // nothing when it tells nothing about the domain.
  std::optional<stores::ScopeStoreStatus> store;
  std::vector<ConflictCopy> conflictCopies;  // made in the last day, oldest first
};

// Which mounts to show: all when both are empty.
struct StatusFilter {
  std::string domain;
  std::filesystem::path cache;
};

// The running mounts in `registry` (and those whose process ended without
// unmounting), then the caches below `cacheBase` that no listed mount uses
// and that hold unsent changes. With a filter, only what matches; a domain
// or cache that matches no mount is shown as not mounted. Each domain's
// store comes from `storeStatus` (the engine's engine-status.json) while the
// engine that wrote it runs.
std::vector<MountStatus> collectStatus(
    const std::filesystem::path& registry, const std::optional<std::filesystem::path>& cacheBase,
    const StatusFilter& filter,
    const std::optional<std::filesystem::path>& storeStatus = std::nullopt,
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

// A mount whose entry is older than this does not answer any more.
inline constexpr std::chrono::seconds kStatusStale{15};

std::string statusText(const std::vector<MountStatus>& mounts,
                       std::chrono::system_clock::time_point now);
std::string statusJson(const std::vector<MountStatus>& mounts,
                       std::chrono::system_clock::time_point now);

}  // namespace corvane::mount
