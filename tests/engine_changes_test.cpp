// The reference engine's change log: changes made through the API and by
// other programs, folder renames fanned out to every path below, anchors that
// survive a restart, resets for anchors the log cannot answer, and paging.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "engine/decoding.h"
#include "engine/json_text.h"
#include "engine/query.h"
#include "support/engine_process.h"
#include "support/test_env.h"

namespace corvane::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void writeFile(const fs::path& file, const std::string& contents) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << contents;
}

// Runs a shell command: a change made by another program.
void shell(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

std::string quotedForShell(const fs::path& path) { return "'" + path.string() + "'"; }

std::string body(std::initializer_list<std::pair<const char*, std::string>> fields) {
  JsonObjectWriter writer;
  for (const auto& [key, value] : fields) writer.addString(key, value);
  return std::move(writer).str();
}

// A change reduced to what identifies it in expectations.
struct Seen {
  std::string path;
  bool deleted;
  bool dir;
  auto operator<=>(const Seen&) const = default;
};

std::vector<Seen> seen(const std::vector<Change>& changes) {
  std::vector<Seen> out;
  for (const Change& c : changes) out.push_back({c.entry.path, c.deleted, c.entry.dir});
  return out;
}

std::set<Seen> seenSet(const std::vector<Change>& changes) {
  const std::vector<Seen> list = seen(changes);
  return {list.begin(), list.end()};
}

class EngineChangesTest : public ::testing::Test {
 protected:
  EngineChangesTest() {
    fs::create_directories(folder);
    fs::create_directories(outside);
  }

  void launch(std::vector<std::string> extra = {}) {
    EngineProcess::Options options;
    options.binary = CORVANE_BIN_DIR "/corvane-engine";
    options.scopes = {{"docs", folder}, {"other", outside / "second"}};
    options.extraArguments = std::move(extra);
    fs::create_directories(outside / "second");
    engine = std::make_unique<EngineProcess>(options);
    http = engine->client();
  }

  void restart() {
    http.reset();  // no idle connection for the engine to wait on
    ASSERT_EQ(engine->stop(), 0) << engine->output();
    engine->start();
    http = engine->client();
  }

  ChangeSet changes(const std::string& anchor, int scope = 1) {
    const EngineReply reply =
        engineGet(*http, "/v1/scopes/" + EngineProcess::scopeId(scope) + "/changes?" +
                             query::build({{"anchor", anchor}, {"refresh", "0"}}));
    EXPECT_EQ(reply.status, 200) << reply.body;
    return reply.status == 200 ? decode::changeSet(reply.body) : ChangeSet{};
  }
  std::string latest(int scope = 1) {
    const ChangeSet set = changes("latest", scope);
    EXPECT_FALSE(set.reset);
    EXPECT_TRUE(set.changes && set.changes->empty());
    return set.anchor;
  }

  // Reads changes from `anchor` until `done` holds for everything read so far
  // or the deadline passes; moves `anchor` along.
  std::vector<Change> pollUntil(std::string& anchor,
                                const std::function<bool(const std::vector<Change>&)>& done) {
    std::vector<Change> all;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (true) {
      const ChangeSet set = changes(anchor);
      EXPECT_FALSE(set.reset);
      if (set.changes) all.insert(all.end(), set.changes->begin(), set.changes->end());
      anchor = set.anchor;
      if (done(all) || Clock::now() > deadline) return all;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  EngineReply post(const std::string& operation, const std::string& json) {
    return enginePost(*http, "/v1/scopes/local-1/" + operation, json);
  }
  Entry upload(const std::string& path, const std::string& contents, const std::string& version) {
    const fs::path source = outside / "upload-source";
    writeFile(source, contents);
    const EngineReply reply =
        post("upload", body({{"path", path}, {"source", source}, {"version", version}}));
    EXPECT_EQ(reply.status, 200) << reply.body;
    return reply.status == 200 ? decode::entry(reply.body) : Entry{};
  }
  std::vector<Entry> list(const std::string& dir) {
    const EngineReply reply = engineGet(*http, "/v1/scopes/local-1/list?dir=" + query::encode(dir));
    EXPECT_EQ(reply.status, 200) << reply.body;
    return reply.status == 200 ? decode::entriesAnswer(reply.body) : std::vector<Entry>{};
  }

  TestEnvironment env;
  fs::path folder = env.root() / "scope";
  fs::path outside = env.root() / "outside";
  std::unique_ptr<EngineProcess> engine;
  std::unique_ptr<httplib::Client> http;
};

bool contains(const std::vector<Change>& changes, const std::string& path, bool deleted) {
  return std::any_of(changes.begin(), changes.end(),
                     [&](const Change& c) { return c.entry.path == path && c.deleted == deleted; });
}

TEST_F(EngineChangesTest, TheEnginesOwnNamesAreNeverLoggedAndUsersLookalikesAre) {
  for (const bool namedWorkFiles : {false, true}) {
    SCOPED_TRACE(namedWorkFiles ? "named work files" : "unnamed work files");
    if (namedWorkFiles) ::setenv("CORVANE_TEST_NAMED_WORK_FILES", "1", 1);
    engine.reset();
    launch();
    ::unsetenv("CORVANE_TEST_NAMED_WORK_FILES");
    std::string anchor = latest();
    const std::string dir = namedWorkFiles ? "named" : "unnamed";

    // Another program's file with a name like the engine's is an item.
    writeFile(folder / dir / ".corvane-part-notes.txt", "notes");
    // New files, replacements and a conflict copy pass through work files.
    Entry file = upload(dir + "/f.txt", "0", "");
    for (int i = 1; i <= 5; ++i) file = upload(dir + "/f.txt", std::to_string(i), file.version);
    writeFile(outside / "mine", "mine");
    const EngineReply copied = post(
        "conflict-copy", body({{"path", dir + "/f.txt"}, {"source", (outside / "mine").string()}}));
    ASSERT_EQ(copied.status, 200) << copied.body;
    const std::string copy = decode::entry(copied.body).path;
    EXPECT_EQ(post("upload", body({{"path", dir + "/f.txt"},
                                   {"source", (outside / "mine").string()},
                                   {"version", "stale"}}))
                  .status,
              409);

    const std::set<std::string> expected = {dir, dir + "/.corvane-part-notes.txt", dir + "/f.txt",
                                            copy};
    auto paths = [](const std::vector<Change>& all) {
      std::set<std::string> out;
      for (const Change& c : all) out.insert(c.entry.path);
      return out;
    };
    std::vector<Change> all =
        pollUntil(anchor, [&](const auto& got) { return paths(got) == expected; });
    // The watcher reports the engine's own names a moment later, if at all.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const ChangeSet late = changes(anchor);
    ASSERT_TRUE(late.changes);
    all.insert(all.end(), late.changes->begin(), late.changes->end());
    EXPECT_EQ(paths(all), expected);
    for (const Change& c : all) EXPECT_FALSE(c.deleted) << c.entry.path;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
      EXPECT_EQ(entry.path().filename().string().find(".corvane-work-"), std::string::npos)
          << entry.path();
    }
  }
}

TEST_F(EngineChangesTest, LogsApiChangesInOrder) {
  launch();
  const std::string anchor = latest();
  ASSERT_EQ(post("mkdir", body({{"path", "a/b"}})).status, 200);
  const Entry uploaded = upload("a/b/f.txt", "hello", "");
  ASSERT_EQ(post("rename", body({{"path", "a/b/f.txt"}, {"name", "g.txt"}})).status, 200);
  ASSERT_EQ(post("delete", JsonObjectWriter().addStringArray("paths", {"a/"}).str()).status, 200);

  const ChangeSet set = changes(anchor);
  EXPECT_FALSE(set.reset);
  ASSERT_TRUE(set.changes);
  EXPECT_EQ(seen(*set.changes), (std::vector<Seen>{
                                    {"a", false, true},
                                    {"a/b", false, true},
                                    {"a/b/f.txt", false, false},
                                    {"a/b/f.txt", true, false},
                                    {"a/b/g.txt", false, false},
                                    {"a/b/g.txt", true, false},
                                    {"a/b", true, true},
                                    {"a", true, true},
                                }));
  // The upload's change is its entry; a deletion still carries the last one.
  EXPECT_EQ(set.changes->at(2).entry, uploaded);
  EXPECT_EQ(set.changes->at(5).entry.version, uploaded.version);
  EXPECT_EQ(set.changes->at(5).entry.name, "g.txt");
  EXPECT_EQ(set.changes->at(5).entry.size, 5);
  for (const Change& c : *set.changes) EXPECT_FALSE(c.entry.version.empty());

  const ChangeSet after = changes(set.anchor);
  EXPECT_EQ(after.anchor, set.anchor);
  ASSERT_TRUE(after.changes);
  EXPECT_TRUE(after.changes->empty());
  EXPECT_EQ(latest(), set.anchor);
}

TEST_F(EngineChangesTest, ExistingFilesOfANewLogAreNotChanges) {
  writeFile(folder / "old.txt", "old");
  launch();
  const ChangeSet set = changes(latest());
  ASSERT_TRUE(set.changes);
  EXPECT_TRUE(set.changes->empty());
}

TEST_F(EngineChangesTest, OutsideWritesShowUpWithNewVersions) {
  writeFile(folder / "keep.txt", "keep");
  launch();
  std::string anchor = latest();

  // A writer may be seen between creating and filling the file; what counts
  // is that the final state arrives.
  auto reached = [](std::int64_t size) {
    return [size](const std::vector<Change>& all) {
      return !all.empty() && all.back().entry.path == "report.txt" && all.back().entry.size == size;
    };
  };
  shell("printf hello > " + quotedForShell(folder / "report.txt"));
  auto created = pollUntil(anchor, reached(5));
  ASSERT_TRUE(reached(5)(created)) << engine->output();
  const Change first = created.back();
  EXPECT_FALSE(first.deleted);
  EXPECT_EQ(first.entry, list("").at(1)) << "the change shows the state a listing shows";

  shell("printf ' world' >> " + quotedForShell(folder / "report.txt"));
  auto modified = pollUntil(anchor, reached(11));
  ASSERT_TRUE(reached(11)(modified));
  EXPECT_NE(modified.back().entry.version, first.entry.version);

  shell("rm " + quotedForShell(folder / "report.txt"));
  auto removed =
      pollUntil(anchor, [](const auto& all) { return contains(all, "report.txt", true); });
  EXPECT_TRUE(contains(removed, "report.txt", true));
  EXPECT_FALSE(contains(created, "keep.txt", false) || contains(modified, "keep.txt", false));
}

// A file's time as seconds and nanoseconds since 1970, set by another program.
void setModTime(const fs::path& file, std::chrono::sys_seconds when, long nanoseconds) {
  const timespec times[2] = {{0, UTIME_OMIT},
                             {static_cast<time_t>(when.time_since_epoch().count()), nanoseconds}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0) << file;
}

int yearOf(Timestamp t) {
  return static_cast<int>(
      std::chrono::year_month_day(std::chrono::floor<std::chrono::days>(t)).year());
}

// Nanoseconds since 1970 end in 2262; files may carry later times.
TEST_F(EngineChangesTest, FileTimesAfter2262KeepTheirYear) {
  using namespace std::chrono;
  const sys_seconds newYear2400 = sys_days{year{2400} / January / 1};
  writeFile(folder / "future.txt", "f");
  setModTime(folder / "future.txt", newYear2400, 123'456'789);
  launch();

  const EngineReply raw = engineGet(*http, "/v1/scopes/local-1/list?dir=");
  ASSERT_EQ(raw.status, 200);
  EXPECT_NE(raw.body.find(R"("mod_time":"2400-01-01T00:00:00.123456)"), std::string::npos)
      << raw.body;
  const std::vector<Entry> entries = list("");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].mod_time, Timestamp(newYear2400));

  std::string anchor = latest();
  writeFile(folder / "later.txt", "later");
  setModTime(folder / "later.txt", newYear2400 + days{31}, 0);
  auto arrived = pollUntil(anchor, [](const std::vector<Change>& all) {
    return !all.empty() && all.back().entry.path == "later.txt" &&
           yearOf(all.back().entry.mod_time) == 2400;
  });
  ASSERT_FALSE(arrived.empty());
  EXPECT_EQ(arrived.back().entry.mod_time, Timestamp(newYear2400 + days{31}));

  // The times kept in the snapshot compare equal to the disk after a restart.
  restart();
  const ChangeSet after = changes(anchor);
  EXPECT_FALSE(after.reset);
  ASSERT_TRUE(after.changes);
  EXPECT_TRUE(after.changes->empty()) << after.changes->front().entry.path;
}

TEST_F(EngineChangesTest, ApiChangesAreNotLoggedTwiceByTheWatcher) {
  launch();
  const std::string anchor = latest();
  upload("f.txt", "one", "");
  // Give the watcher time to see the engine's own writes.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const ChangeSet set = changes(anchor);
  ASSERT_TRUE(set.changes);
  EXPECT_EQ(seen(*set.changes), (std::vector<Seen>{{"f.txt", false, false}}));
}

TEST_F(EngineChangesTest, FolderRenameFansOutToEveryPath) {
  writeFile(folder / "d" / "x.txt", "x");
  writeFile(folder / "d" / "sub" / "y.txt", "y");
  fs::create_directories(folder / "target");
  launch();
  std::string anchor = latest();
  ASSERT_EQ(post("rename", body({{"path", "d/"}, {"name", "e"}})).status, 200);
  ASSERT_EQ(post("move", body({{"path", "e/"}, {"dir", "target"}})).status, 200);

  const ChangeSet set = changes(anchor);
  ASSERT_TRUE(set.changes);
  const std::vector<Seen> all = seen(*set.changes);
  // Rename: every old path deleted (children first), then every new path.
  const std::vector<Seen> rename(all.begin(), all.begin() + std::min<std::size_t>(8, all.size()));
  EXPECT_EQ(rename, (std::vector<Seen>{
                        {"d/x.txt", true, false},
                        {"d/sub/y.txt", true, false},
                        {"d/sub", true, true},
                        {"d", true, true},
                        {"e", false, true},
                        {"e/sub", false, true},
                        {"e/sub/y.txt", false, false},
                        {"e/x.txt", false, false},
                    }));
  const std::set<Seen> move(all.begin() + std::min<std::size_t>(8, all.size()), all.end());
  EXPECT_EQ(move, (std::set<Seen>{
                      {"e", true, true},
                      {"e/sub", true, true},
                      {"e/sub/y.txt", true, false},
                      {"e/x.txt", true, false},
                      {"target/e", false, true},
                      {"target/e/sub", false, true},
                      {"target/e/sub/y.txt", false, false},
                      {"target/e/x.txt", false, false},
                  }));
  // A rename keeps a file's version.
  EXPECT_EQ(set.changes->at(0).entry.version, set.changes->at(7).entry.version);
}

TEST_F(EngineChangesTest, OutsideFolderMovesFanOut) {
  launch();
  std::string anchor = latest();
  writeFile(outside / "incoming" / "a.txt", "a");
  writeFile(outside / "incoming" / "deep" / "b.txt", "b");

  // Moved into the scope by another program: every path below appears.
  fs::rename(outside / "incoming", folder / "incoming");
  const std::set<Seen> arrived = {{"incoming", false, true},
                                  {"incoming/a.txt", false, false},
                                  {"incoming/deep", false, true},
                                  {"incoming/deep/b.txt", false, false}};
  auto hasAll = [](const std::set<Seen>& wanted) {
    return [wanted](const std::vector<Change>& all) {
      const auto got = seen(all);
      return std::all_of(wanted.begin(), wanted.end(), [&](const Seen& s) {
        return std::find(got.begin(), got.end(), s) != got.end();
      });
    };
  };
  auto in = pollUntil(anchor, hasAll(arrived));
  EXPECT_EQ(seenSet(in), arrived);

  // Renamed inside the scope: the old paths go, the new ones come, and the
  // folder is still watched under its new name.
  fs::rename(folder / "incoming", folder / "renamed");
  const std::set<Seen> renamed = {
      {"incoming", true, true},      {"incoming/a.txt", true, false},
      {"incoming/deep", true, true}, {"incoming/deep/b.txt", true, false},
      {"renamed", false, true},      {"renamed/a.txt", false, false},
      {"renamed/deep", false, true}, {"renamed/deep/b.txt", false, false}};
  auto moved = pollUntil(anchor, hasAll(renamed));
  EXPECT_EQ(seenSet(moved), renamed);

  writeFile(folder / "renamed" / "deep" / "c.txt", "c");
  auto written = pollUntil(anchor, hasAll({{"renamed/deep/c.txt", false, false}}));
  EXPECT_TRUE(contains(written, "renamed/deep/c.txt", false));

  // Moved out of the scope: everything below is deleted, and later writes in
  // the moved folder are none of the scope's business.
  fs::rename(folder / "renamed", outside / "gone");
  auto left =
      pollUntil(anchor, hasAll({{"renamed", true, true}, {"renamed/deep/c.txt", true, false}}));
  EXPECT_EQ(left.size(), 5u);
  writeFile(outside / "gone" / "later.txt", "later");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const ChangeSet quiet = changes(anchor);
  ASSERT_TRUE(quiet.changes);
  EXPECT_TRUE(quiet.changes->empty()) << quiet.changes->front().entry.path;
}

TEST_F(EngineChangesTest, KeepsLoggingWhenTheScopeFolderIsRemovedAndMadeAgain) {
  writeFile(folder / "old.txt", "old");
  writeFile(folder / "sub" / "inner.txt", "inner");
  launch();
  std::string anchor = latest();

  shell("rm -rf " + quotedForShell(folder));
  auto removed = pollUntil(anchor, [](const auto& all) {
    return contains(all, "old.txt", true) && contains(all, "sub", true);
  });
  EXPECT_EQ(seenSet(removed),
            (std::set<Seen>{
                {"old.txt", true, false}, {"sub", true, true}, {"sub/inner.txt", true, false}}));

  shell("mkdir " + quotedForShell(folder) + " && printf new > " +
        quotedForShell(folder / "new.txt"));
  auto back = pollUntil(anchor, [](const auto& all) { return contains(all, "new.txt", false); });
  EXPECT_TRUE(contains(back, "new.txt", false)) << engine->output();

  // Watched again, not only compared once.
  writeFile(folder / "deeper" / "later.txt", "later");
  auto later =
      pollUntil(anchor, [](const auto& all) { return contains(all, "deeper/later.txt", false); });
  EXPECT_TRUE(contains(later, "deeper/later.txt", false));

  // A folder moved away in its place is no longer the scope: its changes are
  // not the scope's.
  fs::rename(folder, outside / "moved-away");
  auto gone = pollUntil(anchor, [](const auto& all) { return contains(all, "new.txt", true); });
  EXPECT_TRUE(contains(gone, "deeper/later.txt", true));
  writeFile(outside / "moved-away" / "elsewhere.txt", "x");
  fs::create_directories(folder);
  writeFile(folder / "fresh.txt", "fresh");
  auto fresh = pollUntil(anchor, [](const auto& all) { return contains(all, "fresh.txt", false); });
  EXPECT_TRUE(contains(fresh, "fresh.txt", false));
  EXPECT_FALSE(contains(fresh, "elsewhere.txt", false));
  EXPECT_EQ(list("").size(), 1u);
}

TEST_F(EngineChangesTest, OutsideSwapsOfFolderAndFileLogTheDeletionFirst) {
  writeFile(folder / "swap" / "in.txt", "in");
  launch();
  std::string anchor = latest();
  auto arrived = [](const Seen& last) {
    return [last](const std::vector<Change>& all) {
      return !all.empty() && seen({all.back()}).front() == last;
    };
  };

  // A slow machine may see a file being written twice; that is not the point.
  auto collapsed = [](const std::vector<Change>& all) {
    std::vector<Seen> out = seen(all);
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
  };
  const std::string swap = quotedForShell(folder / "swap");
  shell("rm -rf " + swap + " && printf file > " + swap);
  auto toFile = pollUntil(anchor, arrived({"swap", false, false}));
  EXPECT_EQ(collapsed(toFile),
            (std::vector<Seen>{
                {"swap/in.txt", true, false}, {"swap", true, true}, {"swap", false, false}}));

  shell("rm " + swap + " && mkdir " + swap + " && printf x > " + swap + "/x.txt");
  auto toFolder = pollUntil(anchor, arrived({"swap/x.txt", false, false}));
  EXPECT_EQ(collapsed(toFolder),
            (std::vector<Seen>{
                {"swap", true, false}, {"swap", false, true}, {"swap/x.txt", false, false}}));
}

TEST_F(EngineChangesTest, AnchorsSurviveARestartAndSeeChangesMadeWhileDown) {
  writeFile(folder / "changed.txt", "before");
  writeFile(folder / "gone.txt", "gone");
  launch();
  const std::string before = list("").at(0).version;  // changed.txt
  const std::string anchor = latest();
  upload("api.txt", "api", "");

  http.reset();
  ASSERT_EQ(engine->stop(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  writeFile(folder / "changed.txt", "after!");
  fs::remove(folder / "gone.txt");
  writeFile(folder / "new" / "file.txt", "new");
  engine->start();
  http = engine->client();

  const ChangeSet set = changes(anchor);
  EXPECT_FALSE(set.reset);
  ASSERT_TRUE(set.changes);
  EXPECT_EQ(seenSet(*set.changes), (std::set<Seen>{{"api.txt", false, false},
                                                   {"changed.txt", false, false},
                                                   {"gone.txt", true, false},
                                                   {"new", false, true},
                                                   {"new/file.txt", false, false}}));
  for (const Change& c : *set.changes) {
    if (c.entry.path == "changed.txt") {
      EXPECT_NE(c.entry.version, before);
    }
  }
  // Nothing is reported twice after another restart without changes.
  restart();
  const ChangeSet again = changes(set.anchor);
  ASSERT_TRUE(again.changes);
  EXPECT_TRUE(again.changes->empty());
}

TEST_F(EngineChangesTest, AnchorsTheLogCannotAnswerGetAReset) {
  launch();
  upload("f.txt", "x", "");
  const std::string current = latest();
  const std::string logId = current.substr(0, current.rfind(':'));
  const std::string otherScope = latest(2);
  const std::vector<std::string> anchors = {
      "",
      "garbage",
      "1",
      ":1",
      "deadbeef:1",
      otherScope,
      logId + ":",
      logId + ":x",
      logId + ":-1",
      logId + ":1:2",
      logId + ":999999",
      logId + ":99999999999999999999999",
      current + " ",
  };
  for (const std::string& anchor : anchors) {
    const ChangeSet set = changes(anchor);
    EXPECT_TRUE(set.reset) << anchor;
    EXPECT_EQ(set.anchor, current) << anchor;
  }
  EXPECT_FALSE(changes(logId + ":0").reset) << "the start of a log is a valid anchor";

  // A log that was lost (its database removed while the engine was down)
  // starts with a new identity: the old anchors are foreign to it.
  http.reset();
  ASSERT_EQ(engine->stop(), 0);
  for (const auto& file : fs::directory_iterator(env.applicationSupport())) {
    if (file.path().filename().string().starts_with("changes-docs")) fs::remove(file.path());
  }
  engine->start();
  http = engine->client();
  EXPECT_TRUE(changes(current).reset);
}

TEST_F(EngineChangesTest, AnchorsOlderThanTheRetainedLogGetAReset) {
  launch({"--log-retention=10"});
  const std::string old = latest();
  for (int i = 0; i < 40; ++i)
    ASSERT_EQ(post("mkdir", body({{"path", "d" + std::to_string(i)}})).status, 200);
  const ChangeSet expired = changes(old);
  EXPECT_TRUE(expired.reset);
  EXPECT_EQ(expired.anchor, latest());

  const std::string recent = latest();
  ASSERT_EQ(post("mkdir", body({{"path", "last"}})).status, 200);
  const ChangeSet fine = changes(recent);
  EXPECT_FALSE(fine.reset);
  ASSERT_TRUE(fine.changes);
  EXPECT_EQ(seen(*fine.changes), (std::vector<Seen>{{"last", false, true}}));
}

TEST_F(EngineChangesTest, PagesPastTenThousandChanges) {
  constexpr int kFiles = 5001;  // a folder rename logs 2 * (files + 1) changes
  for (int i = 0; i < kFiles; ++i) writeFile(folder / "big" / ("f" + std::to_string(i)), "");
  launch();
  std::string anchor = latest();
  ASSERT_EQ(post("rename", body({{"path", "big/"}, {"name", "moved"}})).status, 200);

  const ChangeSet first = changes(anchor);
  ASSERT_TRUE(first.changes);
  EXPECT_FALSE(first.reset);
  EXPECT_EQ(first.changes->size(), 10'000u);
  const ChangeSet second = changes(first.anchor);
  ASSERT_TRUE(second.changes);
  EXPECT_EQ(second.changes->size(), 2u * (kFiles + 1) - 10'000u);
  const ChangeSet third = changes(second.anchor);
  ASSERT_TRUE(third.changes);
  EXPECT_TRUE(third.changes->empty());
  EXPECT_EQ(third.anchor, second.anchor);

  std::set<Seen> all = seenSet(*first.changes);
  all.merge(seenSet(*second.changes));
  EXPECT_EQ(all.size(), 2u * (kFiles + 1)) << "no change repeated or lost between pages";
  EXPECT_TRUE(all.contains({"big/f5000", true, false}));
  EXPECT_TRUE(all.contains({"moved/f0", false, false}));
}

}  // namespace
}  // namespace corvane::testing
