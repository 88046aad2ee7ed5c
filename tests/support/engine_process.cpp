#include "support/engine_process.h"

#include <fcntl.h>
#include <signal.h>
#include <simdjson.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace corvane::testing {
namespace fs = std::filesystem;
namespace {

using Clock = std::chrono::steady_clock;

fs::path besideExecutable(const char* name) {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) throw std::runtime_error("cannot find the running executable");
  return self.parent_path() / name;
}

fs::path newLogFile() {
  static std::atomic<int> counter{0};
  return fs::temp_directory_path() / ("corvane-engine-" + std::to_string(::getpid()) + "-" +
                                      std::to_string(counter++) + ".log");
}

std::string readAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Waits for `pid` up to `timeout`; the waitpid status, or nothing.
std::optional<int> waitFor(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno != EINTR) return -1;
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int reap(pid_t pid, int signal, std::chrono::milliseconds grace) {
  ::kill(pid, signal);
  if (auto status = waitFor(pid, grace)) return *status;
  ::kill(pid, SIGKILL);
  return waitFor(pid, std::chrono::hours(1)).value_or(-1);
}

struct Published {
  int port = 0;
  std::string token;
};

std::optional<Published> readPublished(const fs::path& file) {
  const std::string text = readAll(file);
  if (text.empty()) return std::nullopt;
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  std::int64_t port = 0;
  std::string_view token;
  if (parser.parse(text).get(root) != simdjson::SUCCESS ||
      root["port"].get_int64().get(port) != simdjson::SUCCESS ||
      root["token"].get_string().get(token) != simdjson::SUCCESS) {
    return std::nullopt;
  }
  return Published{static_cast<int>(port), std::string(token)};
}

}  // namespace

EngineProcess::EngineProcess(Options options)
    : options_(std::move(options)), logFile_(newLogFile()) {
  if (options_.binary.empty()) {
    const char* chosen = std::getenv("CORVANE_ENGINE_BINARY");
    options_.binary = chosen && *chosen ? fs::path(chosen) : besideExecutable("corvane-engine");
  }
  try {
    start();
  } catch (...) {
    std::error_code ec;
    fs::remove(logFile_, ec);
    throw;
  }
}

EngineProcess::~EngineProcess() {
  if (running()) reap(pid_, SIGTERM, std::chrono::seconds(20));
  std::error_code ec;
  fs::remove(logFile_, ec);
}

fs::path EngineProcess::applicationSupport() const {
  if (!options_.dataHome.empty()) return options_.dataHome / "CorvaneSync";
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && *data) return fs::path(data) / "CorvaneSync";
  const char* home = std::getenv("HOME");
  return fs::path(home ? home : "/") / ".local/share/CorvaneSync";
}

std::vector<std::string> EngineProcess::arguments() const {
  std::vector<std::string> args;
  for (const auto& [name, folder] : options_.scopes)
    args.push_back("--scope=" + name + "=" + folder.string());
  for (const auto& name : options_.readOnly) args.push_back("--read-only=" + name);
  args.insert(args.end(), options_.extraArguments.begin(), options_.extraArguments.end());
  return args;
}

pid_t EngineProcess::spawn(const std::vector<std::string>& arguments, const fs::path& log) const {
  // Everything the child needs is prepared before fork(): between fork and
  // exec only async-signal-safe calls are allowed.
  std::vector<std::string> argStrings{options_.binary.string()};
  argStrings.insert(argStrings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);

  auto environment = options_.environment;
  if (!options_.dataHome.empty()) environment.emplace_back("XDG_DATA_HOME", options_.dataHome);
  std::vector<std::string> envStrings = environmentWith(environment);
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (logFd < 0) throw std::runtime_error("cannot create " + log.string());
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(126);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::dup2(logFd, STDOUT_FILENO);
    ::dup2(logFd, STDERR_FILENO);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(logFd);
  if (pid < 0) throw std::runtime_error("fork failed");
  return pid;
}

