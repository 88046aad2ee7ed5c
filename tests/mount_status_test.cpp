// What corvane-mount checks before it mounts and what its --status tells,
// without a kernel mount of our own: the checks against folders of every
// kind (a tmpfs mounted for the test where the test may mount), the status
// against mount entries and records of unsent changes written as a running
// mount writes them.
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <simdjson.h>

#include <fstream>
#include <thread>

#include "corvane-mount/conflict_record.h"
#include "corvane-mount/content_cache.h"
#include "corvane-mount/mount_point.h"
#include "corvane-mount/mount_registry.h"
#include "corvane-mount/mount_status.h"
#include "support/test_env.h"

namespace corvane::mount {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::system_clock;

void put(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// A tmpfs on `folder` for the test's time, where the test may mount.
class TmpfsMount {
 public:
  explicit TmpfsMount(const fs::path& folder) : folder_(folder) {
    mounted_ = ::mount("corvane-test", folder.c_str(), "tmpfs", 0, "size=1m") == 0;
  }
  ~TmpfsMount() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  fs::path folder_;
  bool mounted_ = false;
};

TEST(MountPointTest, RefusesWhatWouldStackOrHide) {
  testing::TestEnvironment env;
  const fs::path root = env.root();
  fs::create_directories(root / "empty");
  fs::create_directories(root / "full");
  put(root / "full" / "a.txt", "a");
  put(root / "full" / "b.txt", "b");
  put(root / "file", "f");
  // A space in the name: the mount table writes it escaped.
  fs::create_directories(root / "mounted here");
  TmpfsMount tmpfs(root / "mounted here");
  fs::create_directory_symlink(root / "mounted here", root / "link");

  struct Case {
    fs::path folder;
    bool allowNonEmpty;
    std::string expected;  // how the message starts after the folder's name; "" = accepted
  };
  const std::vector<Case> cases = {
      {root / "empty", false, ""},
      {root / "full", false, " is not empty (2 entries"},
      {root / "full", true, ""},
      {root / "file", false, " is not a folder"},
      {root / "missing", false, " does not exist"},
      {root / "missing", true, " does not exist"},
      {root / "mounted here", false, " is already a mount point of corvane-test (tmpfs)"},
      {root / "mounted here", true, " is already a mount point of corvane-test (tmpfs)"},
      {root / "link", false, " is already a mount point of corvane-test (tmpfs)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder.string() + (c.allowNonEmpty ? " allowing non-empty" : ""));
    if (startsWith(c.expected, " is already") && !tmpfs.mounted()) continue;  // not root
    const auto problem = mountPointProblem(c.folder, c.allowNonEmpty);
    if (c.expected.empty()) {
      EXPECT_FALSE(problem) << *problem;
    } else {
      ASSERT_TRUE(problem);
      EXPECT_TRUE(startsWith(*problem, c.folder.string() + c.expected)) << *problem;
    }
  }
  if (tmpfs.mounted()) {
    EXPECT_EQ(mountedOn(root / "mounted here"), "corvane-test (tmpfs)");
    EXPECT_EQ(mountedOn(root / "empty"), std::nullopt);
  }
  // What to write instead is in the message.
  EXPECT_NE(mountPointProblem(root / "full", false)->find("--allow-non-empty"), std::string::npos);
}

// A mount's files as a running mount leaves them: its entry in the registry
// and the records of its unsent changes in its cache.
class StatusTest : public ::testing::Test {
 protected:
  StatusTest()
      : registry(env.root() / "run" / "mounts"), cacheBase(env.cacheHome() / "CorvaneSync") {}

  // A working copy of `bytes` bytes with its record in the cache at `cache`.
  void unsent(const fs::path& cache, const std::string& path, std::size_t bytes,
              const std::string& failure = {}) {
    ContentCache contents(cache);
    const fs::path copy = contents.newWorkingCopy();
    put(copy, std::string(bytes, 'x'));
    WorkRecord record;
    record.path = path;
    record.isNew = true;
    record.since = Clock::now() - 1min;
    record.attempts = failure.empty() ? 0 : 3;
    record.lastFailure = failure;
    contents.writeRecord(copy, record);
  }

  MountEntry entry(pid_t pid, const std::string& domain) {
    MountEntry e;
    e.pid = pid;
    e.domain = domain;
    e.displayName = "Docs";
    e.mountpoint = env.root() / ("mnt-" + domain);
    e.cacheFolder = cacheBase / domain;
    return e;
  }

  // The number of a process that has ended.
  static pid_t endedProcess() {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
  }

  testing::TestEnvironment env;
  fs::path registry;
  fs::path cacheBase;
};

TEST_F(StatusTest, ARunningMountShowsItsPendingAndFailedChangesAndItsCache) {
  unsent(cacheBase / "local-1", "notes/draft.txt", 1536);
  unsent(cacheBase / "local-1", "refused.txt", 10, "The engine is not allowed to do that");
  MountRegistration registration(registry, entry(::getpid(), "local-1"),
                                 [](MountEntry& e) {
                                   e.engine = "reachable";
                                   e.cacheBytes = 3 << 20;
                                   e.cacheLimit = 10ull << 30;
                                 },
                                 1h);
  const auto mounts = collectStatus(registry, cacheBase, {});
  ASSERT_EQ(mounts.size(), 1u);
  EXPECT_TRUE(mounts[0].running);
  EXPECT_EQ(mounts[0].unsentBytes, 1546u);

  const std::string text = statusText(mounts, Clock::now());
  for (const std::string& line : {
           "local-1 (Docs) on " + (env.root() / "mnt-local-1").string() + "\n",
           "  mount: running (process " + std::to_string(::getpid()) + ")\n",
           std::string("  engine: reachable\n"),
           std::string("  pending uploads: 2 changes, 1.5 KiB\n"),
           std::string("  failed changes: 1\n"),
           std::string("    refused.txt: The engine is not allowed to do that (new file, 3 attempts, "
                       "unsent since "),
           "  cache: 3.0 MiB of 10.0 GiB in " + (cacheBase / "local-1").string() + "\n",
       }) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
  }
  EXPECT_EQ(text.find("draft.txt"), std::string::npos) << "not failed: " << text;

  // The same for scripts.
  simdjson::dom::parser parser;
  const std::string json = statusJson(mounts, Clock::now());
  simdjson::dom::element doc;
  ASSERT_EQ(parser.parse(json).get(doc), simdjson::SUCCESS) << json;
  simdjson::dom::array list;
  ASSERT_EQ(doc["mounts"].get(list), simdjson::SUCCESS);
  ASSERT_EQ(list.size(), 1u);
  auto m = list.at(0);
  EXPECT_EQ(std::string_view(m["domain"]), "local-1");
  EXPECT_EQ(std::string_view(m["mountpoint"]), (env.root() / "mnt-local-1").string());
  EXPECT_EQ(std::string_view(m["mount"]), "running");
  EXPECT_EQ(std::string_view(m["engine"]), "reachable");
  EXPECT_EQ(std::int64_t(m["pendingUploads"]["count"]), 2);
  EXPECT_EQ(std::int64_t(m["pendingUploads"]["bytes"]), 1546);
  EXPECT_EQ(std::int64_t(m["cacheBytes"]), 3 << 20);
  EXPECT_EQ(std::int64_t(m["cacheLimit"]), std::int64_t(10) << 30);
  simdjson::dom::array failed;
  ASSERT_EQ(m["failedChanges"].get(failed), simdjson::SUCCESS);
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(std::string_view(failed.at(0)["path"]), "refused.txt");
  EXPECT_EQ(std::string_view(failed.at(0)["error"]), "The engine is not allowed to do that");
  EXPECT_EQ(std::int64_t(failed.at(0)["attempts"]), 3);
}

TEST_F(StatusTest, TheEntryFollowsTheMountAndGoesWithIt) {
  std::string engine = "reachable";
  std::mutex mutex;
  {
    MountRegistration registration(registry, entry(::getpid(), "local-1"),
                                   [&](MountEntry& e) {
                                     std::lock_guard lock(mutex);
                                     e.engine = engine;
                                   },
                                   20ms);
    {
      std::lock_guard lock(mutex);
      engine = "not answering";
    }
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    std::vector<MountEntry> seen;
    while (std::chrono::steady_clock::now() < deadline) {
      seen = registeredMounts(registry);
      if (seen.size() == 1 && seen[0].engine == "not answering") break;
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].engine, "not answering");
    EXPECT_EQ(seen[0].mountpoint, env.root() / "mnt-local-1");
  }
  EXPECT_TRUE(registeredMounts(registry).empty());
  EXPECT_EQ(statusText(collectStatus(registry, cacheBase, {}), Clock::now()),
            "no mount is running, and no unsent change waits\n");
}

TEST_F(StatusTest, EndedMountsAndIdleCachesShowWhatTheyLeftUnsent) {
  // A mount killed with changes unsent leaves its entry behind; another
  // domain's cache holds changes that no mount sends now.
  const pid_t ended = endedProcess();
  {
    // Its file as a killed mount leaves it: written, never removed.
    MountRegistration registration(registry, entry(ended, "local-1"), {}, 1h);
    fs::copy_file(registration.file(), env.root() / "kept");
  }
  fs::copy_file(env.root() / "kept", registry / (std::to_string(ended) + ".mount"));
  unsent(cacheBase / "local-1", "a.txt", 5);
  unsent(cacheBase / "local-2", "b.txt", 7);
  fs::create_directories(cacheBase / "local-3");  // nothing unsent: not shown

  const auto mounts = collectStatus(registry, cacheBase, {});
  ASSERT_EQ(mounts.size(), 2u);
  EXPECT_EQ(mounts[0].entry.domain, "local-1");
  EXPECT_TRUE(mounts[0].registered);
  EXPECT_FALSE(mounts[0].running);
  EXPECT_EQ(mounts[1].entry.domain, "local-2");
  EXPECT_FALSE(mounts[1].registered);
  const std::string text = statusText(mounts, Clock::now());
  EXPECT_NE(text.find("  mount: ended without unmounting (process " + std::to_string(ended) + ")\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("local-2\n  mount: not mounted; the next mount of this domain sends what is "
                      "pending\n  pending uploads: 1 change, 7 B\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("engine:"), std::string::npos) << "no mount asks the engine: " << text;

  // Asked for one domain, only that one; a domain no mount uses shows its cache.
  const auto one = collectStatus(registry, cacheBase, {"local-2", {}});
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].unsent.size(), 1u);
  const auto idle = collectStatus(registry, cacheBase, {"local-3", {}});
  ASSERT_EQ(idle.size(), 1u);
  EXPECT_TRUE(idle[0].unsent.empty());

  // Once its changes are sent (by the next mount), the ended one is gone too.
  for (const auto& [copy, record] : ContentCache::recorded(cacheBase / "local-1")) {
    ContentCache::discard(copy);
  }
  const auto after = collectStatus(registry, cacheBase, {});
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].entry.domain, "local-2");
}

