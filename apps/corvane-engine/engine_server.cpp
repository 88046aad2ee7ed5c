#include "engine_server.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "api_error.h"
#include "elastic_task_queue.h"
#include "engine/json_text.h"
#include "host_log.h"
#include "item_json.h"
#include "request_decoding.h"

namespace corvane::syncengine {
namespace {

constexpr std::string_view kScopesPath = "/v1/scopes";
constexpr const char* kShuttingDown = "The engine is shutting down.";
constexpr const char* kWrongToken = "The token is missing or wrong; read it again from engine.json.";

std::string messageBody(const std::string& message) {
  return JsonObjectWriter().addString("message", message).str();
}

// Compares without an early exit, so the time taken tells nothing about how
// much of a guessed token was right.
bool sameSecret(std::string_view given, std::string_view expected) {
  unsigned char difference = given.size() == expected.size() ? 0 : 1;
  for (std::size_t i = 0; i < given.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i] ^ expected[i % expected.size()]);
  }
  return difference == 0;
}

// File-system failures in words a user can act on, with the matching status.
EngineServer::Answer systemFailure(const std::system_error& e) {
  const std::string detail = std::string(e.what()) + ".";
  switch (e.code().value()) {
    case EACCES:
    case EPERM:
    case EROFS:
      return {403, messageBody("The engine is not allowed to do that: " + detail)};
    case ENAMETOOLONG:
      return {400, messageBody("A name or path is too long for the file system: " + detail)};
    case ENOSPC:
    case EDQUOT:
      return {507, messageBody("The disk is full: " + detail)};
    case EXDEV:
      return {500, messageBody(
                       "The scope's folder spans several file systems, which the engine does not "
                       "support: " +
                       detail)};
    default:
      return {500, messageBody("The engine failed: " + detail)};
  }
}

// The sentence for an error answer that the HTTP library made before the
// request reached the engine.
std::string libraryErrorMessage(int status) {
  switch (status) {
    case 400:
      return "The request is not valid HTTP; check the request line and headers.";
    case 404:
      return "There is no such endpoint; the engine serves /v1/scopes.";
    case 405:
      return "The engine does not take this method; use GET or POST.";
    case 408:
      return "The request's head did not arrive in time.";
    case 411:
      return "The engine takes a request body only with a Content-Length.";
    case 413:
      return "The request body is too large; the engine takes small JSON bodies only.";
    case 414:
      return "The request target is too long.";
    case 431:
      return "The request's head is too large.";
    case 503:
      return "The engine is busy with too many connections; try again shortly.";
    default:
      return "The request failed with HTTP status " + std::to_string(status) + ".";
  }
}

void logLine(const std::string& method, const std::string& target, int status,
             std::chrono::steady_clock::duration took, const std::string& body) {
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
  std::string line = method + " " + target + " " + std::to_string(status) + " " +
                     std::to_string(micros / 1000) + "." + std::to_string(micros % 1000 / 100) +
                     " ms";
  if (status != 200) line += " " + body;
  // A refusal is part of a client's normal work; a failure of the engine is
  // not.
  const hostlog::Level level = status == 200  ? hostlog::Level::debug
                               : status >= 500 ? hostlog::Level::error
                                               : hostlog::Level::info;
  hostlog::write(level, line);
}

}  // namespace

