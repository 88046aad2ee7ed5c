// What a bucket scope learnt of its objects' modification times. An object
// keeps the time of the file it was written from in its "mtime" metadata,
// which only HEAD and GET tell; listings do not. So whatever a HEAD or GET
// told is kept per key, with the ETag and LastModified the object had then,
// and a listing that shows the object unchanged reports that time without
// asking again. A copy of an object onto itself with a new time keeps its
// ETag and moves its LastModified, which listings give to the millisecond
// and HEAD to the second: a time learnt from HEAD counts for the whole
// second until a listing tells the millisecond it stands for.
//
// Kept in memory, and in the scope's database once given one (ChangeLog),
// so that a restart need not ask again either.
//
// Owned by BucketStorage. Thread-safe: one mutex guards the map; the
// database is written outside it (the log has its own lock), and a failure
// to write it only costs asking again after a restart.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "change_log.h"

namespace corvane::syncengine {

class ObjectTimes {
 public:
  using Time = std::pair<std::int64_t, std::int64_t>;  // seconds, nanoseconds

  // Keeps what is learnt from now on in `log`, and takes what it holds.
  // Call once, before any other member.
  void keepIn(ChangeLog& log);

  // What was learnt of the object at `key` while it had this ETag (bare)
  // and LastModified (milliseconds; `exact` when to the millisecond, as a
  // listing gives it): nothing when nothing was; else the record, whose
  // `mtime` is the metadata's time or none when the object has none.
  std::optional<ObjectTimeRecord> find(const std::string& key, const std::string& etag,
                                       std::int64_t lastModified, bool exact) const;
  // Keeps what was learnt of these objects in place of what was known (a
  // record that only repeats a known one less exactly changes nothing).
  void learn(const std::vector<ObjectTimeRecord>& records);
  // The objects are gone.
  void forget(const std::vector<std::string>& keys);

 private:
  mutable std::mutex mutex_;
  std::unordered_map<std::string, ObjectTimeRecord> known_;  // by key; guarded by mutex_
  std::atomic<ChangeLog*> log_{nullptr};
};

// Whole seconds of a time in milliseconds, rounded down.
std::int64_t secondsOfMilliseconds(std::int64_t milliseconds);

}  // namespace corvane::syncengine
