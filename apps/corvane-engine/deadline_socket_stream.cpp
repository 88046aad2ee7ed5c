#include "deadline_socket_stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace corvane::syncengine {
namespace {

// Fills ip and port from getpeername() or getsockname().
template <typename Lookup>
void describe(int sock, Lookup lookup, std::string& ip, int& port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  ip.clear();
  port = 0;
  if (lookup(sock, reinterpret_cast<sockaddr*>(&address), &length) != 0) return;
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    port = ntohs(v4->sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
    ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    port = ntohs(v6->sin6_port);
  }
  ip = text;
}

}  // namespace

void DeadlineSocketStream::beginHead(Clock::time_point deadline, std::size_t maxHeadBytes) {
  deadline_ = deadline;
  maxHeadBytes_ = maxHeadBytes;
  bytesRead_ = 0;
  inHead_ = true;
  wrote_ = false;
  fault_ = Fault::kNone;
}

void DeadlineSocketStream::beginBody(Clock::time_point deadline) {
  deadline_ = deadline;
  inHead_ = false;
}

bool DeadlineSocketStream::waitFor(short events, Clock::time_point until) const {
  while (true) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return false;
    pollfd entry{sock_, events, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left, 1'000'000)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

bool DeadlineSocketStream::is_readable() const {
  return begin_ < end_ || waitFor(POLLIN, deadline_);
}

bool DeadlineSocketStream::is_writable() const {
  return waitFor(POLLOUT, Clock::now() + writeTimeout_);
}

void DeadlineSocketStream::limitBlockingSends() {
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(writeTimeout_).count();
  timeval timeout{static_cast<time_t>(micros / 1'000'000),
                  static_cast<suseconds_t>(micros % 1'000'000)};
  ::setsockopt(sock_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

ssize_t DeadlineSocketStream::read(char* ptr, std::size_t size) {
  if (inHead_) {
    if (bytesRead_ >= maxHeadBytes_) {
      fault_ = Fault::kHeadTooLarge;
      return -1;
    }
    size = std::min(size, maxHeadBytes_ - bytesRead_);
  }
  if (begin_ == end_) {
    // Most reads find data waiting; poll only when there is none.
    ssize_t got = ::recv(sock_, buffer_, sizeof buffer_, MSG_DONTWAIT);
    while (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      if (errno != EINTR && !waitFor(POLLIN, deadline_)) {
        fault_ = inHead_ ? Fault::kHeadTimeout : Fault::kBodyTimeout;
        return -1;
      }
      got = ::recv(sock_, buffer_, sizeof buffer_, MSG_DONTWAIT);
    }
    if (got <= 0) return got;
    begin_ = 0;
    end_ = static_cast<std::size_t>(got);
  }
  const std::size_t taken = std::min(size, end_ - begin_);
  std::memcpy(ptr, buffer_ + begin_, taken);
  begin_ += taken;
  bytesRead_ += taken;
  return static_cast<ssize_t>(taken);
}

ssize_t DeadlineSocketStream::write(const char* ptr, std::size_t size) {
  // One blocking send hands a large answer to the kernel in one piece, which
  // keeps segments full; the socket's send timeout bounds a client that
  // stops reading.
  wrote_ = true;
  while (true) {
    const ssize_t sent = ::send(sock_, ptr, size, MSG_NOSIGNAL);
    if (sent >= 0) return sent;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) fault_ = Fault::kWriteTimeout;
    return -1;
  }
}

bool DeadlineSocketStream::waitForRequest(Clock::time_point until) const {
  return begin_ < end_ || waitFor(POLLIN, until);
}

void DeadlineSocketStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  describe(sock_, ::getpeername, ip, port);
}

void DeadlineSocketStream::get_local_ip_and_port(std::string& ip, int& port) const {
  describe(sock_, ::getsockname, ip, port);
}

}  // namespace corvane::syncengine