EngineServer::EngineServer(std::vector<ScopeService*> scopes, std::string token, bool verbose,
                           ServerLimits limits)
    : scopes_(std::move(scopes)),
      expectedAuthorization_("Bearer " + token),
      verbose_(verbose),
      server_(
          limits, [this](const httplib::Request& request) { return admit(request); },
          [](int status) { return messageBody(libraryErrorMessage(status)); }) {
  // Refusals beyond the connection limit run on workers too: leave room.
  const std::size_t maxThreads = limits.maxConnections + 256;
  server_.new_task_queue = [maxThreads] { return new ElasticTaskQueue(maxThreads); };
  server_.set_keep_alive_max_count(100'000);
  // SO_REUSEADDR only: the library's default also sets SO_REUSEPORT, which
  // would let a second engine bind the same fixed port.
  server_.set_socket_options([this](int sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listenSocket_ = sock;
  });
  auto serve = [this](const httplib::Request& request, httplib::Response& response) {
    Answer answer = handle(request.method, request.target,
                           request.get_header_value("Authorization"), request.body);
    response.status = answer.status;
    response.set_content(std::move(answer.body), "application/json");
  };
  // Every method reaches the token check; route() answers 405 for the ones
  // an endpoint does not take.
  server_.Get(".*", serve);
  server_.Post(".*", serve);
  server_.Put(".*", serve);
  server_.Delete(".*", serve);
  server_.Patch(".*", serve);
  server_.Options(".*", serve);
}

std::optional<GuardedHttpServer::Refusal> EngineServer::admit(const httplib::Request& request) {
  {
    std::lock_guard lock(drainMutex_);
    if (draining_) return GuardedHttpServer::Refusal{503, messageBody(kShuttingDown)};
  }
  if (!sameSecret(request.get_header_value("Authorization"), expectedAuthorization_)) {
    return GuardedHttpServer::Refusal{401, messageBody(kWrongToken)};
  }
  return std::nullopt;
}

int EngineServer::bind(int port) {
  const bool bound = port == 0 ? (port = server_.bind_to_any_port("127.0.0.1")) > 0
                               : server_.bind_to_port("127.0.0.1", port);
  if (!bound) {
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) +
                             " (is the port taken?)");
  }
  // The library listens with a tiny fixed backlog; a burst of new connections
  // from a busy client would then wait for SYN retries. Listening again on
  // the bound socket only raises the backlog.
  if (listenSocket_ >= 0) ::listen(listenSocket_, SOMAXCONN);
  return port;
}

bool EngineServer::run() { return server_.listen_after_bind(); }

void EngineServer::stop() { server_.stop(); }

void EngineServer::selfCheck(int port) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(5);
  client.set_read_timeout(5);
  const httplib::Headers headers = {{"Authorization", expectedAuthorization_}};
  for (int attempt = 0; attempt < 200 && !server_.is_running(); ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  selfChecking_ = true;
  auto get = client.Get("/v1/scopes", headers);
  auto post = client.Post("/v1/scopes", headers, "{}",
                          "application/json");  // 405, but through the body path
  selfChecking_ = false;
  if (!get || get->status != 200 || !post) {
    throw std::runtime_error("the engine does not answer on 127.0.0.1:" + std::to_string(port));
  }
}

void EngineServer::drain() {
  std::unique_lock lock(drainMutex_);
  draining_ = true;
  drained_.wait(lock, [this] { return inFlight_ == 0; });
}

EngineServer::Answer EngineServer::handle(const std::string& method, const std::string& target,
                                          const std::string& authorization,
                                          const std::string& body) {
  const auto started = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(drainMutex_);
    if (draining_) return {503, messageBody(kShuttingDown)};
    ++inFlight_;
  }
  Answer answer;
  try {
    if (!sameSecret(authorization, expectedAuthorization_)) {
      throw ApiError(401, kWrongToken);
    }
    const std::size_t mark = target.find('?');
    const std::string path = percentDecode(target.substr(0, mark));
    const std::string query = mark == std::string::npos ? std::string() : target.substr(mark + 1);
    answer = route(method, path, query, body);
  } catch (const ApiError& e) {
    answer = {e.status(), messageBody(e.message())};
  } catch (const std::system_error& e) {
    answer = systemFailure(e);
  } catch (const std::exception& e) {
    answer = {500, messageBody(std::string("The engine failed: ") + e.what() + ".")};
  }
  if ((answer.status != 200 || verbose_) && !selfChecking_) {
    logLine(method, target, answer.status, std::chrono::steady_clock::now() - started, answer.body);
  }
  {
    std::lock_guard lock(drainMutex_);
    if (--inFlight_ == 0) drained_.notify_all();
  }
  return answer;
}

