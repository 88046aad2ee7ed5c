// A scriptable sync engine for tests: an HTTP server on 127.0.0.1 (any free
// port) that answers each route as the test scripts it and records every
// request it receives.
//
// Owned by one test. The server runs on threads of its own from construction
// until stop() or destruction; every member may be called from any thread,
// also while requests are being served. A handler may block (a delay) without
// holding up other requests. Unscripted routes answer 404
// {"message":"not scripted: METHOD PATH"}.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "engine/records.h"
#include "support/test_env.h"

namespace corvane::testing {

// What the engine answers to one request.
struct Reply {
  int status = 200;
  std::string body;
  std::chrono::milliseconds delay{0};  // waited before answering (or dropping)
  bool drop = false;                   // close the connection without an answer
  std::vector<std::pair<std::string, std::string>> headers = {};  // sent along with the body
};

// One request as the engine received it.
struct Received {
  std::string method;
  std::string path;    // the target up to "?", as sent
  std::string target;  // the whole request target, as sent
  // The query's name/value pairs in order, %XX decoded ("+" stays "+").
  std::vector<std::pair<std::string, std::string>> query;
  std::multimap<std::string, std::string> headers;  // names lower-cased
  std::string body;

  std::optional<std::string> header(std::string_view name) const;  // any case
  std::optional<std::string> queryValue(std::string_view name) const;
  // The body read as a JSON object: the string at `key`, the array of strings
  // at `key` (nothing when the body or the value does not have that form),
  // and whether `key` is present at all.
  std::optional<std::string> bodyString(std::string_view key) const;
  std::optional<std::vector<std::string>> bodyStrings(std::string_view key) const;
  // The integer at `key` (nothing when absent or not a JSON integer).
  std::optional<std::int64_t> bodyInt(std::string_view key) const;
  bool bodyHas(std::string_view key) const;
};

// A file that a scripted fetch route serves.
struct ScriptedFile {
  std::string contents;
  std::string version = "v1";
};

// How a scripted fetch route treats the range keys "offset" and "length".
enum class RangeSupport {
  serves,   // writes the asked slice of the file
  refuses,  // an engine from before ranges that rejects unknown keys: 400 naming the key
  ignores,  // an engine from before ranges that skips unknown keys: writes the whole file
};

using Handler = std::function<Reply(const Received&)>;

class TestEngine {
 public:
  explicit TestEngine(std::string token = "test-token");
  ~TestEngine();
  TestEngine(const TestEngine&) = delete;
  TestEngine& operator=(const TestEngine&) = delete;

  int port() const { return port_; }
  const std::string& token() const { return token_; }

  // Writes engine.json naming this engine into the environment's
  // Application Support folder.
  void writeDiscovery(const TestEnvironment& env) const;

  // Scripts one route (method and path without query). A later script for the
  // same route replaces the earlier one.
  void on(std::string method, std::string path, Reply reply);
  void on(std::string method, std::string path, Handler handler);

  // GET /v1/scopes answered with {"scopes": [...]}.
  void onScopes(const std::vector<Scope>& scopes);
  // GET /v1/scopes/<scopeID>/list answered with {"entries": [...]} when the
  // query's dir is `dir`. Several dirs may be scripted for one scope; other
  // dirs answer 404.
  void onList(const std::string& scopeID, const std::string& dir,
              const std::vector<Entry>& entries);

  // POST /v1/scopes/<scopeID>/fetch answered from `files`, by the body's
  // "path": writes the file's bytes (with "offset" and "length", as
  // `ranges` says) into a new file at "dest" and answers the file's Entry
  // (its whole size and version). A path not in `files` answers 404, an
  // existing "dest" 409, a missing one or a bad range 400.
  void onFetch(const std::string& scopeID, std::map<std::string, ScriptedFile> files,
               RangeSupport ranges = RangeSupport::serves);

  // Answer 401 to requests whose Authorization is not "Bearer " + token.
  void requireToken(bool on);

  std::vector<Received> requests() const;
  std::vector<Received> requests(std::string_view method, std::string_view path) const;
  std::size_t count(std::string_view method, std::string_view path) const;
  void clearRequests();

  // Stops serving and waits for the server's threads; idempotent.
  void stop();

 private:
  class Server;
  struct Route {
    Handler handler;
    std::map<std::string, std::vector<Entry>> listings;  // onList routes, by dir
  };

  Reply answer(const Received& request);

  std::string token_;
  int port_ = 0;
  std::unique_ptr<Server> server_;
  std::thread thread_;
  std::atomic<bool> listenReturned_{false};

  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, Route> routes_;
  std::vector<Received> received_;
  bool requireToken_ = false;
};

// An Entry with sensible defaults; `name` is the last component of `path`
// (a trailing "/" ignored).
Entry makeEntry(std::string path, bool dir = false, std::int64_t size = 0,
                std::string version = "v1", std::int64_t modSeconds = 1715000000);

Scope makeScope(std::string connection = "local", std::int64_t number = 1, bool write = true,
                bool del = true, std::string bucket = "bucket");

// The log file of a test process is fixed by the first line written. Register
// this environment in a test program that reads the log: it places the log in
// a private folder for the whole process (removed at the end), so that the
// folders of single tests may come and go.
class ProcessLogEnvironment : public ::testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;

 private:
  std::string folder_;
};

// The log's text once every line queued so far has been written.
std::string logText();

// The log lines written after the watch was made, as their messages (the time
// stamp and its blank removed). Lets a test check what it caused itself,
// whatever earlier tests of the process wrote.
class LogWatch {
 public:
  LogWatch();
  std::vector<std::string> messages() const;

 private:
  std::size_t start_;
};

}  // namespace corvane::testing