TEST_F(StatusTest, TheConflictCopiesOfTheLastDayAreListed) {
  const fs::path cache = cacheBase / "local-1";
  ContentCache contents(cache);  // makes the folder as a mount does
  ConflictRecord record(cache);
  const auto now = Clock::now();
  record.add({"old (conflict beta 2024-01-01 000000).txt", "old.txt", now - 25h});
  record.add({"docs/a (conflict alpha 2024-05-01 120309).txt", "docs/a.txt", now - 2h});
  record.add({"b\x01 (conflict alpha 2024-05-01 120310)", "b\x01", now - 1min});
  MountRegistration registration(registry, entry(::getpid(), "local-1"), {}, 1h);
  const auto mounts = collectStatus(registry, cacheBase, {}, std::nullopt, now);
  ASSERT_EQ(mounts.size(), 1u);
  ASSERT_EQ(mounts[0].conflictCopies.size(), 2u) << "a day old is gone";
  EXPECT_EQ(mounts[0].conflictCopies[0].original, "docs/a.txt");

  const std::string text = statusText(mounts, now);
  EXPECT_NE(text.find("  conflict copies in the last day: 2\n"
                      "    docs/a (conflict alpha 2024-05-01 120309).txt: a copy of docs/a.txt, "
                      "made "),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("    b\\x01 (conflict alpha 2024-05-01 120310): a copy of b\\x01, made "),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("old.txt"), std::string::npos) << text;

  simdjson::dom::parser parser;
  const std::string json = statusJson(mounts, now);
  simdjson::dom::element doc;
  ASSERT_EQ(parser.parse(json).get(doc), simdjson::SUCCESS) << json;
  simdjson::dom::array copies;
  ASSERT_EQ(doc["mounts"].at(0)["conflictCopies"].get(copies), simdjson::SUCCESS) << json;
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(std::string_view(copies.at(0)["path"]), "docs/a (conflict alpha 2024-05-01 120309).txt");
  EXPECT_EQ(std::string_view(copies.at(0)["of"]), "docs/a.txt");
  EXPECT_EQ(std::string_view(copies.at(1)["of"]), "b\x01");

  // A mount without copies says so.
  const auto none = collectStatus(registry, env.root() / "elsewhere", {"local-9", {}}, std::nullopt, now);
  ASSERT_EQ(none.size(), 1u);
  EXPECT_NE(statusText(none, now).find("  conflict copies in the last day: none\n"),
            std::string::npos);
}

