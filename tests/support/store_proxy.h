// StoreProxy: a TCP proxy on 127.0.0.1 between an engine and the test's S3
// store, through which a test orders what the store sees. It forwards every
// byte as it comes, except where told otherwise:
//   - holdWrites(): the next write (PUT or POST) whose request line holds a
//     given text goes to the store with its head only; its body waits until
//     release(), so a test can let another client write the same key while
//     this write is under way;
//   - loseAnswers(): the answer to the next such write is not passed on, the
//     connection to the engine is closed instead: the write landed and its
//     answer was lost on the way.
// It also keeps the request line of every request it passed on, so that a
// test can tell exactly what the store was asked.
// Requests are read as HTTP/1.1 with a Content-Length (what the engine
// sends); requests on one connection follow each other.
//
// Owned by one test; thread-safe. The destructor closes every connection
// and waits for its threads.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvane::testing {

class StoreProxy {
 public:
  // Forwards to the store at `upstream` ("http://127.0.0.1:PORT").
  explicit StoreProxy(const std::string& upstream);
  ~StoreProxy();
  StoreProxy(const StoreProxy&) = delete;
  StoreProxy& operator=(const StoreProxy&) = delete;

  // "http://127.0.0.1:PORT" of the proxy, for the engine's --s3-endpoint.
  std::string endpoint() const;

  // Holds the body of the next write whose request line contains
  // `keyPart`, once its head has gone to the store.
  void holdWrites(const std::string& keyPart);
  // Waits until such a write is held; false after `timeout`.
  bool waitForHeld(std::chrono::milliseconds timeout);
  // Lets a held body go, and holds no more.
  void release();
  // Drops the answer of the next write whose request line contains
  // `keyPart`, closing the engine's connection instead.
  void loseAnswers(const std::string& keyPart);
  // How many answers were dropped so far.
  int lostAnswers() const { return lost_.load(); }
  // The requests passed on since the last call, as method and target
  // ("PUT /bucket/key?x-id=PutObject"), in the order they came.
  std::vector<std::string> takeRequests();

 private:
  struct Connection;
  void acceptLoop();
  void upstreamward(const std::shared_ptr<Connection>& connection);
  void clientward(const std::shared_ptr<Connection>& connection);
  // Whether the write with this request line is to be held / its answer lost.
  bool takeHold(const std::string& requestLine);
  bool takeLoss(const std::string& requestLine);

  int listener_ = -1;
  int port_ = 0;
  int upstreamPort_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string holdKey_;   // guarded by mutex_; empty: none
  bool holding_ = false;  // a body is held now
  bool released_ = false;
  std::string loseKey_;  // guarded by mutex_; empty: none
  std::atomic<int> lost_{0};
  std::vector<std::string> requests_;  // guarded by mutex_
  std::vector<std::shared_ptr<Connection>> connections_;  // guarded by mutex_
  std::vector<std::thread> threads_;                      // guarded by mutex_
};

}  // namespace corvane::testing
