#include "store_capabilities.h"

#include <exception>

#include "host_log.h"

namespace corvane::syncengine {
namespace {

constexpr const char* kIfNoneMatchNote = "conditions.if_none_match";
constexpr const char* kIfMatchNote = "conditions.if_match";
// An ETag no object has: the MD5 of some bytes is never all zeros in
// practice, and a multipart ETag has a "-".
constexpr const char* kNoSuchEtag = "00000000000000000000000000000000";

Conditions parseConditions(const std::optional<std::string>& text) {
  if (!text) return Conditions::unknown;
  for (Conditions c : {Conditions::honoured, Conditions::unsupported, Conditions::ignored}) {
    if (*text == conditionsText(c)) return c;
  }
  return Conditions::unknown;
}

}  // namespace

const char* conditionsText(Conditions c) {
  switch (c) {
    case Conditions::honoured:
      return "honoured";
    case Conditions::unsupported:
      return "unsupported";
    case Conditions::ignored:
      return "ignored";
    case Conditions::unknown:
      break;
  }
  return "unknown";
}

StoreCapabilities::StoreCapabilities(const s3::S3Client& client, std::string probeKey)
    : client_(client), probeKey_(std::move(probeKey)) {}

Conditions StoreCapabilities::ifNoneMatch() const {
  std::lock_guard lock(mutex_);
  return ifNoneMatch_;
}

Conditions StoreCapabilities::ifMatch() const {
  std::lock_guard lock(mutex_);
  return ifMatch_;
}

std::optional<Conditions> StoreCapabilities::refusedWrite(const s3::S3PutOptions& options) const {
  try {
    client_.putBytes(probeKey_, "", options);
    return Conditions::ignored;
  } catch (const s3::S3Error& e) {
    if (e.isPreconditionFailed()) return Conditions::honoured;
    if (e.httpStatus() == 501) return Conditions::unsupported;
    hostlog::warning(std::string("cannot find out what the store does with conditional writes: ") +
                     e.what());
  }
  return std::nullopt;
}

void StoreCapabilities::settle(ChangeLog* log, const std::string& scopeName) {
  Conditions ifNoneMatch = Conditions::unknown;
  Conditions ifMatch = Conditions::unknown;
  bool kept = false;
  if (log) {
    try {
      ifNoneMatch = parseConditions(log->storageNote(kIfNoneMatchNote));
      ifMatch = parseConditions(log->storageNote(kIfMatchNote));
    } catch (const std::exception&) {
      ifNoneMatch = ifMatch = Conditions::unknown;  // asked again
    }
    kept = ifNoneMatch != Conditions::unknown && ifMatch != Conditions::unknown;
  }
  if (!kept) {
    s3::S3PutOptions options;
    options.ifNoneMatch = true;
    // The first write makes the probe where none is, or is refused over an
    // earlier run's: only a write over it tells what the store does.
    const auto first = refusedWrite(options);
    bool probeThere = first && *first != Conditions::unsupported;
    auto outcome = first;
    if (first == Conditions::ignored) outcome = refusedWrite(options);
    ifNoneMatch = outcome.value_or(Conditions::unknown);
    if (first == Conditions::unsupported) {
      try {
        client_.putBytes(probeKey_, "");
        probeThere = true;
      } catch (const s3::S3Error&) {
      }
    }
    if (probeThere) {
      s3::S3PutOptions over;
      over.ifMatch = kNoSuchEtag;
      ifMatch = refusedWrite(over).value_or(Conditions::unknown);
    }
    // Whatever the writes above made goes: the bucket is the user's, and
    // other tools would show the object.
    if (first || probeThere) {
      try {
        client_.remove(probeKey_);
      } catch (const s3::S3Error& e) {
        hostlog::warning(std::string("cannot remove the object that tried the store's "
                                     "conditional writes: ") + e.what());
      }
    }
    if (log) {
      try {
        if (ifNoneMatch != Conditions::unknown) {
          log->keepStorageNote(kIfNoneMatchNote, conditionsText(ifNoneMatch));
        }
        if (ifMatch != Conditions::unknown) {
          log->keepStorageNote(kIfMatchNote, conditionsText(ifMatch));
        }
      } catch (const std::exception& e) {
        hostlog::warning(std::string("cannot keep what the store does with conditional writes: ") +
                         e.what());
      }
    }
  }
  {
    std::lock_guard lock(mutex_);
    ifNoneMatch_ = ifNoneMatch;
    ifMatch_ = ifMatch;
  }
  const bool both = ifNoneMatch == Conditions::honoured && ifMatch == Conditions::honoured;
  const std::string line = "scope " + scopeName + ": conditional writes If-None-Match " +
                           conditionsText(ifNoneMatch) + ", If-Match " + conditionsText(ifMatch) +
                           (kept ? " (found out before)" : "") +
                           (both ? "" : "; writes look at the object first");
  if (ifNoneMatch == Conditions::ignored || ifMatch == Conditions::ignored) {
    hostlog::warning(line);
  } else {
    hostlog::info(line);
  }
}

}  // namespace corvane::syncengine
