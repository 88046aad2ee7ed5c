#include "object_times.h"

#include <exception>

#include "host_log.h"

namespace corvane::syncengine {
namespace {

// Whether `a` and `b` describe the same LastModified, as exactly as the less
// exact of them tells it. A record to the second may come from the answer
// to the write that made the object, whose date is taken when the store
// answers, a moment after it set the LastModified: that may be in the second
// before.
bool sameMoment(const ObjectTimeRecord& a, std::int64_t lastModified, bool exact) {
  if (a.lastModifiedExact && exact) return a.lastModified == lastModified;
  const std::int64_t ahead =
      secondsOfMilliseconds(a.lastModified) - secondsOfMilliseconds(lastModified);
  return ahead == 0 || (!a.lastModifiedExact && ahead == 1);
}

}  // namespace

std::int64_t secondsOfMilliseconds(std::int64_t milliseconds) {
  return milliseconds >= 0 ? milliseconds / 1000 : -((-milliseconds + 999) / 1000);
}

void ObjectTimes::keepIn(ChangeLog& log) {
  std::vector<ObjectTimeRecord> records = log.objectTimes();
  {
    std::lock_guard lock(mutex_);
    for (auto& r : records) {
      std::string key = r.key;
      known_.insert_or_assign(std::move(key), std::move(r));
    }
  }
  log_ = &log;
}

std::optional<ObjectTimeRecord> ObjectTimes::find(const std::string& key, const std::string& etag,
                                                  std::int64_t lastModified, bool exact) const {
  std::lock_guard lock(mutex_);
  const auto it = known_.find(key);
  if (it == known_.end() || it->second.etag != etag ||
      !sameMoment(it->second, lastModified, exact)) {
    return std::nullopt;
  }
  return it->second;
}

void ObjectTimes::learn(const std::vector<ObjectTimeRecord>& records) {
  std::vector<ObjectTimeRecord> changed;
  {
    std::lock_guard lock(mutex_);
    for (const ObjectTimeRecord& r : records) {
      auto [it, added] = known_.try_emplace(r.key, r);
      if (!added) {
        ObjectTimeRecord& old = it->second;
        const bool same = old.etag == r.etag && old.mtime == r.mtime &&
                          sameMoment(old, r.lastModified, r.lastModifiedExact);
        if (same && (old.lastModifiedExact || !r.lastModifiedExact)) continue;
        old = r;
      }
      changed.push_back(r);
    }
  }
  ChangeLog* log = log_;
  if (!log || changed.empty()) return;
  try {
    log->storeObjectTimes(changed);
  } catch (const std::exception& e) {
    hostlog::warning(std::string("cannot keep the objects' times for the next start: ") + e.what());
  }
}

void ObjectTimes::forget(const std::vector<std::string>& keys) {
  {
    std::lock_guard lock(mutex_);
    for (const std::string& key : keys) known_.erase(key);
  }
  ChangeLog* log = log_;
  if (!log || keys.empty()) return;
  try {
    log->forgetObjectTimes(keys);
  } catch (const std::exception& e) {
    hostlog::warning(std::string("cannot forget the times of removed objects: ") + e.what());
  }
}

}  // namespace corvane::syncengine
