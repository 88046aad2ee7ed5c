// delay_proxy: a far link on one machine. A TCP proxy on 127.0.0.1 that
// forwards each connection to one upstream address and holds every byte for
// half the round trip in each direction, so a request and its answer cost
// one extra round trip, as a store across the internet would. Optionally a
// rate limit per direction and connection (bytes per second), as a link's
// bandwidth. The kernel here has no netem, so the benchmarks put this between
// a client (the engine, rclone, s3fs) and the store.
//
// Each connection has two directions; each direction a reader thread, which
// stamps what it reads with the time it may leave, and a writer thread, which
// sends it at that time in the order it was read. A direction buffers at most
// `kBuffered` bytes (a link's queue): a sender faster than the rate limit
// waits as it would behind a slow link. An end of stream is passed on after
// the same delay (shutdown for writing); an error closes the connection. A
// new connection's first bytes also wait one round trip, the cost of the TCP
// handshake across the link (the local one is instant).
//
//   delay_proxy --to 127.0.0.1:PORT --rtt-ms 50 [--rate BYTES] [--port N]
//
// Prints the port it listens on (one line), then serves until killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kBuffered = 64 * 1024 * 1024;

struct Settings {
  sockaddr_in upstream{};
  Clock::duration oneWay{};
  double rate = 0;  // bytes per second and direction; 0: unlimited
};

// The bytes of one direction between its reader and its writer.
class Pipe {
 public:
  struct Chunk {
    Clock::time_point due;
    std::vector<char> bytes;  // empty: the end of the stream
  };

  // Blocks while the pipe is full; false once the writer has given up.
  bool push(Chunk chunk) {
    std::unique_lock lock(mutex_);
    spaceFreed_.wait(lock, [&] { return closed_ || buffered_ < kBuffered; });
    if (closed_) return false;
    buffered_ += chunk.bytes.size();
    chunks_.push_back(std::move(chunk));
    arrived_.notify_one();
    return true;
  }

  // The next chunk once it is due; nothing once the pipe is closed.
  bool pop(Chunk& out) {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (closed_) return false;
      if (chunks_.empty()) {
        arrived_.wait(lock);
        continue;
      }
      const auto due = chunks_.front().due;
      if (Clock::now() < due) {
        arrived_.wait_until(lock, due);
        continue;
      }
      out = std::move(chunks_.front());
      chunks_.pop_front();
      buffered_ -= out.bytes.size();
      spaceFreed_.notify_one();
      return true;
    }
  }

  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    arrived_.notify_all();
    spaceFreed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::condition_variable spaceFreed_;
  std::deque<Chunk> chunks_;
  std::size_t buffered_ = 0;
  bool closed_ = false;
};

// One proxied connection: the client's socket, the upstream's, and a pipe
// each way. Shared by its four threads; the sockets close with the last.
class Connection {
 public:
  Connection(int client, int upstream) : fds_{client, upstream} {}
  ~Connection() {
    ::close(fds_[0]);
    ::close(fds_[1]);
  }

  void start(const std::shared_ptr<Connection>& self, const Settings& settings) {
    connected_ = Clock::now() + 2 * settings.oneWay;
    for (int from = 0; from < 2; ++from) {
      std::thread([self, from, &settings] { self->read(from, settings); }).detach();
      std::thread([self, from, &settings] { self->write(from, settings); }).detach();
    }
  }

