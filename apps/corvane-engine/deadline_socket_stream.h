// One accepted connection as cpp-httplib's Stream, with the clock of the
// request in progress: reads of a head stop at the head's deadline or at its
// byte budget, reads of a body at the body's deadline, and each write at the
// write timeout. The server looks at fault() afterwards to tell a cut head
// from a client that went away. Reads are buffered; the budget of a head
// counts the bytes handed to the library, not those received.
//
// Owned by the thread that serves the connection, for as long as it does;
// not thread-safe. Does not own the socket.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>

namespace corvane::syncengine {

class DeadlineSocketStream : public httplib::Stream {
 public:
  using Clock = std::chrono::steady_clock;

  enum class Fault { kNone, kHeadTimeout, kHeadTooLarge, kBodyTimeout, kWriteTimeout };

  DeadlineSocketStream(int sock, std::chrono::milliseconds writeTimeout)
      : sock_(sock), writeTimeout_(writeTimeout) {
    limitBlockingSends();
  }

  // Starts the head of a request: reads may go on until `deadline` and take
  // `maxHeadBytes` in all.
  void beginHead(Clock::time_point deadline, std::size_t maxHeadBytes);
  // The head is complete; the body may be read until `deadline`.
  void beginBody(Clock::time_point deadline);

  Fault fault() const { return fault_; }
  // Bytes read since beginHead().
  std::size_t bytesRead() const { return bytesRead_; }
  bool inHead() const { return inHead_; }
  // Whether any part of an answer was written since beginHead().
  bool wroteAnything() const { return wrote_; }
  // True once bytes of a next request are waiting (already read, or on the
  // socket); false when `until` passes first.
  bool waitForRequest(Clock::time_point until) const;

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* ptr, std::size_t size) override;
  ssize_t write(const char* ptr, std::size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  int socket() const override { return sock_; }

 private:
  // Sets the socket's send timeout to the write timeout.
  void limitBlockingSends();
  // Waits until the socket is readable (or writable) or `until` passes.
  bool waitFor(short events, Clock::time_point until) const;

  int sock_;
  std::chrono::milliseconds writeTimeout_;
  Clock::time_point deadline_ = Clock::time_point::max();
  std::size_t maxHeadBytes_ = 0;
  std::size_t bytesRead_ = 0;
  bool inHead_ = false;
  bool wrote_ = false;
  Fault fault_ = Fault::kNone;
  // The library reads a head byte by byte; one recv() serves many of them.
  char buffer_[4096];
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace corvane::syncengine
