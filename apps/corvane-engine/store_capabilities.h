// What one bucket's store does that the engine cannot take for granted,
// found out once and kept: in memory, and in the scope's database when given
// one, so that a restart does not ask again. Today: whether it honours the
// conditions of a write (If-None-Match: * and If-Match). Stores differ: some
// honour both, some answer 501 to a condition they do not support, and some
// write regardless and answer 200. Writes rely on the conditions only where
// they are honoured; elsewhere they look first (a HEAD) and, where the store
// refuses conditions, send none.
//
// The probe writes the empty object kProbeName in the scope's root folder
// (listings pass it over): a PUT with If-None-Match: * makes it when it is
// missing, a second one over it must be refused with 412, and a PUT with
// If-Match of an ETag it cannot have must be refused with 412 too. Then the
// probe object is removed: other clients of the bucket never meet it. A probe
// the store fails (no access, unreachable) decides nothing: writes then
// look first, and the next start asks again.
//
// Owned by BucketStorage. Thread-safe: the outcome is set once, under a
// mutex, before writes rely on it; reading it takes the mutex.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "change_log.h"
#include "s3/s3_client.h"

namespace corvane::syncengine {

enum class Conditions {
  unknown,      // not found out (yet): look first
  honoured,     // a refused condition is answered 412
  unsupported,  // conditions are answered 501: send none, look first
  ignored,      // conditions are written over: look first
};

// The word for `c` in the log and in the database.
const char* conditionsText(Conditions c);

class StoreCapabilities {
 public:
  // `probeKey` is the key of the probe object.
  StoreCapabilities(const s3::S3Client& client, std::string probeKey);

  // Takes what `log` kept (may be null), or probes the store and keeps the
  // outcome there; then tells it in one line of the log.
  void settle(ChangeLog* log, const std::string& scopeName);

  Conditions ifNoneMatch() const;
  Conditions ifMatch() const;

 private:
  // What the store did with one conditional PUT of the probe object that it
  // must refuse; nothing when the probe failed otherwise.
  std::optional<Conditions> refusedWrite(const s3::S3PutOptions& options) const;

  const s3::S3Client& client_;
  const std::string probeKey_;
  mutable std::mutex mutex_;
  Conditions ifNoneMatch_ = Conditions::unknown;  // guarded by mutex_
  Conditions ifMatch_ = Conditions::unknown;      // guarded by mutex_
};

}  // namespace corvane::syncengine