TEST_F(StatusTest, AMountThatStoppedWritingIsNotAnswering) {
  MountRegistration registration(registry, entry(::getpid(), "local-1"), {}, 1h);
  const auto mounts = collectStatus(registry, cacheBase, {});
  ASSERT_EQ(mounts.size(), 1u);
  const auto later = mounts[0].entry.updated + kStatusStale + 5s;
  EXPECT_NE(statusText(mounts, later).find("  mount: not answering (process "), std::string::npos);
  EXPECT_NE(statusJson(mounts, later).find("\"mount\":\"not answering\""), std::string::npos);
  EXPECT_NE(statusText(mounts, mounts[0].entry.updated).find("  mount: running"), std::string::npos);
}

// A process that goes by the engine's name, as the engine that wrote a
// status file would, for the test's time.
class EngineNamedProcess {
 public:
  EngineNamedProcess() : pid_(::fork()) {
    if (pid_ == 0) {
      ::prctl(PR_SET_NAME, "corvane-engine");
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      for (;;) ::pause();
    }
    // The name is set by the child: wait until it shows.
    for (int i = 0; i < 1000 && !processRuns(pid_, "corvane-engine"); ++i) {
      std::this_thread::sleep_for(1ms);
    }
  }
  ~EngineNamedProcess() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
};

