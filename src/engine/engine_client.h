// EngineClient: the extension's only way to the sync engine.
//
// One per domain, shared by the extension and its enumerators; every member
// may be called from any thread at once. Immutable after construction but
// for two things it learns: that its engine refuses ranged fetches, and that
// it cannot set a file's time alone (atomic flags that are only ever set). Each call reads the
// discovery file "engine.json" anew, makes one HTTP exchange on 127.0.0.1 with the bearer token,
// and blocks until the engine answers (idle limit 300 s, no overall deadline). Failures throw
// EngineError, DecodingError (a 200 answer that does not fit) or the file errors of local copies.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/records.h"

namespace corvane {

// What a ranged fetch put into its destination: the object's bytes from
// `offset`, `length` of them (the file's size), of the version `entry` names.
struct FetchedRange {
  Entry entry;
  std::int64_t offset = 0;
  std::int64_t length = 0;

  bool reachesEnd() const { return offset + length == entry.size; }
};

class EngineClient {
 public:
  explicit EngineClient(std::string scopeID);

  const std::string& scopeID() const { return scopeID_; }

  // GET /v1/scopes.
  std::vector<Scope> scopes() const;

  // Namespace operations.
  std::vector<Entry> list(const std::string& dir) const;
  ChangeSet changes(const std::string& since) const;
  void mkdir(const std::string& path) const;
  void delete_(const std::vector<std::string>& paths) const;
  std::string rename(const std::string& path, const std::string& to) const;
  std::string move(const std::string& path, const std::string& to) const;

  // Content transfer. upload and conflictCopy stage a private copy of `from`
  // in the process's temporary folder and remove it when the answer has come.
  Entry fetch(const std::string& path, const std::filesystem::path& to) const;
  Entry upload(const std::string& path, const std::filesystem::path& from,
               const std::string& version) const;
  Entry conflictCopy(const std::string& path, const std::filesystem::path& from) const;

  // A range of the object into `to`: POST .../fetch with "path", "dest" and
  // the integers "offset" and "length" (both >= 0). An engine that knows them
  // writes the object's bytes [offset, offset + length), clipped to its size,
  // to the start of `to` (an empty file when offset >= size) and answers the
  // object's Entry. A length that runs past the largest offset is sent as
  // the rest of it.
  //
  // Older engines are handled: one that ignores the keys writes the whole
  // object, and the result then says so (offset 0, length = size). One that
  // refuses them (400 naming "offset" or "length", writing nothing) gets the
  // whole download instead, and once that has worked this client sends no
  // range again. A destination whose size fits neither the range nor the
  // Entry throws DecodingError (dataCorrupted); the file stays.
  // Throws std::system_error (EINVAL) for a negative offset or length,
  // before anything is sent.
  FetchedRange fetchRange(const std::string& path, const std::filesystem::path& to,
                          std::int64_t offset, std::int64_t length) const;

  // The file at `path` gets the modification time `seconds` since 1970 and
  // `nanoseconds` after them, without its bytes being sent again: POST
  // .../set-mod-time with "path", "mod_time" (an internet date-time with nine
  // fractional digits) and "version" (the file's version the change is
  // based on); the engine answers the file's Entry. Nothing when the engine
  // has no such operation: an engine from before it answers 404 saying that
  // there is no operation of that name, and once this client has learnt
  // that, it asks no more. A 404 about the file throws EngineError::notFound,
  // and a file no longer at `version` EngineError::conflict.
  std::optional<Entry> setModTime(const std::string& path, std::int64_t seconds,
                                  std::int64_t nanoseconds, const std::string& version) const;

  // Whether this client has learnt that its engine refuses ranged fetches.
  bool refusesRanges() const { return refusesRanges_.load(std::memory_order_relaxed); }

  // The request path prefix of this client's scope: "/v1/scopes/" + scopeID.
  std::string scopePath() const { return "/v1/scopes/" + scopeID_; }

 private:
  const std::string scopeID_;
  mutable std::atomic<bool> refusesRanges_{false};
  mutable std::atomic<bool> lacksSetModTime_{false};
};

}  // namespace corvane
