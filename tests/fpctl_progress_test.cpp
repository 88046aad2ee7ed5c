// corvane-fpctl's progress while a file moves: the line's wording (pure
// functions), how the moving bytes are found, and, from the outside, that a
// terminal sees it and a script does not.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/json_text.h"
#include "support/test_engine.h"
#include "support/test_env.h"
#include "transfer_progress.h"

namespace corvane::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using fpctl::progressLine;

TEST(TransferProgressTest, TheLineSaysBytesPercentAndRate) {
  struct Case {
    std::int64_t done;
    std::optional<std::int64_t> total;
    std::chrono::nanoseconds elapsed;
    std::string line;
  };
  const std::vector<Case> cases = {
      {512ll << 20, 1ll << 30, 5s, "fetch a.bin: 512.0 MiB of 1.0 GiB (50%), 102.4 MiB/s"},
      {0, 1ll << 30, 0s, "fetch a.bin: 0 B of 1.0 GiB (0%)"},
      // Rounded down: 100% only when every byte is there.
      {999, 1000, 1s, "fetch a.bin: 999 B of 1000 B (99%), 999 B/s"},
      {1000, 1000, 2s, "fetch a.bin: 1000 B of 1000 B (100%), 500 B/s"},
      // A file that grew beyond the size the item had.
      {2000, 1000, 1s, "fetch a.bin: 2.0 KiB of 1000 B (100%), 2.0 KiB/s"},
      {3 << 20, std::nullopt, 3s, "fetch a.bin: 3.0 MiB, 1.0 MiB/s"},
      {10, 0, 1s, "fetch a.bin: 10 B of 0 B, 10 B/s"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(progressLine("fetch a.bin", c.done, c.total, c.elapsed), c.line);
  }
}

TEST(TransferProgressTest, AGrowingFileIsTheLargestFileThatAppearedSinceTheStart) {
  TestEnvironment env;
  const fs::path folder = env.root() / "downloads";
  fs::create_directories(folder);
  std::ofstream(folder / "older", std::ios::binary) << std::string(5000, 'o');
  fpctl::GrowingFile file(folder);
  EXPECT_EQ(file.size(), 0);
  std::ofstream(folder / "new", std::ios::binary) << std::string(300, 'n');
  std::ofstream(folder / "other", std::ios::binary) << std::string(100, 'n');
  fs::create_directory(folder / "a-folder");
  EXPECT_EQ(file.size(), 300);
  std::ofstream(folder / "new", std::ios::binary | std::ios::app) << std::string(700, 'n');
  EXPECT_EQ(file.size(), 1000);
  fs::remove_all(folder);
  EXPECT_EQ(file.size(), 0) << "a folder that went away shows nothing";
}

// What corvane-fpctl wrote: on the terminal it had (standard output, and
// standard error when that is the terminal too) and on a separate standard
// error.
struct Seen {
  std::string terminal;
  std::string separateError;
  int status = -1;
};

// Runs corvane-fpctl on a new terminal; with `errorToTerminal` false its
// standard error goes to a file instead.
Seen runOnTerminal(const std::vector<std::string>& args, bool errorToTerminal,
                   const fs::path& errorFile) {
  const std::string binary = CORVANE_BIN_DIR "/corvane-fpctl";
  std::vector<char*> argv{const_cast<char*>(binary.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  winsize size{};
  size.ws_row = 24;
  size.ws_col = 200;
  int terminal = -1;
  const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, &size);
  if (pid == 0) {
    if (!errorToTerminal) {
      const int fd = ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd < 0 || ::dup2(fd, 2) < 0) ::_exit(127);
    }
    ::execv(binary.c_str(), argv.data());
    ::_exit(127);
  }
  Seen seen;
  if (pid < 0) {
    ADD_FAILURE() << "forkpty failed";
    return seen;
  }
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  for (;;) {
    pollfd fd{terminal, POLLIN, 0};
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "corvane-fpctl did not finish";
      ::kill(pid, SIGKILL);
      break;
    }
    if (::poll(&fd, 1, 1000) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(terminal, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO once the child has closed the terminal
    seen.terminal.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(terminal);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) seen.status = WEXITSTATUS(status);
  std::ifstream in(errorFile, std::ios::binary);
  seen.separateError.assign(std::istreambuf_iterator<char>(in), {});
  return seen;
}

// A fetch of a 1 MiB file that stops half-way for longer than the wait
// before progress is drawn.
TEST(FpctlProgressTest, ATerminalSeesTheFetchsProgressAndAScriptSeesNone) {
  struct Case {
    const char* what;
    bool errorToTerminal;
    std::vector<std::string> options;
    bool progress;
  };
  const std::vector<Case> cases = {
      {"terminal", true, {}, true},
      {"--json on a terminal", true, {"--json"}, false},
      {"standard error not a terminal", false, {}, false},
  };
  constexpr std::int64_t kSize = 1 << 20;
  for (const Case& c : cases) {
    TestEnvironment env;
    TestEngine engine;
    engine.writeDiscovery(env);
    engine.onScopes({makeScope("local", 1, true, true, "bucket")});
    engine.onList("local-1", "docs", {makeEntry("docs/big.bin", false, kSize, "r1")});
    engine.on("POST", "/v1/scopes/local-1/fetch", [](const Received& request) {
      std::ofstream out(request.bodyString("dest").value_or(""), std::ios::binary);
      out << std::string(kSize / 2, 'a') << std::flush;
      std::this_thread::sleep_for(1600ms);
      out << std::string(kSize / 2, 'b');
      return Reply{200, toJson(makeEntry("docs/big.bin", false, kSize, "r1"))};
    });
    std::vector<std::string> args = c.options;
    for (const char* a : {"fetch", "docs/big.bin", "--output"}) args.push_back(a);
    args.push_back((env.root() / "big.bin").string());

    const Seen seen = runOnTerminal(args, c.errorToTerminal, env.root() / "stderr.txt");
    EXPECT_EQ(seen.status, 0) << c.what << "\n" << seen.terminal << seen.separateError;
    EXPECT_EQ(fs::file_size(env.root() / "big.bin"), static_cast<std::uintmax_t>(kSize));
    const std::string all = seen.terminal + seen.separateError;
    EXPECT_EQ(all.find("fetch docs/big.bin: 512.0 KiB of 1.0 MiB (50%), ") != std::string::npos,
              c.progress)
        << c.what << ":\n" << all;
    if (!c.errorToTerminal) {
      EXPECT_EQ(seen.separateError, "") << c.what;
    }
    if (c.progress) {
      // The line is drawn over itself and erased before the result.
      EXPECT_NE(seen.terminal.find("\r\033[K"), std::string::npos);
      EXPECT_NE(seen.terminal.find("/s "), std::string::npos) << seen.terminal;
    }
  }
}

}  // namespace
}  // namespace corvane::testing
