#include "s3/credential_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <simdjson.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "s3/s3_xml.h"

extern char** environ;

namespace corvane::s3 {
namespace {

// A helper's answer is a few hundred bytes; more is not an answer.
constexpr std::size_t kMaxOutput = 1 << 20;

std::string firstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

class Pipe {
 public:
  Pipe() {
    if (::pipe2(fds_, O_CLOEXEC) != 0) {
      throw std::system_error(errno, std::generic_category(), "pipe");
    }
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  int read() const { return fds_[0]; }
  int write() const { return fds_[1]; }
  void closeRead() {
    if (fds_[0] >= 0) ::close(fds_[0]);
    fds_[0] = -1;
  }
  void closeWrite() {
    if (fds_[1] >= 0) ::close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

}  // namespace

std::vector<std::string> splitCommandLine(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
      continue;
    }
    inWord = true;
    if (c == '\\') {
      if (++i < text.size() && text[i] != '\n') word.push_back(text[i]);
      continue;
    }
    if (c == '\'') {
      const std::size_t close = text.find('\'', i + 1);
      if (close == std::string_view::npos) {
        throw CredentialError("the command line " + std::string(text) + " has an unclosed '");
      }
      word.append(text.substr(i + 1, close - i - 1));
      i = close;
      continue;
    }
    if (c == '"') {
      for (++i;; ++i) {
        if (i >= text.size()) {
          throw CredentialError("the command line " + std::string(text) + " has an unclosed \"");
        }
        if (text[i] == '"') break;
        if (text[i] == '\\' && i + 1 < text.size() &&
            std::strchr("\"\\$`\n", text[i + 1]) != nullptr) {
          if (text[++i] != '\n') word.push_back(text[i]);
          continue;
        }
        word.push_back(text[i]);
      }
      continue;
    }
    word.push_back(c);
  }
  if (inWord) words.push_back(std::move(word));
  if (words.empty()) throw CredentialError("the command line is empty");
  return words;
}

TimedCredentials readProcessCredentials(std::string_view json, const std::string& what) {
  simdjson::dom::parser parser;
  simdjson::dom::element document;
  if (parser.parse(json.data(), json.size()).get(document) != simdjson::SUCCESS ||
      !document.is_object()) {
    throw CredentialError(what + " did not answer with a JSON object");
  }
  auto field = [&](const char* name, bool required) -> std::string {
    std::string_view value;
    const auto error = document[name].get_string().get(value);
    if (error == simdjson::NO_SUCH_FIELD && !required) return {};
    if (error != simdjson::SUCCESS || (required && value.empty())) {
      throw CredentialError(what + " answered without " + std::string(name));
    }
    return std::string(value);
  };
  int64_t version = 0;
  if (document["Version"].get_int64().get(version) != simdjson::SUCCESS || version != 1) {
    throw CredentialError(what + " answered without \"Version\": 1");
  }
  TimedCredentials result;
  result.credentials.accessKeyId = field("AccessKeyId", true);
  result.credentials.secretAccessKey = field("SecretAccessKey", true);
  result.credentials.sessionToken = field("SessionToken", false);
  const std::string expiration = field("Expiration", false);
  if (!expiration.empty()) {
    const auto time = parseIsoTime(expiration);
    if (!time) throw CredentialError(what + " answered an Expiration that is not a time");
    result.expiration = std::chrono::time_point_cast<WallClock::duration>(*time);
  }
  return result;
}

TimedCredentials runCredentialProcess(const std::string& commandLine, const std::string& what,
                                      std::chrono::milliseconds timeout) {
  const std::vector<std::string> words = splitCommandLine(commandLine);
  std::vector<char*> argv;
  for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
  argv.push_back(nullptr);

  Pipe out;
  Pipe err;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.write(), 1);
  posix_spawn_file_actions_adddup2(&actions, err.write(), 2);
  // The engine blocks its stop signals for sigwait; the helper must not
  // inherit that.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    throw CredentialError(what + " could not be started: " + words[0] + ": " +
                          std::strerror(spawned));
  }
  out.closeWrite();
  err.closeWrite();

  std::string output;
  std::string errors;
  bool tooLong = false;
  bool timedOut = false;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  pollfd fds[2] = {{out.read(), POLLIN, 0}, {err.read(), POLLIN, 0}};
  std::string* sinks[2] = {&output, &errors};
  int open = 2;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      break;
    }
    const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        fds[i].fd = -1;
        --open;
        continue;
      }
      if (sinks[i]->size() + static_cast<std::size_t>(n) > kMaxOutput) {
        tooLong = true;
        fds[i].fd = -1;
        --open;
        continue;
      }
      sinks[i]->append(buffer, static_cast<std::size_t>(n));
    }
  }
  if (timedOut || tooLong) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timedOut) {
    throw CredentialError(what + " did not finish within " +
                          std::to_string(timeout.count() / 1000) + " s");
  }
  if (tooLong) throw CredentialError(what + " wrote more than 1 MiB");
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::string text =
        what + (WIFEXITED(status) ? " exited with status " + std::to_string(WEXITSTATUS(status))
                                  : std::string(" was killed by a signal"));
    const std::string said = firstLine(errors);
    if (!said.empty()) text += ": " + said;
    throw CredentialError(text);
  }
  return readProcessCredentials(output, what);
}

}  // namespace corvane::s3
