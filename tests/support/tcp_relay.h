// A TCP relay on 127.0.0.1 in front of a server, which a test can pause:
// while paused it still takes connections and bytes but passes nothing on
// in either direction, as a store that stopped answering (a paused process,
// a network that drops everything) looks to its clients.
//
// Owned by one test. Its threads run from construction to destruction,
// which closes every connection; pause() may be called from any thread.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvane::testing {

// A port on 127.0.0.1 where connections are taken (the kernel completes
// them) and nothing is ever read or answered: a server that hangs.
class SilentPort {
 public:
  SilentPort();
  ~SilentPort();
  SilentPort(const SilentPort&) = delete;
  SilentPort& operator=(const SilentPort&) = delete;

  int port() const { return port_; }
  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  int fd_ = -1;
  int port_ = 0;
};

class TcpRelay {
 public:
  explicit TcpRelay(int targetPort);
  ~TcpRelay();
  TcpRelay(const TcpRelay&) = delete;
  TcpRelay& operator=(const TcpRelay&) = delete;

  int port() const { return port_; }
  void pause(bool paused) { paused_.store(paused); }

 private:
  void acceptLoop();
  void relay(int client);

  const int targetPort_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> paused_{false};
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::thread> relays_;  // guarded by mutex_
};

}  // namespace corvane::testing
