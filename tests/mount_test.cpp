// corvane-mount for real: each test mounts its own scope of its own engine
// on its own folder, works on it with the shell's tools and system calls,
// and checks both what the mount shows and what reaches the engine's folder
// (or, for a bucket scope, the bucket on the test run's S3 store).
// Every test unmounts and stops its processes, also when it fails.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <simdjson.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <future>
#include <set>
#include <sstream>
#include <thread>

#include "engine/engine_client.h"
#include "support/engine_process.h"
#include "support/engine_queries.h"
#include "support/s3_test_store.h"
#include "support/test_env.h"

namespace corvane::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const auto* const kStore = ::testing::AddGlobalTestEnvironment(new S3TestStore);

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void put(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = 15s) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

bool mounted(const fs::path& mountpoint) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, dev, root, point;
    fields >> id >> parent >> dev >> root >> point;
    if (point == mountpoint.string()) return true;
  }
  return false;
}

struct Shell {
  int status = -1;
  std::string output;
};

// Runs `script` with bash (stdout and stderr together), bounded in time.
Shell sh(const std::string& script, int seconds = 120) {
  std::string quoted = "'";
  for (char c : script) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  const std::string command =
      "timeout -k 5 " + std::to_string(seconds) + " bash -c " + quoted + " 2>&1";
  Shell out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.output.append(buffer, n);
  const int status = ::pclose(pipe);
  out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

// The errno of a call that returns -1 on failure; 0 when it succeeds.
int errnoOf(int rc) { return rc == -1 ? errno : 0; }

class MountTest : public ::testing::Test {
 protected:
  MountTest()
      : backing(env.root() / "bucket"), mountpoint(env.root() / "mnt"), work(env.root() / "work") {
    fs::create_directories(backing);
    fs::create_directories(mountpoint);
    fs::create_directories(work);
    ::setenv("B", backing.c_str(), 1);
    ::setenv("M", mountpoint.c_str(), 1);
    ::setenv("W", work.c_str(), 1);
    // Where mounts tell --status about themselves.
    fs::create_directories(env.root() / "run");
    ::setenv("XDG_RUNTIME_DIR", (env.root() / "run").c_str(), 1);
  }

  ~MountTest() override {
    unmount();
    engine.reset();
  }

  // An engine's options for serving `bucket` below `prefix` as the scope
  // s3-1, with the store's credentials in the environment as a user would
  // give them.
  static EngineProcess::Options bucketEngine(const TestBucket& bucket, const std::string& prefix,
                                             const std::vector<std::string>& extra = {}) {
    const s3::S3Config& config = S3TestStore::config();
    ::setenv("AWS_ACCESS_KEY_ID", config.credentials.accessKeyId.c_str(), 1);
    ::setenv("AWS_SECRET_ACCESS_KEY", config.credentials.secretAccessKey.c_str(), 1);
    EngineProcess::Options options;
    options.binary = CORVANE_BIN_DIR "/corvane-engine";
    options.extraArguments = {"--scope=b=s3://" + bucket.name() + "/" + prefix,
                              "--s3-endpoint=" + config.endpoint, "--s3-region=" + config.region,
                              "--s3-poll=1"};
    options.extraArguments.insert(options.extraArguments.end(), extra.begin(), extra.end());
    return options;
  }
  void startBucketEngine(const TestBucket& bucket, const std::string& prefix,
                         const std::vector<std::string>& extra = {}) {
    engine = std::make_unique<EngineProcess>(bucketEngine(bucket, prefix, extra));
  }

  void startEngine(std::vector<std::string> readOnly = {}) {
    EngineProcess::Options options;
    options.binary = CORVANE_BIN_DIR "/corvane-engine";
    options.scopes = {{"test", backing}};
    options.readOnly = std::move(readOnly);
    engine = std::make_unique<EngineProcess>(options);
  }

  // Mounts in the foreground as a child of the test; waits until the kernel
  // has the mount.
  void mount(const std::vector<std::string>& options = {}) {
    const std::string binary = CORVANE_BIN_DIR "/corvane-mount";
    const std::string cache = (env.cacheHome() / "mount").string();
    const std::string log = (env.root() / "mount.log").string();
    std::vector<std::string> args = {binary, "-f", "--poll", "1", "--domain",
                                     domain, "--cache", cache};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(mountpoint.string());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(logFd, 0);
    const pid_t parent = ::getpid();
    mountPid = ::fork();
    if (mountPid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(126);
      ::dup2(logFd, STDOUT_FILENO);
      ::dup2(logFd, STDERR_FILENO);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(logFd);
    ASSERT_GT(mountPid, 0);
    ASSERT_TRUE(eventually([&] { return mounted(mountpoint) || exited(); }, 20s));
    ASSERT_TRUE(mounted(mountpoint)) << "corvane-mount did not mount:\n" << mountLog();
  }

  bool exited() {
    if (mountPid <= 0) return true;
    int status = 0;
    if (::waitpid(mountPid, &status, WNOHANG) == mountPid) {
      mountStatus = status;
      mountPid = -1;
      return true;
    }
    return false;
  }

  // Stops the mount process (SIGTERM, then SIGKILL) and makes sure nothing
  // stays mounted.
  void unmount() {
    if (mountPid > 0) {
      ::kill(mountPid, SIGTERM);
      if (!eventually([&] { return exited(); }, 30s)) {
        ::kill(mountPid, SIGKILL);
        eventually([&] { return exited(); }, 10s);
      }
    }
    if (mounted(mountpoint)) sh("fusermount3 -u -z \"$M\"", 20);
  }

  // What the mount printed and what it logged through the extension's log.
  std::string mountLog() {
    return slurp(env.root() / "mount.log") + slurp(env.tmp() / "corvane-sync.log");
  }


  // Checks that modification times travel with the files written here;
  // `storedTime` reads the time the storage keeps ("seconds.nanoseconds").
  void checkTimesTravel(const std::function<std::string(const std::string&)>& storedTime);

  // Runs a script that must succeed.
  void ok(const std::string& script) {
    auto r = sh(script);
    ASSERT_EQ(r.status, 0) << script << "\n" << r.output << "\nmount log:\n" << mountLog();
  }

  TestEnvironment env;
  fs::path backing, mountpoint, work;
  std::unique_ptr<EngineProcess> engine;
  std::string domain = EngineProcess::scopeId(1);
  pid_t mountPid = -1;
  int mountStatus = -1;
};

class MountedTest : public MountTest {
 protected:
  void SetUp() override {
    startEngine();
    mount();
  }
};

TEST_F(MountedTest, ShellToolsWork) {
  fs::create_directories(backing / "docs");
  put(backing / "hello.txt", "hello\n");
  put(backing / "docs" / "d.txt", "doc\n");

  auto ls = sh("ls -la \"$M\" && ls \"$M/docs\"");
  ASSERT_EQ(ls.status, 0) << ls.output;
  EXPECT_NE(ls.output.find("hello.txt"), std::string::npos) << ls.output;
  EXPECT_NE(ls.output.find("d.txt"), std::string::npos) << ls.output;
  EXPECT_EQ(sh("stat -c '%s %F %U' \"$M/hello.txt\"").output,
            "6 regular file " + sh("id -un").output);
  EXPECT_EQ(sh("cat \"$M/hello.txt\"").output, "hello\n");

  ok("echo one > \"$M/e.txt\" && echo two >> \"$M/e.txt\" && test \"$(cat \"$M/e.txt\")\" = $'one\\ntwo'");
  ok("printf small > \"$W/small\" && cp \"$W/small\" \"$M/docs/\" && cp \"$M/hello.txt\" \"$W/out\" && cmp \"$W/out\" \"$B/hello.txt\"");
  ok("printf 0123456789 > \"$M/t.txt\" && truncate -s 4 \"$M/t.txt\" && test \"$(cat \"$M/t.txt\")\" = 0123");
  ok("mkdir -p \"$M/a/b/c\" && echo deep > \"$M/a/b/c/f\" && mv \"$M/a/b/c/f\" \"$M/a/g\" && mv \"$M/a\" \"$M/z\"");
  ok("touch \"$M/new-empty\" \"$M/hello.txt\" && test -f \"$M/new-empty\"");
  EXPECT_EQ(sh("cd \"$M\" && find . | sort").output,
            ".\n./docs\n./docs/d.txt\n./docs/small\n./e.txt\n./hello.txt\n./new-empty\n./t.txt\n"
            "./z\n./z/b\n./z/b/c\n./z/g\n");

  // rmdir of a folder that is not empty: refused, nothing deleted.
  auto rmdir = sh("rmdir \"$M/docs\"");
  EXPECT_NE(rmdir.status, 0);
  EXPECT_NE(rmdir.output.find("Directory not empty"), std::string::npos) << rmdir.output;
  EXPECT_EQ(errnoOf(::rmdir((mountpoint / "docs").c_str())), ENOTEMPTY);
  EXPECT_TRUE(fs::exists(backing / "docs" / "d.txt"));

  ok("rm \"$M/t.txt\" && rm -r \"$M/z\" && test ! -e \"$M/z\"");

  // Everything reaches the engine's folder.
  EXPECT_TRUE(eventually([&] {
    return slurp(backing / "e.txt") == "one\ntwo\n" && slurp(backing / "docs" / "small") == "small" &&
           fs::exists(backing / "new-empty") && !fs::exists(backing / "t.txt") &&
           !fs::exists(backing / "z") && !fs::exists(backing / "a");
  })) << sh("ls -laR \"$B\"").output << mountLog();
  EXPECT_EQ(slurp(backing / "hello.txt"), "hello\n");
}

TEST_F(MountedTest, LargeFilesCopyInAndOutUnchanged) {
  ok("head -c 100M /dev/urandom > \"$W/big\"");
  ok("cp \"$W/big\" \"$M/big\" && cmp \"$W/big\" \"$M/big\"");
  EXPECT_TRUE(eventually([&] {
    return fs::exists(backing / "big") && fs::file_size(backing / "big") == 100u << 20 &&
           sh("cmp \"$W/big\" \"$B/big\"").status == 0;
  }, 60s));
  ok("cp \"$W/big\" \"$B/big2\"");
  ok("cp \"$M/big2\" \"$W/out\" && cmp \"$W/big\" \"$W/out\" && cmp \"$W/big\" \"$M/big2\"");
}

TEST_F(MountedTest, TarIntoTheMountMatchesTheOriginal) {
  ok("mkdir -p \"$W/tree\" && cd \"$W/tree\" && for d in 1 2 3 4 5; do mkdir -p dir$d/sub; "
     "for f in 1 2 3 4 5 6 7 8 9 10; do echo \"$d $f\" > dir$d/f$f.txt; "
     "head -c $((d * f * 100)) /dev/urandom > dir$d/sub/b$f.bin; done; done && "
     "cd \"$W\" && tar cf tree.tar -C tree .");
  ok("mkdir \"$M/tree\" && tar xf \"$W/tree.tar\" -C \"$M/tree\" && diff -r \"$W/tree\" \"$M/tree\"");
  EXPECT_TRUE(eventually([&] { return sh("diff -r \"$W/tree\" \"$B/tree\"").status == 0; }))
      << sh("diff -r \"$W/tree\" \"$B/tree\"").output;
}

TEST_F(MountedTest, EditorStyleSaveReplacesTheFile) {
  put(backing / "notes.txt", "first draft\n");
  ok("test \"$(cat \"$M/notes.txt\")\" = 'first draft'");
  // An editor writes a new file beside the old one and renames it over.
  ok("printf 'second draft\\n' > \"$M/.notes.txt.tmp\" && mv \"$M/.notes.txt.tmp\" \"$M/notes.txt\" && "
     "test \"$(cat \"$M/notes.txt\")\" = 'second draft'");
  EXPECT_TRUE(eventually([&] { return slurp(backing / "notes.txt") == "second draft\n"; }));
  std::set<std::string> names;
  for (auto& e : fs::directory_iterator(backing)) names.insert(e.path().filename().string());
  EXPECT_EQ(names, std::set<std::string>{"notes.txt"});

  // Replacing is refused when the caller asks not to replace.
  put(mountpoint / "other.txt", "other");
  EXPECT_EQ(errnoOf(::renameat2(AT_FDCWD, (mountpoint / "other.txt").c_str(), AT_FDCWD,
                                (mountpoint / "notes.txt").c_str(), RENAME_NOREPLACE)),
            EEXIST);
  EXPECT_EQ(slurp(mountpoint / "notes.txt"), "second draft\n");
}

TEST_F(MountedTest, ChangesInTheBackingFolderShowWithinThePollInterval) {
  fs::create_directories(backing / "docs");
  put(backing / "docs" / "changing.txt", "v1");
  put(backing / "docs" / "leaving.txt", "bye");
  ok("ls \"$M/docs\" >/dev/null && cat \"$M/docs/changing.txt\" >/dev/null");

  // Measured from the moment the engine has logged each change: the mount
  // polls every second and must show it within one more.
  auto check = [&](const std::string& what, const std::string& path,
                   const std::function<void()> change, const std::function<bool()> shown) {
    const auto anchor = latestAnchor();
    change();
    ASSERT_TRUE(eventually([&] { return engineLogged(anchor, path); })) << what;
    EXPECT_TRUE(eventually(shown, 2s)) << what << " not shown in time";
  };
  check("created", "docs/arrived.txt", [&] { put(backing / "docs" / "arrived.txt", "new"); },
        [&] { return sh("ls \"$M/docs\"").output.find("arrived.txt") != std::string::npos; });
  check("changed", "docs/changing.txt", [&] { put(backing / "docs" / "changing.txt", "version 2"); },
        [&] { return sh("cat \"$M/docs/changing.txt\"").output == "version 2"; });
  check("deleted", "docs/leaving.txt", [&] { fs::remove(backing / "docs" / "leaving.txt"); },
        [&] {
          return sh("ls \"$M/docs\"").output.find("leaving.txt") == std::string::npos &&
                 !fs::exists(mountpoint / "docs" / "leaving.txt");
        });
}

TEST_F(MountedTest, ConflictKeepsBothContents) {
  put(backing / "shared.txt", "base");
  const fs::path file = mountpoint / "shared.txt";
  int fd = ::open(file.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, "mine", 4, 0), 4);
  const std::string before = engineVersion("shared.txt");
  put(backing / "shared.txt", "theirs!");
  ASSERT_TRUE(eventually([&] { return engineVersion("shared.txt") != before; }));
  ASSERT_EQ(::close(fd), 0);

  std::string copy;
  ASSERT_TRUE(eventually([&] {
    for (auto& e : fs::directory_iterator(backing)) {
      auto name = e.path().filename().string();
      if (name.rfind("shared (conflict ", 0) == 0) copy = name;
    }
    return !copy.empty();
  })) << mountLog();
  EXPECT_EQ(slurp(backing / copy), "mine");
  EXPECT_EQ(slurp(backing / "shared.txt"), "theirs!");
  EXPECT_TRUE(eventually([&] {
    return slurp(file) == "theirs!" && slurp(mountpoint / copy) == "mine";
  }, 5s)) << "mount shows: " << slurp(file);
}

TEST_F(MountedTest, EngineAwayMeansEIOWithoutLosingData) {
  fs::create_directories(backing / "unseen");
  put(backing / "unseen" / "u.txt", "u");
  put(backing / "cold.txt", "never read");
  ok("ls \"$M\" >/dev/null");
  engine->stop();

  EXPECT_EQ(errnoOf(::mkdir((mountpoint / "newdir").c_str(), 0755)), EIO);
  auto unseen = sh("ls \"$M/unseen\"");
  EXPECT_NE(unseen.status, 0);
  EXPECT_NE(unseen.output.find("Input/output error"), std::string::npos) << unseen.output;
  EXPECT_NE(sh("cat \"$M/cold.txt\"").output.find("Input/output error"), std::string::npos);
  // Writing still works; the file waits for the engine.
  ok("echo kept > \"$M/offline.txt\" && test \"$(cat \"$M/offline.txt\")\" = kept");
  // An fsync tells that it is not at the engine yet.
  int fd = ::open((mountpoint / "offline.txt").c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "more\n", 5), 5);
  EXPECT_EQ(errnoOf(::fsync(fd)), EIO);
  ::close(fd);

  startEngine();
  EXPECT_TRUE(eventually([&] { return slurp(backing / "offline.txt") == "kept\nmore\n"; }))
      << mountLog();
  ok("ls \"$M/unseen\" | grep -q u.txt && test \"$(cat \"$M/cold.txt\")\" = 'never read' && mkdir \"$M/newdir\"");
}

