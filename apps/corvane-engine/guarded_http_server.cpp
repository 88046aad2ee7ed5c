#include "guarded_http_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "deadline_socket_stream.h"

namespace corvane::syncengine {
namespace {

using Clock = DeadlineSocketStream::Clock;

// What the handlers of the library need to know about the connection they
// run on. A connection is served on one thread from start to end, so the
// thread is the connection.
struct ConnectionState {
  DeadlineSocketStream* stream = nullptr;
  bool bodyLeftUnread = false;  // a refusal answered before the body came
};
thread_local ConnectionState* tConnection = nullptr;

const char* reason(int status) {
  switch (status) {
    case 408:
      return "Request Timeout";
    case 431:
      return "Request Header Fields Too Large";
    case 503:
      return "Service Unavailable";
    default:
      return "Error";
  }
}

// Stops sending, then reads and drops what the client still sends until it
// closes or `linger` passes. Closing at once with unread bytes would reset the
// connection, and the client could lose the answer it has not read yet.
void lingerAndClose(int sock, std::chrono::milliseconds linger) {
  ::shutdown(sock, SHUT_WR);
  const auto until = Clock::now() + linger;
  char sink[16384];
  while (true) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) break;
    pollfd entry{sock, POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    const ssize_t got = ::recv(sock, sink, sizeof sink, MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) break;
  }
  ::close(sock);
}

void closeNow(int sock) {
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
}

bool hasBody(const httplib::Request& request) {
  if (request.has_header("Transfer-Encoding")) return true;
  const std::string length = request.get_header_value("Content-Length");
  return !length.empty() && length.find_first_not_of('0') != std::string::npos;
}

}  // namespace

GuardedHttpServer::GuardedHttpServer(ServerLimits limits, Admission admission,
                                     ErrorBody errorBody)
    : limits_(limits), admission_(std::move(admission)), errorBody_(std::move(errorBody)) {
  set_tcp_nodelay(true);
  set_payload_max_length(limits_.maxBodyBytes);
  // Only for the Keep-Alive header that the library writes; the waiting
  // itself is done in serve().
  set_keep_alive_timeout(std::max<time_t>(
      1, std::chrono::duration_cast<std::chrono::seconds>(limits_.keepAliveIdle).count()));

  auto refuse = [this](const httplib::Request& request, httplib::Response& response) {
    std::optional<Refusal> refusal = screen(request);
    if (!refusal) return false;
    response.status = refusal->status;
    response.set_content(std::move(refusal->body), "application/json");
    if (hasBody(request)) {
      response.set_header("Connection", "close");
      if (tConnection != nullptr) tConnection->bodyLeftUnread = true;
    }
    return true;
  };
  set_pre_routing_handler([refuse](const httplib::Request& request, httplib::Response& response) {
    return refuse(request, response) ? HandlerResponse::Handled : HandlerResponse::Unhandled;
  });
  // A client that waits for "100 Continue" learns of the refusal instead.
  set_expect_100_continue_handler(
      [refuse](const httplib::Request& request, httplib::Response& response) {
        return refuse(request, response) ? response.status : 100;
      });
  set_error_handler(HandlerWithResponse([this](const httplib::Request&,
                                                httplib::Response& response) {
    // The library says 400 for any head it could not read; say why.
    if (tConnection != nullptr && tConnection->stream != nullptr) {
      const auto fault = tConnection->stream->fault();
      if (fault == DeadlineSocketStream::Fault::kHeadTimeout) response.status = 408;
      if (fault == DeadlineSocketStream::Fault::kHeadTooLarge) response.status = 431;
    }
    if (response.body.empty()) {
      response.set_content(errorBody_(response.status), "application/json");
    }
    // Handled also for a body made earlier: only then does the library give
    // an answer written outside the routing (a refused "100-continue") its
    // Content-Length.
    return HandlerResponse::Handled;
  }));
}

