// EngineClient: the extension's only way to the sync engine.
//
// One per domain, immutable after construction, shared by the extension and
// its enumerators; every member may be called from any thread at once. Each
// call reads the discovery file "engine.json" anew, makes one HTTP exchange on
// 127.0.0.1 with the bearer token, and blocks until the engine answers (idle
// limit 300 s, no overall deadline). Failures throw EngineError, DecodingError
// (a 200 answer that does not fit) or the file errors of local copies.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/records.h"

namespace corvane {

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

  // The request path prefix of this client's scope: "/v1/scopes/" + scopeID.
  std::string scopePath() const { return "/v1/scopes/" + scopeID_; }

 private:
  const std::string scopeID_;
};

}  // namespace corvane
