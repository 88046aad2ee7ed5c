// The engine's HTTP service on 127.0.0.1: checks the bearer token, routes
// "/v1/scopes" and "/v1/scopes/<id>/<operation>" to the ScopeService of that
// scope, decodes query and JSON bodies strictly, and writes the answers and
// the {"message": ...} error bodies. One line per request goes to the log:
// at level debug when verbose, and always for failed requests (info for a
// refusal, error for a failure of the engine).
//
// Each connection is held to the limits of ServerLimits (see
// GuardedHttpServer): a request without the token, or with a body over the
// limit, is refused from its head before the body is read.
//
// Owned by the engine's main(); serves from a pool of its own threads
// between bind() and stop().
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "guarded_http_server.h"
#include "scope_service.h"
#include "server_limits.h"

namespace corvane::syncengine {

class EngineServer {
 public:
  EngineServer(std::vector<ScopeService*> scopes, std::string token, bool verbose,
               ServerLimits limits = {});

  // Binds 127.0.0.1:`port` (0: any free port) and returns the port. Throws
  // std::runtime_error when the port cannot be had.
  int bind(int port);
  // Serves until stop(); returns false when serving failed.
  bool run();
  // Once run() is under way: asks the engine itself for its scopes (a GET
  // and a POST), so that it is known to answer before its port is published.
  // This also lets the HTTP library finish its one-time set-up while no
  // other request runs. Throws std::runtime_error when no answer comes.
  void selfCheck(int port);
  // Closes the listening socket; run() then returns once the open
  // connections have ended.
  void stop();
  // From now on every request is answered 503; returns when no request is
  // working on a scope any more, so the scopes may be closed although idle
  // connections may still be open.
  void drain();

  // The answer to one request, without the transport: status and JSON body.
  // Public so tests can drive the routing without a socket.
  struct Answer {
    int status = 200;
    std::string body;
  };
  Answer handle(const std::string& method, const std::string& target,
                const std::string& authorization, const std::string& body);

 private:
  Answer route(const std::string& method, const std::string& path, const std::string& query,
               const std::string& body);
  ScopeService* scopeWithId(const std::string& id) const;
  // The refusals that need only a request's head.
  std::optional<GuardedHttpServer::Refusal> admit(const httplib::Request& request);

  std::vector<ScopeService*> scopes_;
  std::string expectedAuthorization_;
  bool verbose_;
  int listenSocket_ = -1;
  std::mutex drainMutex_;
  std::condition_variable drained_;
  int inFlight_ = 0;
  bool draining_ = false;
  std::atomic<bool> selfChecking_ = false;  // its requests are not logged
  GuardedHttpServer server_;
};

}  // namespace corvane::syncengine
