// The engine and the mount as Type=notify services: each tells the service
// manager it is ready only once it can be used (engine.json published, the
// folder mounted), and tells it when it begins to stop. The manager's
// notification socket is played by a datagram socket of the test.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>

#include "support/engine_process.h"
#include "support/mount_process.h"
#include "support/test_env.h"

namespace corvane::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A notification socket in the test's folder, named in NOTIFY_SOCKET for the
// processes started while it exists.
class NotifySocket {
 public:
  explicit NotifySocket(const fs::path& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd_ < 0 || path.string().size() >= sizeof(address.sun_path))
      throw std::runtime_error("cannot make a socket at " + path.string());
    std::strcpy(address.sun_path, path.c_str());
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
      throw std::runtime_error("cannot bind " + path.string());
    ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  }
  ~NotifySocket() {
    ::unsetenv("NOTIFY_SOCKET");
    ::close(fd_);
    std::error_code ec;
    fs::remove(path_, ec);
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  // The next message, or nothing within `timeout`.
  std::optional<std::string> receive(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
    char buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
    if (n < 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(n));
  }

 private:
  fs::path path_;
  int fd_ = -1;
};

// What a message said, and whether the service was usable when it came.
struct Notice {
  std::optional<std::string> message;
  bool usable = false;
};

// Waits on another thread for the next message and looks at `usable` the
// moment it arrives, while the caller starts the service.
std::future<Notice> awaitNotice(NotifySocket& socket, std::function<bool()> usable) {
  return std::async(std::launch::async, [&socket, usable] {
    Notice notice;
    notice.message = socket.receive(30s);
    notice.usable = notice.message && usable();
    return notice;
  });
}

bool has(const std::optional<std::string>& message, const std::string& line) {
  return message && ("\n" + *message + "\n").find("\n" + line) != std::string::npos;
}

// The engine serves one folder; EngineProcess starts it as it is made.
EngineProcess::Options engineServing(const fs::path& folder) {
  fs::create_directories(folder);
  return EngineProcess::Options{CORVANE_BIN_DIR "/corvane-engine", {{"docs", folder}}, {}, {}, {}, {}};
}

TEST(ServiceReadyTest, EngineIsReadyOnceEngineJsonIsPublishedAndSaysWhenItStops) {
  TestEnvironment env;
  NotifySocket socket(env.root() / "notify");
  const fs::path discovery = env.applicationSupport() / "engine.json";
  auto ready = awaitNotice(socket, [&] { return fs::exists(discovery); });
  EngineProcess engine(engineServing(env.root() / "scope"));
  const Notice notice = ready.get();
  ASSERT_TRUE(notice.message) << "no notice from the engine:\n" << engine.output();
  EXPECT_TRUE(has(notice.message, "READY=1")) << *notice.message;
  EXPECT_TRUE(notice.usable) << "ready before engine.json was published";
  EXPECT_TRUE(has(notice.message, "STATUS=serving on 127.0.0.1:" + std::to_string(engine.port())))
      << *notice.message;

  const int status = engine.stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << engine.output();
  EXPECT_TRUE(has(socket.receive(5s), "STOPPING=1"));
}

TEST(ServiceReadyTest, MountIsReadyOnceTheFolderIsMountedAndSaysWhenItStops) {
  TestEnvironment env;
  EngineProcess engine(engineServing(env.root() / "scope"));
  const fs::path mountpoint = env.root() / "mnt";
  fs::create_directories(mountpoint);
  // Only the mount sees this socket: the engine started without one.
  NotifySocket socket(env.root() / "notify");
  MountProcess mount(MountProcess::Options{CORVANE_BIN_DIR "/corvane-mount",
                                           EngineProcess::scopeId(1), env.root() / "cache",
                                           mountpoint, env.root() / "mount.log", 1.0, {}, {}});
  auto ready = awaitNotice(socket, [&] { return MountProcess::mounted(mountpoint); });
  mount.start();
  const Notice notice = ready.get();
  ASSERT_TRUE(notice.message) << "no notice from the mount:\n" << mount.log();
  EXPECT_TRUE(has(notice.message, "READY=1")) << *notice.message;
  EXPECT_TRUE(notice.usable) << "ready before the folder was mounted";
  EXPECT_TRUE(has(notice.message, "STATUS=mounted local-1 at " + mountpoint.string()))
      << *notice.message;

  const int status = mount.stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << mount.log();
  EXPECT_TRUE(has(socket.receive(5s), "STOPPING=1"));
}

}  // namespace
}  // namespace corvane::testing
