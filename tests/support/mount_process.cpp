#include "support/mount_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/engine_process.h"

namespace corvane::testing {
namespace fs = std::filesystem;
namespace {

using Clock = std::chrono::steady_clock;

// The waitpid status of `pid` once it has ended, waiting up to `timeout`.
bool waitEnded(pid_t pid, std::chrono::milliseconds timeout, int& status) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD)) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

MountProcess::MountProcess(Options options) : options_(std::move(options)) {}

MountProcess::~MountProcess() {
  if (running()) {
    crash();
    reap();
  }
  if (mounted(options_.mountpoint)) unmount(options_.mountpoint);
}

bool MountProcess::mounted(const fs::path& folder) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, dev, root, point;
    fields >> id >> parent >> dev >> root >> point;
    if (point == folder.string()) return true;
  }
  return false;
}

void MountProcess::unmount(const fs::path& folder) {
  // As root the system call does it; otherwise fusermount3 may.
  if (::umount2(folder.c_str(), MNT_DETACH) == 0 || !mounted(folder)) return;
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
    }
    ::execlp("fusermount3", "fusermount3", "-u", "-z", folder.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  if (pid > 0 && !waitEnded(pid, std::chrono::seconds(20), status)) {
    ::kill(pid, SIGKILL);
    waitEnded(pid, std::chrono::seconds(5), status);
  }
}

std::string MountProcess::log() const {
  std::ifstream in(options_.log, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void MountProcess::start(std::chrono::seconds timeout) {
  if (running()) throw std::logic_error("the mount is running already");
  std::vector<std::string> args = {options_.binary.string(), "-f",   "--poll",
                                   std::to_string(options_.poll), "--domain", options_.domain,
                                   "--cache",         options_.cache.string()};
  args.insert(args.end(), options_.extraArguments.begin(), options_.extraArguments.end());
  args.push_back(options_.mountpoint.string());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings = environmentWith(options_.environment);
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  const int logFd =
      ::open(options_.log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (logFd < 0) throw std::runtime_error("cannot open " + options_.log.string());
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // SIGTERM: a mount that outlives its parent unmounts itself on the way out.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(126);
    ::dup2(logFd, STDOUT_FILENO);
    ::dup2(logFd, STDERR_FILENO);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(logFd);
  if (pid < 0) throw std::runtime_error("cannot fork");
  pid_ = pid;
  const auto deadline = Clock::now() + timeout;
  while (!mounted(options_.mountpoint)) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      pid_ = -1;
      throw std::runtime_error("corvane-mount ended before mounting:\n" + log());
    }
    if (Clock::now() >= deadline) {
      crash();
      reap();
      throw std::runtime_error("corvane-mount did not mount in time:\n" + log());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int MountProcess::stop(std::chrono::seconds grace) {
  const pid_t pid = pid_.exchange(-1);
  int status = -1;
  if (pid > 0) {
    ::kill(pid, SIGTERM);
    if (!waitEnded(pid, grace, status)) {
      ::kill(pid, SIGKILL);
      waitEnded(pid, std::chrono::seconds(30), status);
    }
  }
  if (mounted(options_.mountpoint)) unmount(options_.mountpoint);
  return status;
}

void MountProcess::crash() {
  const pid_t pid = pid_.load();
  if (pid > 0) ::kill(pid, SIGKILL);
}

void MountProcess::reap() {
  const pid_t pid = pid_.exchange(-1);
  int status = 0;
  if (pid > 0) waitEnded(pid, std::chrono::seconds(30), status);
  if (mounted(options_.mountpoint)) unmount(options_.mountpoint);
}

}  // namespace corvane::testing