 private:
  void read(int from, const Settings& settings) {
    Pipe& pipe = pipes_[from];
    for (;;) {
      std::vector<char> buffer(kChunk);
      const ssize_t n = ::recv(fds_[from], buffer.data(), buffer.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return fail();
      buffer.resize(static_cast<std::size_t>(n));
      const bool end = n == 0;
      const auto now = from == 0 ? std::max(Clock::now(), connected_) : Clock::now();
      if (!pipe.push({now + settings.oneWay, std::move(buffer)}) || end) return;
    }
  }

  void write(int from, const Settings& settings) {
    Pipe& pipe = pipes_[from];
    const int to = fds_[1 - from];
    auto free = Clock::now();  // when the rate limit lets the next byte go
    Pipe::Chunk chunk;
    while (pipe.pop(chunk)) {
      if (chunk.bytes.empty()) {
        ::shutdown(to, SHUT_WR);
        return;
      }
      if (settings.rate > 0) {
        const auto now = Clock::now();
        if (free > now) std::this_thread::sleep_until(free);
        free = std::max(free, now) +
               std::chrono::duration_cast<Clock::duration>(
                   std::chrono::duration<double>(chunk.bytes.size() / settings.rate));
      }
      std::size_t sent = 0;
      while (sent < chunk.bytes.size()) {
        const ssize_t n =
            ::send(to, chunk.bytes.data() + sent, chunk.bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail();
        sent += static_cast<std::size_t>(n);
      }
    }
  }

  // A broken side ends the whole connection: both pipes close and both
  // sockets stop, so every thread of it returns.
  void fail() {
    pipes_[0].close();
    pipes_[1].close();
    ::shutdown(fds_[0], SHUT_RDWR);
    ::shutdown(fds_[1], SHUT_RDWR);
  }

  const int fds_[2];
  Clock::time_point connected_;  // when the simulated handshake has ended
  Pipe pipes_[2];                // [0]: client to upstream; [1]: upstream to client
};

sockaddr_in parseAddress(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos) throw std::invalid_argument("--to needs HOST:PORT");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  const std::string host = text.substr(0, colon);
  if (::inet_pton(AF_INET, host == "localhost" ? "127.0.0.1" : host.c_str(), &address.sin_addr) !=
      1) {
    throw std::invalid_argument("--to needs an IPv4 address: " + host);
  }
  const int port = std::stoi(text.substr(colon + 1));
  if (port <= 0 || port > 65535) throw std::invalid_argument("bad port in --to");
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

void noDelay(int fd) {
  // Small requests and answers must leave when due, not wait for more.
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"A TCP proxy on 127.0.0.1 that adds a round-trip delay to every connection"};
  std::string to;
  double rttMs = 0;
  double rate = 0;
  int port = 0;
  app.add_option("--to", to, "upstream address, IPv4:PORT")->required();
  app.add_option("--rtt-ms", rttMs, "round-trip delay to add, in milliseconds")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--rate", rate, "bytes per second in each direction of a connection (0: any)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--port", port, "port to listen on (0: any free one)")
      ->check(CLI::Range(0, 65535));
  CLI11_PARSE(app, argc, argv);

  Settings settings;
  try {
    settings.upstream = parseAddress(to);
  } catch (const std::exception& e) {
    std::cerr << "delay_proxy: " << e.what() << "\n";
    return 2;
  }
  settings.oneWay = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double, std::milli>(rttMs / 2));
  settings.rate = rate;

  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  local.sin_port = htons(static_cast<std::uint16_t>(port));
  socklen_t length = sizeof local;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::listen(listener, 256) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    std::cerr << "delay_proxy: cannot listen: " << std::strerror(errno) << "\n";
    return 1;
  }
  std::cout << ntohs(local.sin_port) << std::endl;

  for (;;) {
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EMFILE || errno == ENFILE) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      if (errno == EINTR || errno == ECONNABORTED) continue;
      std::cerr << "delay_proxy: accept: " << std::strerror(errno) << "\n";
      return 1;
    }
    const int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (upstream < 0 || ::connect(upstream, reinterpret_cast<const sockaddr*>(&settings.upstream),
                                  sizeof settings.upstream) != 0) {
      // The client sees its connection close, as when the store refuses it.
      if (upstream >= 0) ::close(upstream);
      ::close(client);
      continue;
    }
    noDelay(client);
    noDelay(upstream);
    auto connection = std::make_shared<Connection>(client, upstream);
    connection->start(connection, settings);
  }
}