// How many times `text` occurs in `haystack`.
std::size_t occurrences(const std::string& haystack, const std::string& text) {
  std::size_t n = 0;
  for (auto at = haystack.find(text); at != std::string::npos; at = haystack.find(text, at + 1)) n++;
  return n;
}

// Lets a stopped engine go on whatever the test's outcome, so that the
// mount's pending requests end and the engine can be stopped.
struct Resume {
  pid_t pid = -1;
  ~Resume() {
    if (pid > 0) ::kill(pid, SIGCONT);
  }
};

// The engine's process stopped with its socket open: requests to it are taken
// and never answered. The mount must not wait for it where it need not: new
// files are made, what it holds is served, the rest fails with EIO at once,
// and once the engine goes on the mount catches up with what changed.
TEST_F(MountedTest, AStoppedEngineIsServedAroundAndCaughtUpWith) {
  fs::create_directories(backing / "unseen");
  put(backing / "unseen" / "u.txt", "u");
  put(backing / "cached.txt", "cached\n");
  put(backing / "cold.txt", "never read\n");
  ok("ls \"$M\" >/dev/null && cat \"$M/cached.txt\" >/dev/null");
  ASSERT_EQ(::kill(engine->pid(), SIGSTOP), 0);
  Resume resume{engine->pid()};

  // Spread over more than one poll: a poll waiting for the engine must not
  // hold up a create. The bound only guards against a hang.
  auto making = std::async(std::launch::async, [] {
    return sh("for i in 1 2 3 4; do echo $i > \"$M/new$i.txt\" && sleep 0.5; done", 60);
  });
  const bool inTime = making.wait_for(30s) == std::future_status::ready;
  if (!inTime) ::kill(engine->pid(), SIGCONT);  // lets the blocked creates end
  ASSERT_TRUE(inTime) << "creates waited for the stopped engine";
  auto made = making.get();
  ASSERT_EQ(made.status, 0) << made.output << mountLog();
  const auto stderrText = [&] { return slurp(env.root() / "mount.log"); };
  ASSERT_TRUE(eventually([&] { return stderrText().find("lost the engine") != std::string::npos; }))
      << mountLog();

  EXPECT_EQ(sh("cat \"$M/cached.txt\"").output, "cached\n");
  EXPECT_EQ(sh("stat -c %s \"$M/cold.txt\"").output, "11\n");
  EXPECT_EQ(sh("ls \"$M\" | tr \"\\n\" \" \"").output,
            "cached.txt cold.txt new1.txt new2.txt new3.txt new4.txt unseen ");
  for (int round = 0; round < 3; ++round) {
    const auto start = Clock::now();
    const int fd = ::open((mountpoint / "cold.txt").c_str(), O_RDONLY);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(errno, EIO);
    if (fd >= 0) ::close(fd);
    auto unseen = sh("ls \"$M/unseen\"", 20);
    EXPECT_NE(unseen.output.find("Input/output error"), std::string::npos) << unseen.output;
    EXPECT_LT(Clock::now() - start, 5s) << "failing took as long as waiting for the engine";
  }
  put(backing / "cached.txt", "changed meanwhile\n");

  ASSERT_EQ(::kill(engine->pid(), SIGCONT), 0);
  resume.pid = -1;
  EXPECT_TRUE(eventually([&] { return stderrText().find("the engine is back") != std::string::npos; }))
      << mountLog();
  EXPECT_TRUE(eventually([&] { return sh("cat \"$M/cached.txt\"").output == "changed meanwhile\n"; }))
      << mountLog();
  EXPECT_TRUE(eventually([&] { return slurp(backing / "new4.txt") == "4\n"; })) << mountLog();
  ok("ls \"$M/unseen\" | grep -q u.txt && test \"$(cat \"$M/cold.txt\")\" = 'never read'");
  for (int i = 1; i <= 4; ++i) {
    EXPECT_EQ(slurp(backing / ("new" + std::to_string(i) + ".txt")), std::to_string(i) + "\n");
  }
  // Said once each, on standard error and in the log, however many requests failed.
  EXPECT_EQ(occurrences(stderrText(), "lost the engine"), 1u) << stderrText();
  EXPECT_EQ(occurrences(stderrText(), "the engine is back"), 1u) << stderrText();
  const std::string logged = slurp(env.tmp() / "corvane-sync.log");
  EXPECT_EQ(occurrences(logged, "mount: lost the engine"), 1u);
  EXPECT_EQ(occurrences(logged, "mount: the engine is back"), 1u);
  // With its time and level, on standard error and in the mount's own log.
  static const std::regex lost(
      R"(\n\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z corvane-mount\[\d+\] warning: lost the engine)");
  EXPECT_TRUE(std::regex_search("\n" + stderrText(), lost)) << stderrText();
  EXPECT_TRUE(std::regex_search("\n" + slurp(env.logFolder() / "corvane-mount.log"), lost));
}