ScopeService* EngineServer::scopeWithId(const std::string& id) const {
  for (ScopeService* scope : scopes_) {
    if (scope->record().id() == id) return scope;
  }
  throw notFound("There is no scope \"" + id + "\"; GET /v1/scopes lists the scopes.");
}

EngineServer::Answer EngineServer::route(const std::string& method, const std::string& path,
                                         const std::string& query, const std::string& body) {
  if (path == kScopesPath) {
    if (method != "GET") throw ApiError(405, "Use GET for /v1/scopes.");
    std::vector<Scope> records;
    for (ScopeService* scope : scopes_) records.push_back(scope->record());
    return {200, JsonObjectWriter().addRaw("scopes", toJson(records)).str()};
  }
  const std::string prefix = std::string(kScopesPath) + "/";
  const std::size_t slash = path.rfind('/');
  if (!path.starts_with(prefix) || slash < prefix.size()) {
    throw notFound("There is no endpoint " + path + "; the engine serves /v1/scopes.");
  }
  const std::string operation = path.substr(slash + 1);
  ScopeService& scope = *scopeWithId(path.substr(prefix.size(), slash - prefix.size()));

  const bool isRead = operation == "list" || operation == "changes";
  static const char* const kPosts[] = {"mkdir", "delete", "rename",        "move",
                                       "fetch", "upload", "conflict-copy", "set-mod-time"};
  bool isPost = false;
  for (const char* name : kPosts) isPost = isPost || operation == name;
  if (!isRead && !isPost) throw notFound("There is no operation \"" + operation + "\" on a scope.");
  if (isRead && method != "GET") throw ApiError(405, "Use GET for " + operation + ".");
  if (isPost && method != "POST") throw ApiError(405, "Use POST for " + operation + ".");

  if (operation == "list") {
    const std::vector<ItemEntry> entries = scope.list(Query(query).required("dir"));
    return {200, JsonObjectWriter().addRaw("entries", toJson(entries)).str()};
  }
  if (operation == "changes") return {200, toJson(scope.changes(Query(query).required("anchor")))};

  const JsonBody json(body);
  auto pathAnswer = [](const std::string& p) {
    return JsonObjectWriter().addString("path", p).str();
  };
  if (operation == "mkdir") return {200, pathAnswer(scope.mkdir(json.string("path")))};
  if (operation == "delete") {
    return {200, JsonObjectWriter()
                     .addStringArray("deleted", scope.delete_(json.stringArray("paths")))
                     .str()};
  }
  if (operation == "rename")
    return {200, pathAnswer(scope.rename(json.string("path"), json.string("name")))};
  if (operation == "move")
    return {200, pathAnswer(scope.move(json.string("path"), json.string("dir")))};
  if (operation == "fetch") {
    // A range is asked for with either key; without both, the whole file.
    const auto offset = json.optionalCount("offset");
    const auto length = json.optionalCount("length");
    std::optional<ByteSpan> span;
    if (offset || length) {
      span = ByteSpan{offset.value_or(0), 0};
      span->length = std::min(length.value_or(INT64_MAX), INT64_MAX - span->offset);
    }
    return {200, toJson(scope.fetch(json.string("path"), json.string("dest"), span))};
  }
  if (operation == "upload") {
    return {200, toJson(scope.upload(json.string("path"), json.string("source"),
                                     json.string("version")))};
  }
  if (operation == "set-mod-time") {
    return {200, toJson(scope.setModTime(json.string("path"), json.string("mod_time"),
                                         json.string("version")))};
  }
  return {200, toJson(scope.conflictCopy(json.string("path"), json.string("source")))};
}

}  // namespace corvane::syncengine
