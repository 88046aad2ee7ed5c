// Runs the real corvane-engine as a child process for integration tests and
// benchmarks. The engine gets the given scope folders and its own
// XDG_DATA_HOME (by default the one of the calling process, which a
// TestEnvironment makes private), so its engine.json and change logs live
// there. start() waits until the engine has published engine.json; stop()
// ends it with SIGTERM, crash() with SIGKILL; both can be followed by start()
// on the same folders. The destructor always ends and reaps the child, and
// the child dies with the test process if that crashes (PR_SET_PDEATHSIG).
//
// Owned by one test; not thread-safe.
#pragma once

#include <httplib.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace corvane::testing {

class EngineProcess {
 public:
  struct Options {
    // The engine binary; empty: $CORVANE_ENGINE_BINARY when set, else
    // "corvane-engine" beside the running executable. Tests pass
    // CORVANE_BIN_DIR "/corvane-engine".
    std::filesystem::path binary;
    std::vector<std::pair<std::string, std::filesystem::path>> scopes;  // --scope NAME=DIR
    std::vector<std::string> readOnly;                                  // --read-only NAME
    std::vector<std::string> extraArguments;
    // XDG_DATA_HOME of the engine; empty: the caller's.
    std::filesystem::path dataHome;
    // Variables set for the engine in place of the caller's (NAME, value).
    std::vector<std::pair<std::string, std::string>> environment;
  };

  explicit EngineProcess(Options options);
  ~EngineProcess();
  EngineProcess(const EngineProcess&) = delete;
  EngineProcess& operator=(const EngineProcess&) = delete;

  // Starts the engine and waits (up to `timeout`) for a fresh engine.json.
  // Throws std::runtime_error, with the engine's output, when it exits or
  // does not publish in time.
  void start(std::chrono::seconds timeout = std::chrono::seconds(30));
  // SIGTERM and wait (SIGKILL after 20 s). Returns the exit status as
  // waitpid reports it, or -1 when no engine was running.
  int stop();
  // SIGKILL and wait: an engine that dies without cleaning up.
  void crash();
  bool running() const { return pid_ > 0; }

  // Runs the engine with `arguments` in this environment until it exits
  // (for engines that must refuse to start); returns its exit code and
  // output. Gives up with SIGKILL after `timeout`.
  std::pair<int, std::string> runToExit(
      const std::vector<std::string>& arguments,
      std::chrono::seconds timeout = std::chrono::seconds(20)) const;
  // The same, sending SIGTERM once the engine has run for `terminateAfter`
  // (while it starts, say); the engine must then end within `timeout`.
  std::pair<int, std::string> terminatedAfter(const std::vector<std::string>& arguments,
                                              std::chrono::milliseconds terminateAfter,
                                              std::chrono::seconds timeout) const;

  int port() const { return port_; }
  const std::string& token() const { return token_; }
  pid_t pid() const { return pid_; }
  std::filesystem::path applicationSupport() const;
  std::filesystem::path discoveryFile() const { return applicationSupport() / "engine.json"; }
  // Everything the engine wrote to standard error so far.
  std::string output() const;

  // An HTTP client for the engine with the bearer token set.
  std::unique_ptr<httplib::Client> client() const;
  // The scope id of the n-th --scope (1-based): "local-<n>".
  static std::string scopeId(int n) { return "local-" + std::to_string(n); }

 private:
  std::vector<std::string> arguments() const;
  pid_t spawn(const std::vector<std::string>& arguments, const std::filesystem::path& log) const;

  Options options_;
  std::filesystem::path logFile_;
  pid_t pid_ = -1;
  int port_ = 0;
  std::string token_;
};

// The calling process's environment as "NAME=value" texts, with `changes`
// in place of the variables of the same names (the later of two wins). Made
// before a fork: the child may only call what is safe after one.
std::vector<std::string> environmentWith(
    const std::vector<std::pair<std::string, std::string>>& changes);

// One exchange with an engine, reduced to what tests look at. `status` is -1
// when no HTTP answer came.
struct EngineReply {
  int status = -1;
  std::string body;
};
EngineReply engineGet(httplib::Client& client, const std::string& target);
EngineReply enginePost(httplib::Client& client, const std::string& target,
                       const std::string& jsonBody);

}  // namespace corvane::testing