// An engine that has ended: the mount serves what it holds, says once that
// the engine is gone and once that it is back, and catches up after.
TEST_F(MountedTest, AnEngineThatEndedIsSaidOnceAndCaughtUpWith) {
  put(backing / "cached.txt", "cached\n");
  put(backing / "cold.txt", "never read\n");
  ok("ls \"$M\" >/dev/null && cat \"$M/cached.txt\" >/dev/null");
  engine->stop();
  put(backing / "cached.txt", "changed meanwhile\n");
  put(backing / "added.txt", "added\n");

  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(sh("cat \"$M/cached.txt\"").output, "cached\n");
    EXPECT_NE(sh("cat \"$M/cold.txt\"").output.find("Input/output error"), std::string::npos);
    std::this_thread::sleep_for(400ms);  // across polls
  }
  const auto stderrText = [&] { return slurp(env.root() / "mount.log"); };
  EXPECT_EQ(occurrences(stderrText(), "lost the engine"), 1u) << stderrText();

  startEngine();
  EXPECT_TRUE(eventually([&] { return sh("cat \"$M/cached.txt\"").output == "changed meanwhile\n"; }))
      << mountLog();
  EXPECT_TRUE(eventually([&] { return sh("cat \"$M/added.txt\"").output == "added\n"; }))
      << mountLog();
  EXPECT_EQ(occurrences(stderrText(), "lost the engine"), 1u) << stderrText();
  EXPECT_EQ(occurrences(stderrText(), "the engine is back"), 1u) << stderrText();
}

