// How much of the engine any one connection may hold, and for how long. The
// engine listens on 127.0.0.1, where every local user can connect without the
// token; these limits keep such a user from starving the clients that have it.
// Tests shrink them to see each limit act within milliseconds.
#pragma once

#include <chrono>
#include <cstddef>

namespace corvane::syncengine {

struct ServerLimits {
  using Duration = std::chrono::milliseconds;

  // From the connection's start (or the first byte of a later request on a
  // kept-alive connection) to the blank line that ends the head. Every byte
  // counts against it, so a client cannot keep a head open by trickling.
  Duration headDeadline = std::chrono::seconds(10);
  // The whole request line and headers.
  std::size_t maxHeadBytes = 64 * 1024;
  // The API's bodies are small JSON objects; anything larger is refused from
  // its Content-Length before a byte of it is read.
  std::size_t maxBodyBytes = 1024 * 1024;
  // From the end of the head to the end of the body.
  Duration bodyDeadline = std::chrono::seconds(10);
  // Each write of an answer; a client that stops reading loses its connection.
  Duration writeTimeout = std::chrono::seconds(30);
  // An idle kept-alive connection waits this long for its next request.
  Duration keepAliveIdle = std::chrono::seconds(2);
  // After a refusal that leaves a body unread, the rest is read and dropped
  // for at most this long before the socket closes: closing with unread bytes
  // resets the connection and the client may never see the answer.
  Duration lingerTime = std::chrono::seconds(2);
  // Open connections; the ones beyond are answered 503 at once. The engine
  // lowers this to what its open-files limit allows.
  std::size_t maxConnections = 4096;
};

}  // namespace corvane::syncengine
