#include "engine/engine_client.h"

#include <utility>

#include "engine/decoding.h"
#include "engine/engine_error.h"
#include "engine/json_text.h"
#include "engine/query.h"
#include "engine/staging.h"
#include "engine/transport.h"
#include "platform/iso8601.h"

namespace corvane {
namespace {

std::string get(const std::string& path) { return transport::request("GET", path, std::nullopt); }

std::string post(const std::string& path, std::string body) {
  return transport::request("POST", path, std::optional<std::string>(std::move(body)));
}

}  // namespace

EngineClient::EngineClient(std::string scopeID) : scopeID_(std::move(scopeID)) {}

std::vector<Scope> EngineClient::scopes() const { return decode::scopesAnswer(get("/v1/scopes")); }

std::vector<Entry> EngineClient::list(const std::string& dir) const {
  return decode::entriesAnswer(get(scopePath() + "/list?" + query::build({{"dir", dir}})));
}

ChangeSet EngineClient::changes(const std::string& since) const {
  return decode::changeSet(
      get(scopePath() + "/changes?" + query::build({{"anchor", since}, {"refresh", "0"}})));
}

void EngineClient::mkdir(const std::string& path) const {
  decode::pathAnswer(
      post(scopePath() + "/mkdir", JsonObjectWriter().addString("path", path).str()));
}

void EngineClient::delete_(const std::vector<std::string>& paths) const {
  decode::deletedAnswer(
      post(scopePath() + "/delete", JsonObjectWriter().addStringArray("paths", paths).str()));
}

std::string EngineClient::rename(const std::string& path, const std::string& to) const {
  return decode::pathAnswer(
      post(scopePath() + "/rename",
           JsonObjectWriter().addString("path", path).addString("name", to).str()));
}

std::string EngineClient::move(const std::string& path, const std::string& to) const {
  return decode::pathAnswer(
      post(scopePath() + "/move",
           JsonObjectWriter().addString("path", path).addString("dir", to).str()));
}

Entry EngineClient::fetch(const std::string& path, const std::filesystem::path& to) const {
  return decode::entry(
      post(scopePath() + "/fetch", JsonObjectWriter()
                                       .addString("path", path)
                                       .addString("dest", std::filesystem::absolute(to).string())
                                       .str()));
}

namespace {

// Runs `send` with the path of a private copy of `source`; the copy is gone
// when this returns or throws. A failed copy throws before anything is sent.
template <typename Send>
Entry staged(const std::filesystem::path& source, Send&& send) {
  staging::StagingFile copy(source);
  return send(copy.path());
}

}  // namespace

Entry EngineClient::upload(const std::string& path, const std::filesystem::path& from,
                           const std::string& version) const {
  return staged(from, [&](const std::filesystem::path& source) {
    return decode::entry(post(scopePath() + "/upload", JsonObjectWriter()
                                                           .addString("path", path)
                                                           .addString("source", source.string())
                                                           .addString("version", version)
                                                           .str()));
  });
}

std::optional<Entry> EngineClient::setModTime(const std::string& path, std::int64_t seconds,
                                              std::int64_t nanoseconds,
                                              const std::string& version) const {
  if (lacksSetModTime_.load(std::memory_order_relaxed)) return std::nullopt;
  std::string message;
  const auto answer = transport::requestUnlessNotFound(
      "POST", scopePath() + "/set-mod-time",
      JsonObjectWriter()
          .addString("path", path)
          .addString("mod_time", platform::formatInternetDateTimeNanos(seconds, nanoseconds))
          .addString("version", version)
          .str(),
      message);
  if (answer) return decode::entry(*answer);
  // What the engine answers for an operation it does not have (a request
  // that reached no operation at all says so the same way).
  if (message.starts_with("There is no operation") || message.starts_with("There is no endpoint")) {
    lacksSetModTime_.store(true, std::memory_order_relaxed);
    return std::nullopt;
  }
  throw EngineError::notFound();
}

Entry EngineClient::conflictCopy(const std::string& path, const std::filesystem::path& from) const {
  return staged(from, [&](const std::filesystem::path& source) {
    return decode::entry(post(
        scopePath() + "/conflict-copy",
        JsonObjectWriter().addString("path", path).addString("source", source.string()).str()));
  });
}

}  // namespace corvane