// The review's case: changes made while the engine is away and the mount
// ends before it is back reach the engine through the next mount.
TEST_F(MountedTest, UnsentChangesSurviveTheEndOfTheMount) {
  put(backing / "a.txt", "old\n");
  put(backing / "t.txt", "0123456789");
  ok("ls \"$M\" >/dev/null && cat \"$M/a.txt\" \"$M/t.txt\" >/dev/null");
  engine->stop();
  ok("echo offline-data > \"$M/offline.txt\" && echo more >> \"$M/a.txt\"");
  // truncate(2) without an open file is kept like a write, not refused.
  EXPECT_EQ(errnoOf(::truncate((mountpoint / "t.txt").c_str(), 4)), 0);
  unmount();
  EXPECT_FALSE(fs::exists(backing / "offline.txt"));

  startEngine();
  mount();
  EXPECT_EQ(slurp(backing / "offline.txt"), "offline-data\n") << mountLog();
  EXPECT_EQ(slurp(backing / "a.txt"), "old\nmore\n");
  EXPECT_EQ(slurp(backing / "t.txt"), "0123");
  ok("test \"$(cat \"$M/offline.txt\")\" = offline-data && test \"$(cat \"$M/t.txt\")\" = 0123");
}

// Names the engine would refuse fail where they are made, as a local file
// system fails them, instead of looking written.
TEST_F(MountedTest, NamesTheEngineCannotHoldAreRefused) {
  put(backing / "a.txt", "A");
  const fs::path tooLong = mountpoint / std::string(256, 'n');
  const fs::path backslash = mountpoint / "back\\slash";
  const fs::path notUtf8 = mountpoint / "bad-\xff";
  struct Case {
    const fs::path& path;
    int expected;
  };
  for (const Case& c : {Case{tooLong, ENAMETOOLONG}, Case{backslash, EINVAL}, Case{notUtf8, EINVAL}}) {
    SCOPED_TRACE(c.path.filename().string());
    EXPECT_EQ(errnoOf(::open(c.path.c_str(), O_WRONLY | O_CREAT, 0644)), c.expected);
    EXPECT_EQ(errnoOf(::mknod(c.path.c_str(), S_IFREG | 0644, 0)), c.expected);
    EXPECT_EQ(errnoOf(::mkdir(c.path.c_str(), 0755)), c.expected);
    EXPECT_EQ(errnoOf(::rename((mountpoint / "a.txt").c_str(), c.path.c_str())), c.expected);
  }
  EXPECT_EQ(errnoOf(::access(tooLong.c_str(), F_OK)), ENAMETOOLONG);

  // A path near PATH_MAX: the folders are made while the engine's path
  // limit allows, then the next one is refused as too long, not with EIO.
  std::string path = mountpoint.string();
  int made = 0, err = 0;
  while (path.size() < 4000 && err == 0) {
    path += "/" + std::string(200, 'd');
    err = errnoOf(::mkdir(path.c_str(), 0755));
    if (err == 0) ++made;
  }
  EXPECT_EQ(err, ENAMETOOLONG);
  EXPECT_EQ(made, 5);  // 5 * 201 - 1 = 1004 bytes; a sixth would need 1205
  EXPECT_EQ(errnoOf(::open((path + "/x").c_str(), O_WRONLY | O_CREAT, 0644)), ENAMETOOLONG);

  std::set<std::string> names;
  for (auto& e : fs::directory_iterator(backing)) names.insert(e.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"a.txt", std::string(200, 'd')}));
  EXPECT_EQ(slurp(backing / "a.txt"), "A");
}

// Undoes `chattr +i` on a folder at the end of a test, also when it fails.
class Immutable {
 public:
  explicit Immutable(fs::path folder) : folder_(std::move(folder)) {
    set_ = sh("chattr +i \"" + folder_.string() + "\"", 20).status == 0;
  }
  ~Immutable() { release(); }
  bool set() const { return set_; }
  void release() {
    if (set_) sh("chattr -i \"" + folder_.string() + "\"", 20);
    set_ = false;
  }

 private:
  fs::path folder_;
  bool set_ = false;
};