void EngineProcess::start(std::chrono::seconds timeout) {
  if (running()) throw std::logic_error("the engine is already running");
  // A file left by a crashed engine holds an old token; wait for a new one.
  const auto stale = readPublished(discoveryFile());
  pid_ = spawn(arguments(), logFile_);
  const auto deadline = Clock::now() + timeout;
  while (true) {
    if (auto published = readPublished(discoveryFile());
        published && (!stale || published->token != stale->token)) {
      port_ = published->port;
      token_ = published->token;
      return;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("corvane-engine exited during start (status " +
                               std::to_string(status) + "):\n" + output());
    }
    if (Clock::now() >= deadline) {
      reap(pid_, SIGKILL, std::chrono::seconds(5));
      pid_ = -1;
      throw std::runtime_error("corvane-engine did not publish engine.json in time:\n" + output());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int EngineProcess::stop() {
  if (!running()) return -1;
  const int status = reap(pid_, SIGTERM, std::chrono::seconds(20));
  pid_ = -1;
  return status;
}

void EngineProcess::crash() {
  if (!running()) return;
  reap(pid_, SIGKILL, std::chrono::seconds(20));
  pid_ = -1;
}

std::pair<int, std::string> EngineProcess::runToExit(const std::vector<std::string>& arguments,
                                                     std::chrono::seconds timeout) const {
  const fs::path log = newLogFile();
  const pid_t pid = spawn(arguments, log);
  std::optional<int> status = waitFor(pid, timeout);
  if (!status) status = reap(pid, SIGKILL, std::chrono::seconds(5));
  std::string text = readAll(log);
  std::error_code ec;
  fs::remove(log, ec);
  const int code = WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
  return {code, text};
}

std::pair<int, std::string> EngineProcess::terminatedAfter(
    const std::vector<std::string>& arguments, std::chrono::milliseconds terminateAfter,
    std::chrono::seconds timeout) const {
  const fs::path log = newLogFile();
  const pid_t pid = spawn(arguments, log);
  std::optional<int> status = waitFor(pid, terminateAfter);
  if (!status) {
    ::kill(pid, SIGTERM);
    status = waitFor(pid, timeout);
  }
  if (!status) status = reap(pid, SIGKILL, std::chrono::seconds(5));
  std::string text = readAll(log);
  std::error_code ec;
  fs::remove(log, ec);
  const int code = WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
  return {code, text};
}

std::string EngineProcess::output() const { return readAll(logFile_); }

std::unique_ptr<httplib::Client> EngineProcess::client() const {
  auto client = std::make_unique<httplib::Client>("127.0.0.1", port_);
  client->set_default_headers({{"Authorization", "Bearer " + token_}});
  client->set_keep_alive(true);
  client->set_tcp_nodelay(true);
  client->set_connection_timeout(10);
  client->set_read_timeout(120);
  client->set_write_timeout(120);
  return client;
}

std::vector<std::string> environmentWith(
    const std::vector<std::pair<std::string, std::string>>& changes) {
  std::vector<std::string> out;
  for (char** e = environ; *e; ++e) {
    const std::string_view entry(*e);
    const bool replaced = std::any_of(changes.begin(), changes.end(), [&](const auto& change) {
      return entry.starts_with(change.first + "=");
    });
    if (!replaced) out.emplace_back(entry);
  }
  for (std::size_t i = 0; i < changes.size(); ++i) {
    const bool later = std::any_of(changes.begin() + static_cast<long>(i) + 1, changes.end(),
                                   [&](const auto& c) { return c.first == changes[i].first; });
    if (!later) out.push_back(changes[i].first + "=" + changes[i].second);
  }
  return out;
}

EngineReply engineGet(httplib::Client& client, const std::string& target) {
  auto result = client.Get(target.c_str());
  if (!result) return {};
  return {result->status, result->body};
}

EngineReply enginePost(httplib::Client& client, const std::string& target,
                       const std::string& jsonBody) {
  auto result = client.Post(target.c_str(), jsonBody, "application/json");
  if (!result) return {};
  return {result->status, result->body};
}

}  // namespace corvane::testing
