#include "support/store_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <utility>

namespace corvane::testing {
namespace {

int connectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool sendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Reads what comes; 0 at the end or on an error.
ssize_t receive(int fd, char* buffer, std::size_t size) {
  while (true) {
    const ssize_t n = ::recv(fd, buffer, size, 0);
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? 0 : n;
  }
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The Content-Length of a request head; 0 when it has none.
std::uint64_t contentLength(const std::string& head) {
  const std::string text = lower(head);
  const auto at = text.find("\r\ncontent-length:");
  if (at == std::string::npos) return 0;
  std::size_t i = at + 17;
  while (i < text.size() && text[i] == ' ') ++i;
  std::uint64_t value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') value = value * 10 + (text[i++] - '0');
  return value;
}

}  // namespace

struct StoreProxy::Connection {
  int client = -1;
  int upstream = -1;
  std::atomic<bool> loseNext{false};
  ~Connection() {
    if (client >= 0) ::close(client);
    if (upstream >= 0) ::close(upstream);
  }
  void shutDown() {
    ::shutdown(client, SHUT_RDWR);
    ::shutdown(upstream, SHUT_RDWR);
  }
};

StoreProxy::StoreProxy(const std::string& upstream) {
  const auto colon = upstream.rfind(':');
  if (colon == std::string::npos) throw std::runtime_error("no port in " + upstream);
  upstreamPort_ = std::stoi(upstream.substr(colon + 1));
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener_, 64) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (listener_ >= 0) ::close(listener_);
    throw std::runtime_error("the store proxy cannot listen");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

StoreProxy::~StoreProxy() {
  stopping_ = true;
  ::shutdown(listener_, SHUT_RDWR);
  acceptor_.join();
  ::close(listener_);
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    for (auto& connection : connections_) connection->shutDown();
    threads.swap(threads_);
  }
  changed_.notify_all();
  for (auto& thread : threads) thread.join();
}

std::string StoreProxy::endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }

void StoreProxy::holdWrites(const std::string& keyPart) {
  std::lock_guard lock(mutex_);
  holdKey_ = keyPart;
  released_ = false;
}

bool StoreProxy::waitForHeld(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return holding_; });
}

void StoreProxy::release() {
  {
    std::lock_guard lock(mutex_);
    holdKey_.clear();
    released_ = true;
  }
  changed_.notify_all();
}

void StoreProxy::loseAnswers(const std::string& keyPart) {
  std::lock_guard lock(mutex_);
  loseKey_ = keyPart;
}

std::vector<std::string> StoreProxy::takeRequests() {
  std::lock_guard lock(mutex_);
  return std::exchange(requests_, {});
}

bool StoreProxy::takeHold(const std::string& requestLine) {
  std::lock_guard lock(mutex_);
  if (holdKey_.empty() || requestLine.find(holdKey_) == std::string::npos) return false;
  holdKey_.clear();
  return true;
}

bool StoreProxy::takeLoss(const std::string& requestLine) {
  std::lock_guard lock(mutex_);
  if (loseKey_.empty() || requestLine.find(loseKey_) == std::string::npos) return false;
  loseKey_.clear();
  return true;
}

void StoreProxy::acceptLoop() {
  while (!stopping_) {
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EINTR) continue;
      return;
    }
    auto connection = std::make_shared<Connection>();
    connection->client = client;
    connection->upstream = connectTo(upstreamPort_);
    if (connection->upstream < 0) continue;  // closes the client's end
    const int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    connections_.push_back(connection);
    threads_.emplace_back([this, connection] { upstreamward(connection); });
    threads_.emplace_back([this, connection] { clientward(connection); });
  }
}

void StoreProxy::upstreamward(const std::shared_ptr<Connection>& c) {
  std::string buffer;
  char chunk[65536];
  auto fill = [&] {
    const ssize_t n = receive(c->client, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(n));
    return true;
  };
  while (true) {
    std::size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
      if (!fill()) {
        ::shutdown(c->upstream, SHUT_WR);
        return;
      }
    }
    const std::string head = buffer.substr(0, end + 4);
    buffer.erase(0, end + 4);
    const std::string requestLine = head.substr(0, head.find("\r\n"));
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(requestLine.substr(0, requestLine.rfind(' ')));
    }
    const bool write = requestLine.starts_with("PUT ") || requestLine.starts_with("POST ");
    if (write && takeLoss(requestLine)) c->loseNext = true;
    if (!sendAll(c->upstream, head.data(), head.size())) return;
    if (write && takeHold(requestLine)) {
      std::unique_lock lock(mutex_);
      holding_ = true;
      changed_.notify_all();
      changed_.wait(lock, [this] { return released_ || stopping_.load(); });
      holding_ = false;
    }
    std::uint64_t remaining = contentLength(head);
    while (remaining > 0) {
      if (buffer.empty() && !fill()) {
        ::shutdown(c->upstream, SHUT_WR);
        return;
      }
      const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, buffer.size()));
      if (!sendAll(c->upstream, buffer.data(), part)) return;
      buffer.erase(0, part);
      remaining -= part;
    }
  }
}

void StoreProxy::clientward(const std::shared_ptr<Connection>& c) {
  char chunk[65536];
  std::string held;  // the start of an answer to lose
  while (true) {
    const ssize_t n = receive(c->upstream, chunk, sizeof chunk);
    if (n <= 0) {
      ::shutdown(c->client, SHUT_WR);
      return;
    }
    if (!c->loseNext) {
      if (!sendAll(c->client, chunk, static_cast<std::size_t>(n))) return;
      continue;
    }
    // The answer to lose; interim answers before it ("100 Continue", which
    // the store sends to every write) pass, or the body would never come.
    held.append(chunk, static_cast<std::size_t>(n));
    while (held.starts_with("HTTP/1.1 1")) {
      const auto end = held.find("\r\n\r\n");
      if (end == std::string::npos) break;
      if (!sendAll(c->client, held.data(), end + 4)) return;
      held.erase(0, end + 4);
    }
    if (held.size() >= 10 && !held.starts_with("HTTP/1.1 1")) {
      c->loseNext = false;
      ++lost_;
      c->shutDown();
      return;
    }
  }
}

}  // namespace corvane::testing