// --status while the mount runs: a change the engine refuses, with its
// error, one still being written, the cache, the engine as the mount sees
// it; and nothing pending once all is sent.
TEST_F(MountedTest, StatusShowsPendingAndRefusedChanges) {
  const std::string status = CORVANE_BIN_DIR "/corvane-mount --status";
  auto idle = sh(status);
  EXPECT_EQ(idle.status, 0) << idle.output;
  EXPECT_EQ(idle.output.rfind(domain + " (", 0), 0u) << "the domain's id and name first:\n"
                                                    << idle.output;
  for (const std::string& line :
       {" on " + mountpoint.string() + "\n", std::string("  engine: reachable\n"),
        std::string("  pending uploads: none\n"), std::string("  failed changes: none\n"),
        std::string("  cache: 0 B of 10.0 GiB in ")}) {
    EXPECT_NE(idle.output.find(line), std::string::npos) << line << "\nin:\n" << idle.output;
  }

  fs::create_directories(backing / "locked");
  ASSERT_TRUE(eventually([&] { return fs::exists(mountpoint / "locked"); })) << mountLog();
  Immutable locked(backing / "locked");  // even root cannot write into it
  if (!locked.set()) GTEST_SKIP() << "chattr +i does not work here";
  put(mountpoint / "locked" / "new.txt", "refused\n");
  const int fd = ::open((mountpoint / "open.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "pending", 7), 7);

  ASSERT_TRUE(eventually([&] { return sh(status).output.find("  failed changes: 1\n") != std::string::npos; }))
      << sh(status).output << mountLog();
  auto shown = sh(status);
  EXPECT_EQ(shown.status, 0);
  EXPECT_NE(shown.output.find("  pending uploads: 2 changes, 15 B\n"), std::string::npos)
      << shown.output;
  const auto refused = shown.output.find("    locked/new.txt: ");
  ASSERT_NE(refused, std::string::npos) << shown.output;
  EXPECT_NE(shown.output.find("Operation not permitted", refused), std::string::npos) << shown.output;

  auto json = sh(status + " --json");
  EXPECT_EQ(json.status, 0);
  simdjson::dom::parser parser;
  simdjson::dom::element doc;
  ASSERT_EQ(parser.parse(json.output).get(doc), simdjson::SUCCESS) << json.output;
  auto m = doc["mounts"].at(0);
  EXPECT_EQ(std::string_view(m["mountpoint"]), mountpoint.string());
  EXPECT_EQ(std::string_view(m["engine"]), "reachable");
  EXPECT_EQ(std::int64_t(m["pendingUploads"]["count"]), 2);
  EXPECT_EQ(std::string_view(m["failedChanges"].at(0)["path"]), "locked/new.txt");

  // The engine goes: the mount says so.
  engine->stop();
  EXPECT_TRUE(eventually([&] { return sh(status).output.find("  engine: unreachable\n") != std::string::npos; }))
      << sh(status).output;
  startEngine();
  ASSERT_EQ(::close(fd), 0);
  locked.release();
  // A refused change waits longer before its next try.
  EXPECT_TRUE(eventually([&] { return slurp(backing / "locked" / "new.txt") == "refused\n"; }, 60s))
      << mountLog();
  EXPECT_TRUE(eventually([&] { return sh(status).output.find("  pending uploads: none\n") != std::string::npos; }))
      << sh(status).output;
  EXPECT_EQ(slurp(backing / "open.txt"), "pending");
}

// Folders the mount must not go on: it exits with 1 and a message that names
// the folder and what to do, and mounts nothing there.
TEST_F(MountedTest, RefusesFoldersThatAreMountedOrNotEmpty) {
  const fs::path full = env.root() / "full";
  fs::create_directories(full);
  put(full / "keep.txt", "k");
  struct Unmount {
    fs::path folder;
    ~Unmount() {
      if (mounted(folder)) sh("fusermount3 -u -z \"" + folder.string() + "\"", 20);
    }
  } unmountFull{full};
  const std::string mountCommand = std::string(CORVANE_BIN_DIR "/corvane-mount") + " --domain " +
                                   domain + " --cache \"" + (env.cacheHome() / "other").string() +
                                   "\" ";
  auto mountCount = [&](const fs::path& folder) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    int n = 0;
    while (std::getline(in, line)) n += line.find(" " + folder.string() + " ") != std::string::npos;
    return n;
  };
  struct Case {
    std::string options;
    fs::path folder;
    std::string expected;
  };
  const std::string m = mountpoint.string();
  const std::vector<Case> cases = {
      {"", m, m + " is already a mount point of corvane:" + domain + " (fuse.corvane); unmount it"},
      {"-f", m, m + " is already a mount point of corvane:" + domain},
      {"--allow-non-empty", m, m + " is already a mount point"},
      {"", full, full.string() + " is not empty (1 entry"},
      {"-f", full, full.string() + " is not empty (1 entry"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options + " " + c.folder.string());
    auto r = sh(mountCommand + c.options + " \"" + c.folder.string() + "\"", 30);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_EQ(r.output.rfind("corvane-mount: " + c.expected, 0), 0u) << r.output;
  }
  EXPECT_EQ(mountCount(mountpoint), 1);
  EXPECT_EQ(mountCount(full), 0);

  // With consent, either way it is given.
  for (const std::string consent : {"--allow-non-empty", "-o nonempty"}) {
    SCOPED_TRACE(consent);
    auto r = sh(mountCommand + consent + " \"" + full.string() + "\"", 30);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(mounted(full));
    EXPECT_FALSE(fs::exists(full / "keep.txt"));
    ok("fusermount3 -u \"" + full.string() + "\"");
    EXPECT_TRUE(eventually([&] { return !mounted(full) && fs::exists(full / "keep.txt"); }));
  }

  // A mount whose process was killed: the folder is named, with the command
  // that clears it, and that command is enough.
  ::kill(mountPid, SIGKILL);
  ASSERT_TRUE(eventually([&] { return exited(); }));
  // The kernel lets go of the connection just after the process is gone.
  ASSERT_TRUE(eventually([&] {
    struct stat st {};
    return ::stat(mountpoint.c_str(), &st) == -1 && errno == ENOTCONN;
  }));
  auto stale = sh(mountCommand + " \"" + m + "\"", 30);
  EXPECT_EQ(stale.status, 1) << stale.output;
  EXPECT_EQ(stale.output, "corvane-mount: " + m +
                              " is still mounted by a process that has ended; clear it with "
                              "`fusermount3 -u " + m + "` and mount again\n");
  auto status = sh(CORVANE_BIN_DIR "/corvane-mount --status");
  EXPECT_NE(status.output.find("its folder is left mounted: clear it with `fusermount3 -u " + m + "`"),
            std::string::npos)
      << status.output;
  ok("fusermount3 -u \"$M\"");
  mount();
}

// scripts/run as a user runs it from a terminal, in a session of its own so
// that a Ctrl-C (SIGINT to its process group) reaches the script and its
// mount. Stopped, also when the test fails, by that Ctrl-C, then SIGTERM,
// then SIGKILL; the run stops the engine it started itself.
class RunScript {
 public:
  RunScript(const std::string& arguments, const fs::path& log) {
    ::setenv("CORVANE_BIN_DIR", CORVANE_BIN_DIR, 1);
    auto started = sh("setsid " CORVANE_SOURCE_DIR "/scripts/run --no-build " + arguments + " >\"" +
                      log.string() + "\" 2>&1 </dev/null & echo $!");
    pid_ = std::atoi(started.output.c_str());
  }
  ~RunScript() { stop(); }
  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0 && ::kill(pid_, 0) == 0; }
  // Ctrl-C; true when the run has ended within `timeout`.
  bool interrupt(std::chrono::milliseconds timeout = 30s) {
    if (pid_ <= 0) return true;
    ::kill(-pid_, SIGINT);
    return eventually([&] { return !running(); }, timeout);
  }
  void stop() {
    if (pid_ <= 0) return;
    if (!interrupt()) {
      ::kill(-pid_, SIGTERM);
      if (!eventually([&] { return !running(); }, 20s)) ::kill(-pid_, SIGKILL);
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// Only one scripts/run at a time, and it never unmounts a live mount: a
// second run while one runs says so and leaves the first one's mount alone;
// a run finds a live mount of someone else and stops; a mount whose process
// has ended is cleared and mounted anew.
TEST_F(MountTest, RunScriptsLeaveLiveMountsAlone) {
  const fs::path firstLog = env.root() / "run1.log";
  {
    RunScript first("--scope \"$B\" \"$M\"", firstLog);
    ASSERT_GT(first.pid(), 0);
    ASSERT_TRUE(eventually([&] { return mounted(mountpoint) || !first.running(); }, 30s))
        << slurp(firstLog);
    ASSERT_TRUE(mounted(mountpoint)) << slurp(firstLog);

    auto second = sh(CORVANE_SOURCE_DIR "/scripts/run --no-build --scope \"$B\" \"$M\"", 60);
    EXPECT_EQ(second.status, 1) << second.output;
    EXPECT_EQ(second.output.rfind("run: another scripts/run is running (process " +
                                      std::to_string(first.pid()) + ", mount point " +
                                      mountpoint.string() + ")", 0),
              0u)
        << second.output;
    EXPECT_TRUE(mounted(mountpoint));
    ok("echo still-here > \"$M/live.txt\" && cat \"$M/live.txt\" >/dev/null");
    EXPECT_TRUE(eventually([&] { return slurp(backing / "live.txt") == "still-here\n"; }))
        << slurp(firstLog);

    ASSERT_TRUE(first.interrupt()) << slurp(firstLog);
    EXPECT_FALSE(mounted(mountpoint));
    const std::string said = slurp(firstLog);
    EXPECT_NE(said.find("run: unmounted " + mountpoint.string()), std::string::npos) << said;
    EXPECT_NE(said.find("run: stopping corvane-engine"), std::string::npos) << said;
  }

  // A live mount that no run made.
  startEngine();
  mount();
  auto refused = sh(CORVANE_SOURCE_DIR "/scripts/run --no-build \"$M\"", 60);
  EXPECT_EQ(refused.status, 1) << refused.output;
  EXPECT_EQ(refused.output.rfind("run: " + mountpoint.string() + " is already mounted and in use", 0),
            0u)
      << refused.output;
  EXPECT_TRUE(mounted(mountpoint));
  ok("ls \"$M\" >/dev/null");

  // Its process killed: the dead mount is cleared, and the run mounts.
  ::kill(mountPid, SIGKILL);
  ASSERT_TRUE(eventually([&] { return exited(); }));
  const fs::path thirdLog = env.root() / "run3.log";
  RunScript third("\"$M\"", thirdLog);
  ASSERT_TRUE(eventually([&] {
    return slurp(thirdLog).find("run: mounting at") != std::string::npos || !third.running();
  }, 30s)) << slurp(thirdLog);
  EXPECT_TRUE(eventually([&] {
    std::error_code ec;
    return fs::exists(mountpoint / "live.txt", ec);
  })) << slurp(thirdLog);
  EXPECT_NE(slurp(thirdLog).find("run: " + mountpoint.string() +
                                 " was left mounted by a mount that has ended; unmounting it"),
            std::string::npos)
      << slurp(thirdLog);
  EXPECT_TRUE(third.interrupt()) << slurp(thirdLog);
  EXPECT_FALSE(mounted(mountpoint));
}

// Ctrl-C with changes unsent says how many and how not to wait; a second
// Ctrl-C ends the mount at once, and the next mount sends what was left.
TEST_F(MountedTest, ASecondCtrlCEndsAtOnceAndKeepsWhatIsUnsent) {
  const int fd = ::open((mountpoint / "late.bin").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  // An engine that takes requests and never answers: the upload would wait.
  ASSERT_EQ(::kill(engine->pid(), SIGSTOP), 0);
  Resume resume{engine->pid()};
  const std::string bytes(3 << 20, 'z');
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ASSERT_EQ(::close(fd), 0);

  ::kill(mountPid, SIGINT);
  EXPECT_TRUE(eventually([&] { return mountLog().find("corvane-mount: sending") != std::string::npos; }, 10s));
  EXPECT_FALSE(exited());
  ::kill(mountPid, SIGINT);
  ASSERT_TRUE(eventually([&] { return exited(); }, 10s)) << mountLog();
  EXPECT_TRUE(WIFEXITED(mountStatus) && WEXITSTATUS(mountStatus) == 1) << mountLog();
  const std::string log = slurp(env.root() / "mount.log");
  EXPECT_NE(log.find("corvane-mount: sending 1 change (3.0 MiB)... (Ctrl-C again stops at once; "
                     "what is unsent stays recorded and the next mount sends it)\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("corvane-mount: stopped without waiting; 1 change (3.0 MiB) left unsent"),
            std::string::npos)
      << log;
  EXPECT_FALSE(mounted(mountpoint));

  ::kill(engine->pid(), SIGCONT);
  engine->stop();
  startEngine();
  mount();
  EXPECT_TRUE(eventually([&] { return fs::exists(backing / "late.bin") && fs::file_size(backing / "late.bin") == bytes.size(); }))
      << mountLog();
}

// A file opened for writing again just as the write-back of its last close
// ends: the new writes must land in a working copy of their own, not in the
// contents the write-back has just taken as the engine's version. The race
// is lost on one reopen in a dozen or so; two hundred make it show.
TEST_F(MountedTest, WritesRightAfterACloseAreKeptAndSent) {
  const std::string first(3000, 'x'), more(1000, 'w');
  const std::string want = first + std::string(500, '\0') + more;
  for (int i = 0; i < 200; ++i) {
    const fs::path file = mountpoint / ("r" + std::to_string(i));
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, first.data(), first.size(), 0), 3000);
    ASSERT_EQ(::close(fd), 0);
    fd = ::open(file.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, more.data(), more.size(), 3500), 1000);
    struct stat st;
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4500) << file;
    ASSERT_EQ(::close(fd), 0);
  }
  for (int i = 0; i < 200; ++i) {
    const std::string name = "r" + std::to_string(i);
    EXPECT_TRUE(eventually([&] { return slurp(backing / name) == want; }, 5s)) << name;
    EXPECT_EQ(slurp(mountpoint / name), want) << name;
  }
}

TEST_F(MountTest, ASmallCacheStaysWithinItsLimitBesideOpenFiles) {
  // Bytes that differ at every offset and from file to file.
  auto bytesOf = [](std::size_t size, int seed) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 131 + i / 4093 + seed * 71) & 0xff);
    return out;
  };
  std::map<std::string, std::string> files;
  for (int i = 0; i < 4; ++i) files["f" + std::to_string(i)] = bytesOf(700'000, i);
  files["big"] = bytesOf(5 << 20, 9);
  for (const auto& [name, bytes] : files) put(backing / name, bytes);
  startEngine();
  mount({"--cache-size", "1M"});
  // What the cache holds of fetched contents (working copies aside). The
  // mount evicts while this counts: a file gone meanwhile counts nothing.
  auto cachedBytes = [&] {
    std::uintmax_t total = 0;
    for (auto& e : fs::directory_iterator(env.cacheHome() / "mount")) {
      std::error_code ec;
      if (!e.is_regular_file(ec) || !e.path().extension().empty()) continue;
      const auto size = fs::file_size(e.path(), ec);
      if (!ec) total += size;
    }
    return total;
  };
  constexpr std::uintmax_t kLimit = 1 << 20;

  const int fd = ::open((mountpoint / "f0").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::string held(700'000, '\0');
  ASSERT_EQ(::pread(fd, held.data(), held.size(), 0), static_cast<ssize_t>(held.size()));
  EXPECT_EQ(held, files["f0"]);
  for (const auto& [name, bytes] : files) EXPECT_TRUE(slurp(mountpoint / name) == bytes) << name;
  EXPECT_TRUE(eventually([&] { return cachedBytes() <= kLimit + 700'000; })) << cachedBytes();
  ASSERT_EQ(::pread(fd, held.data(), held.size(), 0), static_cast<ssize_t>(held.size()));
  EXPECT_EQ(held, files["f0"]);
  ::close(fd);
  EXPECT_TRUE(eventually([&] { return cachedBytes() <= kLimit; })) << cachedBytes();
  EXPECT_TRUE(slurp(mountpoint / "f1") == files["f1"]);
}

// A few KiB read of a large file moves about a block, not the file: the
// engine serves the range and the cache holds only what was fetched.
TEST_F(MountTest, ReadingAFewBytesOfALargeFileFetchesOnlyThem) {
  std::string bytes(64 << 20, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7 + i / 65521) & 0xff);
  put(backing / "large.bin", bytes);
  startEngine();
  mount();
  // Bytes on disk of the fetched contents (holes of sparse files not counted).
  auto cachedOnDisk = [&] {
    std::uintmax_t total = 0;
    for (auto& e : fs::recursive_directory_iterator(env.cacheHome() / "mount")) {
      struct stat st {};
      std::error_code ec;
      if (e.is_regular_file(ec) && ::stat(e.path().c_str(), &st) == 0) total += st.st_blocks * 512u;
    }
    return total;
  };

  const int fd = ::open((mountpoint / "large.bin").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  const struct {
    off_t offset;
    std::size_t length;
  } reads[] = {{0, 4096}, {(40 << 20) + 123, 5000}, {(64 << 20) - 100, 100}};
  for (const auto& r : reads) {
    std::string got(r.length, '\0');
    ASSERT_EQ(::pread(fd, got.data(), got.size(), r.offset), static_cast<ssize_t>(got.size()));
    EXPECT_TRUE(got == bytes.substr(r.offset, r.length)) << r.offset;
  }
  ::close(fd);
  EXPECT_LE(cachedOnDisk(), std::uintmax_t{8} << 20);
}

TEST_F(MountTest, ReadOnlyScopeRefusesWrites) {
  put(backing / "r.txt", "read only");
  fs::create_directories(backing / "dir");
  startEngine({"test"});
  mount();

  EXPECT_EQ(slurp(mountpoint / "r.txt"), "read only");
  auto refused = [](int err) { return err == EROFS || err == EACCES; };
  EXPECT_TRUE(refused(errnoOf(::open((mountpoint / "r.txt").c_str(), O_WRONLY))));
  EXPECT_TRUE(refused(errnoOf(::open((mountpoint / "n.txt").c_str(), O_WRONLY | O_CREAT, 0644))));
  EXPECT_TRUE(refused(errnoOf(::mkdir((mountpoint / "m").c_str(), 0755))));
  EXPECT_TRUE(refused(errnoOf(::unlink((mountpoint / "r.txt").c_str()))));
  EXPECT_TRUE(refused(errnoOf(::rmdir((mountpoint / "dir").c_str()))));
  EXPECT_TRUE(refused(errnoOf(::rename((mountpoint / "r.txt").c_str(), (mountpoint / "s.txt").c_str()))));
  EXPECT_TRUE(refused(errnoOf(::truncate((mountpoint / "r.txt").c_str(), 0))));
  EXPECT_EQ(slurp(backing / "r.txt"), "read only");
  EXPECT_FALSE(fs::exists(backing / "n.txt"));
}

// The same shell tools on a bucket: what the mount writes arrives as keys
// below the scope's prefix, byte for byte, and folders go as a whole.
// corvane-fpctl on a bucket scope: the same commands as on a folder create,
// read (whole and a range), rename, list and delete keys below the prefix.
TEST_F(MountTest, FpctlServesABucketScope) {
  TestBucket bucket;
  startBucketEngine(bucket, "p");
  ::setenv("F", CORVANE_BIN_DIR "/corvane-fpctl", 1);
  const auto keys = [&] {
    std::set<std::string> out;
    bucket.client().listAll("p/", "", [&](s3::S3ListPage& page) {
      for (const auto& object : page.objects) out.insert(object.key.substr(2));
      return true;
    });
    return out;
  };

  ok("printf 'hello bucket' > \"$W/in\" && \"$F\" --domain s3-1 create :root a.txt --contents \"$W/in\"");
  EXPECT_EQ(keys(), std::set<std::string>{"a.txt"});
  ok("\"$F\" --domain s3-1 fetch a.txt --output \"$W/out\" && cmp \"$W/in\" \"$W/out\"");
  ok("\"$F\" --domain s3-1 fetch a.txt --range 6:3 --output \"$W/part\"");
  EXPECT_EQ(slurp(work / "part"), "buc");
  ok("\"$F\" --domain s3-1 modify a.txt --name b.txt --parent :root --fields filename");
  EXPECT_EQ(keys(), std::set<std::string>{"b.txt"});
  const Shell listed = sh("\"$F\" --domain s3-1 list :root");
  EXPECT_EQ(listed.status, 0) << listed.output;
  EXPECT_NE(listed.output.find("b.txt"), std::string::npos) << listed.output;
  ok("\"$F\" --domain s3-1 delete b.txt");
  EXPECT_TRUE(keys().empty()) << ::testing::PrintToString(keys());
}

TEST_F(MountTest, BucketScopeWorksFromTheShell) {
  TestBucket bucket;
  startBucketEngine(bucket, "m");
  domain = "s3-1";
  mount();

  const auto keys = [&] {
    std::set<std::string> out;
    bucket.client().listAll("m/", "", [&](s3::S3ListPage& page) {
      for (const auto& object : page.objects) out.insert(object.key.substr(2));
      return true;
    });
    return out;
  };
  ok("head -c 30M /dev/urandom > \"$W/big\" && cp \"$W/big\" \"$M/big\" && mkdir -p \"$M/d/e\" && "
     "echo small > \"$M/d/e/small.txt\" && cp \"$W/big\" \"$M/d/copy\"");
  ok("mv \"$M/d\" \"$M/moved\" && cp \"$M/moved/copy\" \"$W/back\" && cmp \"$W/big\" \"$W/back\"");
  // mkdir's markers move with their folder.
  const std::set<std::string> afterMove = {"big", "moved/", "moved/copy", "moved/e/",
                                           "moved/e/small.txt"};
  EXPECT_TRUE(eventually([&] { return keys() == afterMove; }, 60s))
      << ::testing::PrintToString(keys()) << mountLog();
  ok("mkdir \"$M/empty\"");
  EXPECT_TRUE(eventually([&] { return keys().contains("empty/"); })) << mountLog();
  bucket.client().getToFile("m/moved/copy", work / "from-bucket");
  ok("cmp \"$W/big\" \"$W/from-bucket\"");

  ok("rm -r \"$M/moved\" && test ! -e \"$M/moved\" && ls \"$M\"");
  EXPECT_TRUE(eventually([&] { return keys() == std::set<std::string>{"big", "empty/"}; }, 30s))
      << ::testing::PrintToString(keys()) << mountLog();
  // Another client's object shows up in the mount.
  bucket.client().putBytes("m/empty/theirs.txt", "theirs\n");
  EXPECT_TRUE(eventually([&] { return sh("cat \"$M/empty/theirs.txt\"").output == "theirs\n"; }))
      << mountLog();
  unmount();
}

// --- modification times -------------------------------------------------------

// How many requests of `operation` (upload, set-mod-time...) the engine
// served, from its log of requests.
std::size_t served(const std::string& engineOutput, const std::string& operation) {
  std::size_t count = 0;
  const std::regex line("POST /v1/scopes/[^/ ]+/" + operation + " 200");
  for (auto it = std::sregex_iterator(engineOutput.begin(), engineOutput.end(), line);
       it != std::sregex_iterator(); ++it) {
    ++count;
  }
  return count;
}

// A file's modification time as the writer left it is the item's at the
// engine and what the mount shows: a copy that keeps its times and a touch
// before the write-back travel with the upload, at no request of their own;
// a touch of a file already sent goes alone, without its bytes.
// `storedTime` reads the time the storage keeps ("seconds.nanoseconds").
void MountTest::checkTimesTravel(
    const std::function<std::string(const std::string&)>& storedTime) {
  auto engineOutput = [&] { return engine->output(); };
  // The engine logs a request after it answered it: its line may come a
  // little after the change it made is visible.
  auto servedBecomes = [&](const std::string& operation, std::size_t count) {
    return eventually([&] { return served(engineOutput(), operation) == count; }, 10s);
  };
  ::setenv("TZ", "UTC", 1);
  ok("printf dated > \"$W/src\" && touch -d \"2001-02-03 04:05:06.123456789\" \"$W/src\" && "
       "cp -p \"$W/src\" \"$M/copied.txt\" && echo touched > \"$M/touched.txt\" && "
       "touch -d \"2002-03-04 05:06:07\" \"$M/touched.txt\"");
  auto shown = [](const std::string& name) { return sh("stat -c %.9Y \"$M/" + name + "\"").output; };
  EXPECT_EQ(shown("copied.txt"), "981173106.123456789\n") << "before the write-back";
  EXPECT_EQ(shown("touched.txt"), "1015218367.000000000\n");
  EXPECT_TRUE(eventually([&] { return storedTime("copied.txt") == "981173106.123456789"; }, 30s))
      << storedTime("copied.txt") << mountLog();
  EXPECT_TRUE(eventually([&] { return storedTime("touched.txt") == "1015218367.000000000"; }, 30s))
      << storedTime("touched.txt");
  EXPECT_EQ(shown("copied.txt"), "981173106.123456789\n") << "after the write-back";
  EXPECT_TRUE(servedBecomes("upload", 2)) << engineOutput();
  EXPECT_EQ(served(engineOutput(), "set-mod-time"), 0u);

  // touch opens the file for writing and sets the time through the handle:
  // the time goes at the last close, alone.
  ok("touch -d \"2003-04-05 06:07:08.5\" \"$M/copied.txt\"");
  EXPECT_EQ(shown("copied.txt"), "1049522828.500000000\n");
  EXPECT_TRUE(eventually([&] { return storedTime("copied.txt") == "1049522828.500000000"; }))
      << storedTime("copied.txt") << mountLog();
  EXPECT_TRUE(servedBecomes("set-mod-time", 1)) << engineOutput();
  // touch -c sets it by name (utimensat): it goes at once.
  ok("touch -c -d \"2004-05-06 07:08:09.25\" \"$M/copied.txt\"");
  EXPECT_EQ(storedTime("copied.txt"), "1083827289.250000000");
  EXPECT_EQ(shown("copied.txt"), "1083827289.250000000\n");
  EXPECT_TRUE(servedBecomes("set-mod-time", 2)) << engineOutput();
  EXPECT_EQ(served(engineOutput(), "upload"), 2u) << "the bytes did not go again";
  EXPECT_EQ(sh("cat \"$M/copied.txt\"").output, "dated");
  ::unsetenv("TZ");
}

TEST_F(MountTest, ModificationTimesTravelOnAFolderScope) {
  EngineProcess::Options options;
  options.binary = CORVANE_BIN_DIR "/corvane-engine";
  options.scopes = {{"test", backing}};
  options.extraArguments = {"--log-level=debug"};
  engine = std::make_unique<EngineProcess>(options);
  mount({"--write-back-delay", "1"});
  checkTimesTravel([&](const std::string& name) {
        struct stat st {};
        if (::stat((backing / name).c_str(), &st) != 0) return std::string("none");
        char fraction[16];
        std::snprintf(fraction, sizeof fraction, ".%09ld", st.st_mtim.tv_nsec);
        return std::to_string(st.st_mtim.tv_sec) + fraction;
      });
}

TEST_F(MountTest, ModificationTimesTravelOnABucketScopeAndReachAnotherMachine) {
  TestBucket bucket;
  startBucketEngine(bucket, "m", {"--log-level=debug"});
  domain = "s3-1";
  mount({"--write-back-delay", "1"});
  checkTimesTravel([&](const std::string& name) {
        try {
          const s3::S3ObjectInfo object = bucket.client().head("m/" + name);
          if (!object.metadata || !object.metadata->contains("mtime")) return std::string("none");
          return object.metadata->at("mtime");
        } catch (const s3::S3Error&) {
          return std::string("none");
        }
      });

  // Another machine: its own engine (its own state folder) on the same bucket.
  EngineProcess::Options otherOptions = bucketEngine(bucket, "m");
  otherOptions.dataHome = env.root() / "other-machine";
  EngineProcess other(otherOptions);
  auto http = other.client();
  // It learns the times of objects it did not write at its first poll of a
  // folder it was asked to list.
  std::string listed;
  EXPECT_TRUE(eventually([&] {
    listed = engineGet(*http, "/v1/scopes/s3-1/list?dir=").body;
    return listed.find("\"mod_time\":\"2004-05-06T07:08:09.250000000Z\"") != std::string::npos &&
           listed.find("\"mod_time\":\"2002-03-04T05:06:07.000000000Z\"") != std::string::npos;
  }, 10s)) << listed;

  // What a plain client writes has no time of its own: its LastModified.
  bucket.client().putBytes("m/plain.txt", "plain\n");
  const auto lastModified = std::chrono::floor<std::chrono::seconds>(
      bucket.client().head("m/plain.txt").lastModified);
  const std::string expected = std::to_string(lastModified.time_since_epoch().count()) + "\n";
  EXPECT_TRUE(eventually([&] { return sh("stat -c %Y \"$M/plain.txt\"").output == expected; }))
      << sh("stat -c %Y \"$M/plain.txt\"").output << " instead of " << expected;
  unmount();
}

TEST_F(MountedTest, UnsupportedKindsAnswerENOTSUP) {
  put(backing / "f", "f");
  EXPECT_EQ(errnoOf(::symlink("f", (mountpoint / "link").c_str())), EOPNOTSUPP);
  EXPECT_EQ(errnoOf(::link((mountpoint / "f").c_str(), (mountpoint / "hard").c_str())), EOPNOTSUPP);
  EXPECT_EQ(errnoOf(::mkfifo((mountpoint / "fifo").c_str(), 0644)), EOPNOTSUPP);
  EXPECT_EQ(errnoOf(::setxattr((mountpoint / "f").c_str(), "user.x", "1", 1, 0)), EOPNOTSUPP);
  // chmod and times are accepted and change nothing that matters.
  EXPECT_EQ(errnoOf(::chmod((mountpoint / "f").c_str(), 0600)), 0);
  EXPECT_EQ(slurp(backing / "f"), "f");
}

TEST_F(MountedTest, UnmountWhileFilesAreOpenKeepsTheirData) {
  int writer = ::open((mountpoint / "open.txt").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::write(writer, "unsaved", 7), 7);
  put(backing / "r.txt", "r");
  int reader = ::open((mountpoint / "r.txt").c_str(), O_RDONLY);
  ASSERT_GE(reader, 0);

  // A plain unmount is refused while files are open; the process ending is not.
  EXPECT_NE(sh("fusermount3 -u \"$M\"").status, 0);
  ASSERT_GT(mountPid, 0);
  ::kill(mountPid, SIGTERM);
  EXPECT_TRUE(eventually([&] { return exited(); }, 30s)) << mountLog();
  EXPECT_TRUE(WIFEXITED(mountStatus) && WEXITSTATUS(mountStatus) == 0) << mountLog();
  EXPECT_FALSE(mounted(mountpoint));
  EXPECT_EQ(slurp(backing / "open.txt"), "unsaved");  // sent on the way out
  char byte;
  EXPECT_EQ(::read(reader, &byte, 1), -1);
  ::close(reader);
  ::close(writer);
}

// A SIGTERM must reach the thread that ends libfuse's loop: one taken by a
// thread of the mount's own (a queue, the poller, a write-back worker) left
// the mount running for good. So only the main thread may take it.
TEST_F(MountedTest, OnlyTheMainThreadTakesTheSignalsThatEndTheMount) {
  ok("ls \"$M\" >/dev/null && echo x > \"$M/x\" && cat \"$M/x\" >/dev/null");  // threads at work
  ASSERT_GT(mountPid, 0);
  const fs::path tasks = "/proc/" + std::to_string(mountPid) + "/task";
  std::size_t threads = 0;
  for (const auto& task : fs::directory_iterator(tasks)) {
    std::ifstream status(task.path() / "status");
    std::string line;
    unsigned long long blocked = 0;
    while (std::getline(status, line)) {
      if (line.rfind("SigBlk:", 0) == 0) blocked = std::stoull(line.substr(7), nullptr, 16);
    }
    const bool main = task.path().filename() == std::to_string(mountPid);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
      const bool blocks = blocked & (1ull << (sig - 1));
      EXPECT_EQ(blocks, !main) << "thread " << task.path().filename() << ", signal " << sig;
    }
    ++threads;
  }
  EXPECT_GT(threads, 4u);
}

TEST_F(MountedTest, FusermountUnmountsCleanly) {
  ok("fusermount3 -u \"$M\"");
  EXPECT_TRUE(eventually([&] { return exited(); }, 20s)) << mountLog();
  EXPECT_TRUE(WIFEXITED(mountStatus) && WEXITSTATUS(mountStatus) == 0) << mountLog();
  EXPECT_FALSE(mounted(mountpoint));
}

}  // namespace
}  // namespace corvane::testing