// The engine's word on the store behind a domain: shown while the engine
// that wrote it runs, and only for the domain it names.
TEST_F(StatusTest, AStoreThatDoesNotAnswerIsShownForItsDomain) {
  EngineNamedProcess engine;
  const fs::path file = env.root() / "engine-status.json";
  const auto silentSince = std::chrono::floor<std::chrono::seconds>(Clock::now()) - 42s;
  stores::StoreStatusFile written{engine.pid(),
                                  {{"s3-1", "http://store:7480", false, silentSince},
                                   {"s3-2", "http://other:7480", true, {}}}};
  put(file, stores::encodeStoreStatus(written));
  MountRegistration one(registry, entry(::getpid(), "s3-1"), {}, 1h);

  const auto mounts = collectStatus(registry, cacheBase, {}, file);
  ASSERT_EQ(mounts.size(), 1u);
  const auto now = silentSince + 42s;
  const std::string text = statusText(mounts, now);
  EXPECT_NE(text.find("  store: not answering for 42 s (http://store:7480)\n"), std::string::npos)
      << text;
  EXPECT_EQ(text.find("http://other:7480"), std::string::npos) << text;
  EXPECT_NE(statusJson(mounts, now)
                .find("\"store\":{\"endpoint\":\"http://store:7480\",\"answering\":false,"
                      "\"notAnsweringSeconds\":42}"),
            std::string::npos)
      << statusJson(mounts, now);
  // A domain whose store answers, asked for while not mounted.
  const auto other = collectStatus(registry, cacheBase, {"s3-2", {}}, file);
  ASSERT_EQ(other.size(), 1u);
  EXPECT_EQ(statusText(other, now).find("store:"), std::string::npos);
  EXPECT_NE(statusJson(other, now)
                .find("\"store\":{\"endpoint\":\"http://other:7480\",\"answering\":true}"),
            std::string::npos)
      << statusJson(other, now);

  // The file of an engine that is gone says nothing, nor does a broken one.
  written.pid = ::getpid();
  put(file, stores::encodeStoreStatus(written));
  EXPECT_EQ(statusText(collectStatus(registry, cacheBase, {}, file), now).find("store:"),
            std::string::npos);
  put(file, "{\"pid\": 1, \"scopes\": [{\"id\": 7}]}");
  EXPECT_FALSE(stores::readStoreStatus(file).has_value());
  EXPECT_NE(statusJson(collectStatus(registry, cacheBase, {}, file), now).find("\"store\":null"),
            std::string::npos);
}

}  // namespace
}  // namespace corvane::mount
