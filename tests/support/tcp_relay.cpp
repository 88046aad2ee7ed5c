#include "support/tcp_relay.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace corvane::testing {
namespace {

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

// Everything of `data` into `fd`; false when the peer is gone.
bool sendAll(int fd, const char* data, ssize_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, static_cast<size_t>(size), MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= n;
  }
  return true;
}

}  // namespace

SilentPort::SilentPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(fd_, SOMAXCONN) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd_ >= 0) ::close(fd_);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
}

SilentPort::~SilentPort() { ::close(fd_); }

TcpRelay::TcpRelay(int targetPort) : targetPort_(targetPort) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener_, SOMAXCONN) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (listener_ >= 0) ::close(listener_);
    throw std::runtime_error("the relay cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

TcpRelay::~TcpRelay() {
  stopping_.store(true);
  acceptor_.join();
  std::vector<std::thread> relays;
  {
    std::lock_guard lock(mutex_);
    relays.swap(relays_);
  }
  for (auto& t : relays) t.join();
  ::close(listener_);
}

void TcpRelay::acceptLoop() {
  while (!stopping_.load()) {
    pollfd waiting{listener_, POLLIN, 0};
    if (::poll(&waiting, 1, 50) <= 0) continue;
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    std::lock_guard lock(mutex_);
    relays_.emplace_back([this, client] { relay(client); });
  }
}

void TcpRelay::relay(int client) {
  const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in target = loopback(targetPort_);
  if (server < 0 ||
      ::connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
    if (server >= 0) ::close(server);
    ::close(client);
    return;
  }
  const int one = 1;
  ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  char buffer[64 * 1024];
  bool open = true;
  while (open && !stopping_.load()) {
    if (paused_.load()) {
      // Nothing is read, so nothing passes; the peers' bytes wait.
      ::usleep(20'000);
      continue;
    }
    pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    if (::poll(ends, 2, 50) <= 0) continue;
    for (int i = 0; i < 2 && open; ++i) {
      if (!(ends[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::recv(ends[i].fd, buffer, sizeof buffer, 0);
      open = n > 0 && sendAll(ends[1 - i].fd, buffer, n);
    }
  }
  ::close(client);
  ::close(server);
}

}  // namespace corvane::testing