std::optional<GuardedHttpServer::Refusal> GuardedHttpServer::screen(
    const httplib::Request& request) const {
  if (std::optional<Refusal> refusal = admission_(request)) return refusal;
  if (request.has_header("Transfer-Encoding")) return Refusal{411, errorBody_(411)};
  const std::string length = request.get_header_value("Content-Length");
  if (length.empty()) return std::nullopt;
  if (length.size() > 18 || !std::all_of(length.begin(), length.end(), [](unsigned char c) {
        return std::isdigit(c) != 0;
      })) {
    return Refusal{400, errorBody_(400)};
  }
  if (std::stoull(length) > limits_.maxBodyBytes) return Refusal{413, errorBody_(413)};
  return std::nullopt;
}

bool GuardedHttpServer::process_and_close_socket(int sock) {
  if (++open_ > limits_.maxConnections) {
    // A refusal holds no place, so that a place freed meanwhile goes to the
    // next client. Said at once, so that the client knows to come back
    // instead of waiting.
    --open_;
    answerAndClose(sock, 503, "Retry-After: 1\r\n");
    return true;
  }
  struct Count {
    std::atomic<std::size_t>& open;
    ~Count() { --open; }
  } counted{open_};
  int yes = 1;
  ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  serve(sock);
  return true;
}

void GuardedHttpServer::serve(int sock) {
  DeadlineSocketStream stream(sock, limits_.writeTimeout);
  ConnectionState state{&stream, false};
  tConnection = &state;
  struct Forget {
    ~Forget() { tConnection = nullptr; }
  } forget;

  // Waits in short steps, so that stop() ends idle connections promptly.
  auto awaitRequest = [&](Clock::time_point until) {
    while (svr_sock_ != INVALID_SOCKET) {
      const auto step = std::min(until, Clock::now() + std::chrono::milliseconds(100));
      if (stream.waitForRequest(step)) return true;
      if (Clock::now() >= until) return false;
    }
    return false;
  };

  // A new connection's first head counts from the connection's start; later
  // ones from their first byte.
  Clock::time_point started = Clock::now();
  bool first = true;
  for (std::size_t left = keep_alive_max_count_; left > 0; --left) {
    if (!awaitRequest(first ? started + limits_.headDeadline
                            : Clock::now() + limits_.keepAliveIdle)) {
      break;  // nothing was asked: no answer is owed
    }
    if (!first) started = Clock::now();
    first = false;

    stream.beginHead(started + limits_.headDeadline, limits_.maxHeadBytes);
    bool closeAfter = false;
    const bool ok = process_request(stream, left == 1 || svr_sock_ == INVALID_SOCKET, closeAfter,
                                    [&](httplib::Request&) {
                                      stream.beginBody(Clock::now() + limits_.bodyDeadline);
                                    });
    const auto fault = stream.fault();
    if ((fault == DeadlineSocketStream::Fault::kHeadTimeout ||
         fault == DeadlineSocketStream::Fault::kHeadTooLarge) &&
        !stream.wroteAnything()) {
      // Cut inside the request line, where the library gives up silently.
      answerAndClose(sock, fault == DeadlineSocketStream::Fault::kHeadTimeout ? 408 : 431, "");
      return;
    }
    if (state.bodyLeftUnread || (fault != DeadlineSocketStream::Fault::kNone && stream.inHead())) {
      lingerAndClose(sock, limits_.lingerTime);
      return;
    }
    if (!ok || closeAfter || fault != DeadlineSocketStream::Fault::kNone) break;
  }
  closeNow(sock);
}

void GuardedHttpServer::answerAndClose(int sock, int status, const std::string& extraHeaders) {
  const std::string body = errorBody_(status);
  const std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) +
                             "\r\nContent-Type: application/json\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\nConnection: close\r\n" +
                             extraHeaders + "\r\n" + body;
  // A few hundred bytes fit any socket buffer; a client that cannot take
  // them loses the answer, not a thread.
  [[maybe_unused]] const ssize_t sent =
      ::send(sock, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (status == 503) {
    // No lingering: the engine is out of places, and a refusal that held its
    // descriptor for a while would take the ones its handlers need. The
    // request was small and is already sent; the client reads the answer
    // before it learns of the closed connection.
    closeNow(sock);
    return;
  }
  lingerAndClose(sock, limits_.lingerTime);
}

}  // namespace corvane::syncengine
