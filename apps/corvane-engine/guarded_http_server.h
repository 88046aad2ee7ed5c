// cpp-httplib's server with the connection handling that a service open to
// every local user needs. The library serves each connection on one thread
// and times out each read on its own, so a client that trickles a head byte by
// byte, or announces a large body, holds a thread and memory for as long as it
// likes. This server takes over the per-connection loop (the library's own
// extension point, as its TLS server uses) and keeps the library's parsing,
// routing and error answers:
//   - each head must be complete within its deadline and byte budget;
//     a head cut short is answered 408 or 431 and its connection closed;
//   - a request is admitted (token, state) from its head, before its body:
//     a refused one, and one whose Content-Length is over the limit, is
//     answered without its body being read;
//   - the connections beyond the limit are answered 503 at once;
//   - a new connection waits for its first request as long as a head may
//     take, a kept-alive one for its next request only briefly.
// Answers the library makes itself get their body from the errorBody
// function, as do this server's own refusals.
//
// Owned by its user like httplib::Server; configure before bind, then listen.
// Thread-safe as httplib::Server is: connections are served in parallel.
#pragma once

#include <httplib.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string>

#include "server_limits.h"

namespace corvane::syncengine {

class GuardedHttpServer : public httplib::Server {
 public:
  // A refusal made from a request's head: status and JSON body.
  struct Refusal {
    int status;
    std::string body;
  };
  // Decides from the head alone; nullopt admits the request.
  using Admission = std::function<std::optional<Refusal>(const httplib::Request&)>;
  // The JSON body of an error answer with this status.
  using ErrorBody = std::function<std::string(int status)>;

  GuardedHttpServer(ServerLimits limits, Admission admission, ErrorBody errorBody);

  const ServerLimits& limits() const { return limits_; }
  // Connections being served now.
  std::size_t openConnections() const { return open_.load(); }

 private:
  bool process_and_close_socket(int sock) override;
  void serve(int sock);
  // The first check of every request, before any body is read.
  std::optional<Refusal> screen(const httplib::Request& request) const;
  // Writes a complete answer made here (not by the library) and closes.
  void answerAndClose(int sock, int status, const std::string& extraHeaders);

  const ServerLimits limits_;
  const Admission admission_;
  const ErrorBody errorBody_;
  std::atomic<std::size_t> open_ = 0;
};

}  // namespace corvane::syncengine
