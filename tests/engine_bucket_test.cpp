// The reference engine serving buckets of an S3 store (the test run's
// throw-away RADOS Gateway). The API's behaviour that both kinds of scope
// share runs against a local folder and a bucket alike; the rest covers what
// only buckets have: long listings, folders that exist only through deeper
// keys, keys that cannot be items, conditional writes meeting another
// client, the start-up check of the bucket and the poll for others' changes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "engine/decoding.h"
#include "engine/json_text.h"
#include "engine/query.h"
#include "engine/store_status.h"
#include "s3/s3_client.h"
#include "s3/s3_encoding.h"
#include "support/engine_process.h"
#include "support/files.h"
#include "support/s3_test_store.h"
#include "support/store_proxy.h"
#include "support/tcp_relay.h"
#include "support/test_env.h"

namespace corvane::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const auto* const kStore = ::testing::AddGlobalTestEnvironment(new S3TestStore);

constexpr const char* kPrefix = "team/docs";
constexpr int kPollSeconds = 1;

std::string body(std::initializer_list<std::pair<const char*, std::string>> fields) {
  JsonObjectWriter writer;
  for (const auto& [key, value] : fields) writer.addString(key, value);
  return std::move(writer).str();
}

// The store's endpoint and region on the command line, the credentials in
// the environment, as a user would give them.
std::vector<std::string> storeArguments() {
  const s3::S3Config& config = S3TestStore::config();
  ::setenv("AWS_ACCESS_KEY_ID", config.credentials.accessKeyId.c_str(), 1);
  ::setenv("AWS_SECRET_ACCESS_KEY", config.credentials.secretAccessKey.c_str(), 1);
  ::unsetenv("AWS_SESSION_TOKEN");
  // Changes where no host looks are found by a comparison of the whole
  // prefix, here every few seconds.
  return {"--s3-endpoint=" + config.endpoint, "--s3-region=" + config.region,
          "--s3-poll=" + std::to_string(kPollSeconds), "--s3-full-scan=2"};
}

// Puts small objects from several threads: listings need many keys.
void putMany(const s3::S3Client& client, const std::vector<std::string>& keys) {
  std::atomic<std::size_t> next{0};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (std::size_t i = next++; i < keys.size(); i = next++) {
        try {
          client.putBytes(keys[i], "x");
        } catch (const std::exception&) {
          ++failures;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_EQ(failures.load(), 0);
}

// Where the scope's items live, and how another program changes them behind
// the engine's back.
class Backend {
 public:
  virtual ~Backend() = default;
  virtual std::string scopeTarget() const = 0;  // what follows "--scope NAME="
  virtual std::string scopeId() const = 0;
  virtual std::vector<std::string> arguments() const = 0;
  virtual void otherWrites(const std::string& path, const std::string& bytes) = 0;
  virtual void otherRemoves(const std::string& path) = 0;
  // The longest path of a new file, and of a new folder.
  virtual std::size_t fileRoom() const = 0;
  virtual std::size_t folderRoom() const = 0;
  // The modification time the storage keeps for the file, as seconds and
  // nine fractional digits: the file's own time, or the object's metadata.
  virtual std::string storedTime(const std::string& path) const = 0;
};

std::string secondsText(std::int64_t sec, long nsec) {
  char fraction[16];
  std::snprintf(fraction, sizeof fraction, ".%09ld", nsec);
  return std::to_string(sec) + fraction;
}

class FolderBackend : public Backend {
 public:
  explicit FolderBackend(fs::path folder) : folder_(std::move(folder)) {
    fs::create_directories(folder_);
  }
  std::string scopeTarget() const override { return folder_.string(); }
  std::string scopeId() const override { return "local-1"; }
  std::vector<std::string> arguments() const override { return {}; }
  void otherWrites(const std::string& path, const std::string& bytes) override {
    fs::create_directories((folder_ / path).parent_path());
    writeFile(folder_ / path, bytes);
  }
  void otherRemoves(const std::string& path) override { fs::remove(folder_ / path); }
  // The path limit of every scope.
  std::size_t fileRoom() const override { return 1024; }
  std::size_t folderRoom() const override { return 1024; }
  std::string storedTime(const std::string& path) const override {
    struct stat st {};
    if (::stat((folder_ / path).c_str(), &st) != 0) return "none";
    return secondsText(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  }

 private:
  fs::path folder_;
};

class BucketBackend : public Backend {
 public:
  std::string scopeTarget() const override {
    return "s3://" + bucket_.name() + "/" + kPrefix + "/";
  }
  std::string scopeId() const override { return "s3-1"; }
  std::vector<std::string> arguments() const override { return storeArguments(); }
  void otherWrites(const std::string& path, const std::string& bytes) override {
    bucket_.client().putBytes(std::string(kPrefix) + "/" + path, bytes);
  }
  void otherRemoves(const std::string& path) override {
    bucket_.client().remove(std::string(kPrefix) + "/" + path);
  }
  const TestBucket& bucket() const { return bucket_; }
  // A key holds 1,024 bytes: the prefix and its "/" come first, and a
  // folder's key ends in "/".
  std::size_t fileRoom() const override { return 1024 - std::strlen(kPrefix) - 1; }
  std::size_t folderRoom() const override { return fileRoom() - 1; }
  std::string storedTime(const std::string& path) const override {
    const s3::S3ObjectInfo object = bucket_.client().head(std::string(kPrefix) + "/" + path);
    if (!object.metadata || !object.metadata->contains("mtime")) return "none";
    return object.metadata->at("mtime");
  }

 private:
  TestBucket bucket_;
};

enum class Kind { folder, bucket };

std::string kindName(const ::testing::TestParamInfo<Kind>& info) {
  return info.param == Kind::folder ? "Folder" : "Bucket";
}

// One engine serving one scope of either kind, with the API's operations as
// helpers.
class ScopeFixture {
 public:
  // A bucket's engine reaches the store at `endpoint` when one is given;
  // each of `overrides` ("--name=value") takes the place of the argument of
  // that name.
  explicit ScopeFixture(Kind kind, const std::string& endpoint = {},
                        const std::vector<std::string>& overrides = {}) {
    fs::create_directories(outside);
    if (kind == Kind::folder) {
      backend = std::make_unique<FolderBackend>(env.root() / "scope");
    } else {
      backend = std::make_unique<BucketBackend>();
    }
    options.binary = CORVANE_BIN_DIR "/corvane-engine";
    options.extraArguments = {"--scope=docs=" + backend->scopeTarget()};
    for (auto& argument : backend->arguments()) {
      if (!endpoint.empty() && argument.starts_with("--s3-endpoint=")) {
        argument = "--s3-endpoint=" + endpoint;
      }
      options.extraArguments.push_back(argument);
    }
    override(overrides);
    engine = std::make_unique<EngineProcess>(options);
    http = engine->client();
  }

  // The engine stopped: starts another on the same state with `overrides`.
  void startWith(const std::vector<std::string>& overrides) {
    override(overrides);
    engine = std::make_unique<EngineProcess>(options);
    http = engine->client();
  }
  void override(const std::vector<std::string>& overrides) {
    for (const std::string& given : overrides) {
      const std::string name = given.substr(0, given.find('=') + 1);
      std::erase_if(options.extraArguments,
                    [&](const std::string& argument) { return argument.starts_with(name); });
      options.extraArguments.push_back(given);
    }
  }

  void stop() {
    http.reset();  // no idle connection for the engine to wait on
    ASSERT_EQ(engine->stop(), 0) << engine->output();
  }
  void start() {
    engine->start();
    http = engine->client();
  }

  EngineReply get(const std::string& operation, const std::string& query) {
    return engineGet(*http, "/v1/scopes/" + backend->scopeId() + "/" + operation + "?" + query);
  }
  EngineReply post(const std::string& operation, const std::string& json) {
    return enginePost(*http, "/v1/scopes/" + backend->scopeId() + "/" + operation, json);
  }
  EngineReply listReply(const std::string& dir) { return get("list", "dir=" + query::encode(dir)); }
  std::vector<Entry> list(const std::string& dir) {
    const EngineReply reply = listReply(dir);
    EXPECT_EQ(reply.status, 200) << dir << ": " << reply.body;
    return reply.status == 200 ? decode::entriesAnswer(reply.body) : std::vector<Entry>{};
  }
  std::vector<std::string> names(const std::string& dir) {
    std::vector<std::string> out;
    for (const Entry& e : list(dir)) out.push_back(e.dir ? e.name + "/" : e.name);
    return out;
  }
  fs::path source(const std::string& contents) {
    const fs::path file = outside / ("source-" + std::to_string(counter++));
    writeFile(file, contents);
    return file;
  }
  EngineReply uploadReply(const std::string& path, const std::string& contents,
                          const std::string& version) {
    return post("upload",
                body({{"path", path}, {"source", source(contents)}, {"version", version}}));
  }
  Entry upload(const std::string& path, const std::string& contents,
               const std::string& version = "") {
    const EngineReply reply = uploadReply(path, contents, version);
    EXPECT_EQ(reply.status, 200) << path << ": " << reply.body;
    return reply.status == 200 ? decode::entry(reply.body) : Entry{};
  }
  // The file's bytes, or the refusal's status as text.
  std::string fetch(const std::string& path) {
    const fs::path dest = outside / ("fetched-" + std::to_string(counter++));
    const EngineReply reply = post("fetch", body({{"path", path}, {"dest", dest}}));
    if (reply.status != 200) return "status " + std::to_string(reply.status);
    return readFile(dest);
  }
  ChangeSet changes(const std::string& anchor) {
    const EngineReply reply = get("changes", query::build({{"anchor", anchor}, {"refresh", "0"}}));
    EXPECT_EQ(reply.status, 200) << reply.body;
    return reply.status == 200 ? decode::changeSet(reply.body) : ChangeSet{};
  }
  std::string latest() { return changes("latest").anchor; }
  // Reads changes from `anchor` until `done` holds for all read so far or
  // `patience` passes; moves `anchor` along.
  std::vector<Change> changesUntil(std::string& anchor,
                                   const std::function<bool(const std::vector<Change>&)>& done,
                                   std::chrono::milliseconds patience = std::chrono::seconds(10)) {
    std::vector<Change> all;
    const auto deadline = Clock::now() + patience;
    while (true) {
      const ChangeSet set = changes(anchor);
      EXPECT_FALSE(set.reset);
      if (set.changes) all.insert(all.end(), set.changes->begin(), set.changes->end());
      anchor = set.anchor;
      if (done(all) || Clock::now() > deadline) return all;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  TestEnvironment env;
  fs::path outside = env.root() / "outside";
  std::unique_ptr<Backend> backend;
  EngineProcess::Options options;
  std::unique_ptr<EngineProcess> engine;
  std::unique_ptr<httplib::Client> http;
  int counter = 0;
};

bool has(const std::vector<Change>& changes, const std::string& path, bool deleted) {
  return std::any_of(changes.begin(), changes.end(),
                     [&](const Change& c) { return c.entry.path == path && c.deleted == deleted; });
}

// --- What both kinds of scope do alike ---------------------------------------

class EitherScopeTest : public ::testing::TestWithParam<Kind> {
 protected:
  ScopeFixture scope{GetParam()};
};

TEST_P(EitherScopeTest, UploadMakesMissingFoldersAndReadsBackTheSameBytes) {
  std::string anchor = scope.latest();
  std::string bytes = "first line\n";
  for (int i = 0; i < 1000; ++i) bytes += static_cast<char>(i * 7);
  const Entry uploaded = scope.upload("a/b/c.txt", bytes);
  EXPECT_EQ(uploaded.size, static_cast<std::int64_t>(bytes.size()));
  EXPECT_FALSE(uploaded.version.empty());

  EXPECT_EQ(scope.names(""), std::vector<std::string>{"a/"});
  const std::vector<Entry> listed = scope.list("a/b");
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0], uploaded) << "the upload's answer and the listing must agree";
  EXPECT_EQ(scope.fetch("a/b/c.txt"), bytes);

  const std::vector<Change> changes =
      scope.changesUntil(anchor, [](const auto& all) { return all.size() >= 3; });
  ASSERT_EQ(changes.size(), 3u);
  EXPECT_EQ(changes[0].entry.path, "a");
  EXPECT_EQ(changes[1].entry.path, "a/b");
  EXPECT_EQ(changes[2].entry, uploaded);
}

TEST_P(EitherScopeTest, AStaleUploadIsAConflictAndTheOtherWritersBytesStay) {
  const Entry mine = scope.upload("notes/todo.txt", "mine v1");
  const Entry again = scope.upload("notes/todo.txt", "mine v2", mine.version);
  EXPECT_NE(again.version, mine.version);

  scope.backend->otherWrites("notes/todo.txt", "theirs, longer");
  EXPECT_EQ(scope.uploadReply("notes/todo.txt", "mine v3", again.version).status, 409);
  EXPECT_EQ(scope.fetch("notes/todo.txt"), "theirs, longer");
  // Sending exactly the bytes that are there is no conflict, whatever the
  // base (a client that lost track after a crash); bytes of the same size
  // that differ are.
  const EngineReply same = scope.uploadReply("notes/todo.txt", "theirs, longer", mine.version);
  ASSERT_EQ(same.status, 200) << same.body;
  EXPECT_EQ(decode::entry(same.body), scope.list("notes").at(0));
  EXPECT_EQ(scope.uploadReply("notes/todo.txt", "theirs, LONGER", mine.version).status, 409);
  // The user's bytes are kept beside the other writer's.
  const EngineReply copy = scope.post(
      "conflict-copy", body({{"path", "notes/todo.txt"}, {"source", scope.source("mine v3")}}));
  ASSERT_EQ(copy.status, 200) << copy.body;
  const Entry copied = decode::entry(copy.body);
  EXPECT_NE(copied.path, "notes/todo.txt");
  EXPECT_EQ(scope.fetch(copied.path), "mine v3");
  EXPECT_EQ(scope.list("notes").size(), 2u);

  // A new file whose name another writer took meanwhile collides.
  scope.backend->otherWrites("notes/new.txt", "theirs");
  EXPECT_EQ(scope.uploadReply("notes/new.txt", "mine", "").status, 409);
  EXPECT_EQ(scope.fetch("notes/new.txt"), "theirs");
}

// A conflict copy keeps bytes that are kept nowhere else: the same bytes as
// the file's, or as a copy this machine made of it before (a resend whose
// answer was lost), make no new one, and the bytes of a file that was
// deleted meanwhile take its place.
TEST_P(EitherScopeTest, ConflictCopiesOnlyOfBytesKeptNowhereElse) {
  scope.upload("d/f.txt", "base");
  scope.backend->otherWrites("d/f.txt", "theirs");
  auto copy = [&](const std::string& bytes) {
    const EngineReply reply = scope.post(
        "conflict-copy", body({{"path", "d/f.txt"}, {"source", scope.source(bytes)}}));
    EXPECT_EQ(reply.status, 200) << reply.body;
    return reply.status == 200 ? decode::entry(reply.body).path : std::string();
  };
  EXPECT_EQ(copy("theirs"), "d/f.txt") << "the same bytes as the file's";
  const std::string mine = copy("mine");
  EXPECT_NE(mine, "d/f.txt");
  EXPECT_EQ(scope.fetch(mine), "mine");
  EXPECT_EQ(copy("mine"), mine) << "sent again";
  EXPECT_EQ(scope.list("d").size(), 2u);

  scope.backend->otherRemoves("d/f.txt");
  EXPECT_EQ(copy("edited while deleted"), "d/f.txt");
  EXPECT_EQ(scope.fetch("d/f.txt"), "edited while deleted");
  EXPECT_EQ(scope.list("d").size(), 2u);
}

// A byte range of a file: what lies in the file of the asked bytes, nothing
// from past its end, and always the whole file's entry.
TEST_P(EitherScopeTest, RangesDeliverOnlyTheirBytes) {
  scope.upload("r.txt", "0123456789");
  const struct {
    std::optional<std::int64_t> offset, length;
    std::string bytes;
  } cases[] = {
      {0, 4, "0123"},
      {3, 4, "3456"},
      {8, 10, "89"},
      {10, 5, ""},
      {20, 5, ""},
      {4, 0, ""},
      {7, {}, "789"},
      {{}, 2, "01"},
      {0, INT64_MAX, "0123456789"},
      {5, INT64_MAX, "56789"},
  };
  for (const auto& c : cases) {
    const fs::path dest = scope.outside / ("range-" + std::to_string(scope.counter++));
    JsonObjectWriter writer;
    writer.addString("path", "r.txt").addString("dest", dest.string());
    if (c.offset) writer.addInt("offset", *c.offset);
    if (c.length) writer.addInt("length", *c.length);
    const EngineReply reply = scope.post("fetch", std::move(writer).str());
    const std::string asked =
        std::to_string(c.offset.value_or(-1)) + "+" + std::to_string(c.length.value_or(-1));
    ASSERT_EQ(reply.status, 200) << asked << ": " << reply.body;
    EXPECT_EQ(readFile(dest), c.bytes) << asked;
    EXPECT_EQ(decode::entry(reply.body).size, 10) << asked;
  }
  for (const char* bad : {R"("offset":-1)", R"("length":"4")", R"("offset":1.5)"}) {
    const std::string json = R"({"path":"r.txt","dest":")" +
                             (scope.outside / ("bad-" + std::to_string(scope.counter++))).string() +
                             "\"," + bad + "}";
    EXPECT_EQ(scope.post("fetch", json).status, 400) << bad;
  }
}

TEST_P(EitherScopeTest, FoldersRenameMoveAndDeleteWithEverythingInThem) {
  ASSERT_EQ(scope.post("mkdir", body({{"path", "src/empty"}})).status, 200);
  scope.upload("src/sub/f.txt", "f");
  scope.upload("src/g.txt", "g");
  ASSERT_EQ(scope.post("mkdir", body({{"path", "archive"}})).status, 200);

  const EngineReply renamed = scope.post("rename", body({{"path", "src/"}, {"name", "dst"}}));
  ASSERT_EQ(renamed.status, 200) << renamed.body;
  EXPECT_EQ(scope.listReply("src").status, 404);
  EXPECT_EQ(scope.names("dst"), (std::vector<std::string>{"empty/", "g.txt", "sub/"}));
  EXPECT_EQ(scope.fetch("dst/sub/f.txt"), "f");

  const EngineReply moved = scope.post("move", body({{"path", "dst/sub/"}, {"dir", "archive"}}));
  ASSERT_EQ(moved.status, 200) << moved.body;
  EXPECT_EQ(scope.names("archive"), std::vector<std::string>{"sub/"});
  EXPECT_EQ(scope.names("dst"), (std::vector<std::string>{"empty/", "g.txt"}));

  // A folder the engine empties stays, as it would on a disk.
  ASSERT_EQ(
      scope.post("delete", JsonObjectWriter().addStringArray("paths", {"archive/sub/f.txt"}).str())
          .status,
      200);
  EXPECT_EQ(scope.names("archive"), std::vector<std::string>{"sub/"});
  EXPECT_TRUE(scope.list("archive/sub").empty());
  const EngineReply renamedFile =
      scope.post("rename", body({{"path", "dst/g.txt"}, {"name", "h.txt"}}));
  ASSERT_EQ(renamedFile.status, 200) << renamedFile.body;
  ASSERT_EQ(scope.post("move", body({{"path", "dst/h.txt"}, {"dir", ""}})).status, 200);
  EXPECT_EQ(scope.names("dst"), std::vector<std::string>{"empty/"});
  EXPECT_EQ(scope.fetch("h.txt"), "g");

  ASSERT_EQ(scope.post("delete", JsonObjectWriter().addStringArray("paths", {"dst/"}).str()).status,
            200);
  EXPECT_EQ(scope.listReply("dst").status, 404);
  EXPECT_EQ(scope.names(""), (std::vector<std::string>{"archive/", "h.txt"}));
}

TEST_P(EitherScopeTest, RefusalsAnswerTheSameStatus) {
  scope.upload("d/f.txt", "f");
  scope.upload("g.txt", "g");
  const std::string longName(256, 'n');
  struct Case {
    const char* what;
    std::function<EngineReply()> request;
    int status;
  };
  auto& s = scope;
  const std::vector<Case> cases = {
      {"fetch of a folder",
       [&] {
         return s.post("fetch", body({{"path", "d"}, {"dest", s.outside / "x"}}));
       },
       400},
      {"fetch of nothing",
       [&] {
         return s.post("fetch", body({{"path", "nope"}, {"dest", s.outside / "y"}}));
       },
       404},
      {"list of a file", [&] { return s.listReply("g.txt"); }, 404},
      {"list of nothing", [&] { return s.listReply("nope"); }, 404},
      {"rename onto an item",
       [&] {
         return s.post("rename", body({{"path", "g.txt"}, {"name", "d"}}));
       },
       409},
      {"mkdir through a file",
       [&] {
         return s.post("mkdir", body({{"path", "g.txt/sub"}}));
       },
       409},
      {"upload over a folder", [&] { return s.uploadReply("d", "x", ""); }, 409},
      {"upload of a name too long", [&] { return s.uploadReply(longName, "x", ""); }, 400},
      {"upload based on a file that is gone", [&] { return s.uploadReply("gone.txt", "x", "v1"); },
       409},
      {"delete of nothing",
       [&] { return s.post("delete", JsonObjectWriter().addStringArray("paths", {"nope"}).str()); },
       404},
      {"delete of a folder without /",
       [&] { return s.post("delete", JsonObjectWriter().addStringArray("paths", {"d"}).str()); },
       400},
      {"move of a folder into itself",
       [&] {
         return s.post("move", body({{"path", "d/"}, {"dir", "d"}}));
       },
       400},
  };
  for (const Case& c : cases) {
    const EngineReply reply = c.request();
    EXPECT_EQ(reply.status, c.status) << c.what << ": " << reply.body;
  }
  // Nothing a refusal touched changed.
  EXPECT_EQ(scope.names(""), (std::vector<std::string>{"d/", "g.txt"}));
  EXPECT_EQ(scope.fetch("d/f.txt"), "f");
}

// A path of exactly `bytes` bytes that begins with `start`, in names of at
// most 200 bytes.
std::string longPath(const std::string& start, std::size_t bytes) {
  std::string path = start;
  while (path.size() < bytes) {
    path += '/';
    const std::size_t left = bytes - path.size();
    // Never leave a single byte: it would end the path in "/".
    path.append(left <= 200 ? left : (left - 200 >= 2 ? 200 : left - 2), 'n');
  }
  return path;
}

// What the storage cannot hold is the user's mistake (400, naming the
// limit), refused before anything is made; on a bucket the limit is that of
// the key, so a folder's marker and the keys below a moved folder count.
TEST_P(EitherScopeTest, PathsTheStorageCannotHoldAreRefusedBeforeAnythingIsMade) {
  const std::size_t fileRoom = scope.backend->fileRoom();
  const std::size_t folderRoom = scope.backend->folderRoom();
  const bool bucket = GetParam() == Kind::bucket;
  // A deep folder with room for names of 100 bytes, and a folder with a
  // long path below it.
  const std::string deep = longPath("deep", fileRoom - 101);
  ASSERT_EQ(scope.post("mkdir", body({{"path", deep}})).status, 200);
  scope.upload(deep + "/f.txt", "f");
  scope.upload("m/" + std::string(150, 'm'), "m");
  scope.upload(longPath("tree", 600), "t");
  struct Case {
    const char* what;
    std::function<EngineReply()> request;
    int status;
    std::string absent;  // a path that must not exist afterwards
  };
  auto& s = scope;
  const std::string over = longPath("over", fileRoom + 1);
  const std::string folderOver = longPath("fover", folderRoom + 1);
  const std::vector<Case> cases = {
      {"a file that fits", [&] { return s.uploadReply(longPath("fits", fileRoom), "x", ""); },
       200, ""},
      {"a file one byte over", [&] { return s.uploadReply(over, "x", ""); }, 400, over},
      {"a folder that fits",
       [&] { return s.post("mkdir", body({{"path", longPath("dfits", folderRoom)}})); }, 200, ""},
      {"a folder one byte over", [&] { return s.post("mkdir", body({{"path", folderOver}})); },
       400, folderOver},
      {"a rename one byte over",
       [&] {
         return s.post("rename", body({{"path", deep + "/f.txt"}, {"name", std::string(101, 'r')}}));
       },
       400, deep + "/" + std::string(101, 'r')},
      {"a rename that fits",
       [&] {
         return s.post("rename", body({{"path", deep + "/f.txt"}, {"name", std::string(100, 'r')}}));
       },
       200, deep + "/f.txt"},
      {"a file moved too deep", [&] { return s.post("move", body({{"path", "m/" + std::string(150, 'm')}, {"dir", deep}})); },
       400, deep + "/" + std::string(150, 'm')},
      // The folder's own new path fits; a key below it would not.
      {"a folder moved where a key below it would be too long",
       [&] { return s.post("move", body({{"path", "tree/"}, {"dir", deep}})); },
       bucket ? 400 : 200, bucket ? deep + "/tree" : ""},
  };
  for (const Case& c : cases) {
    const EngineReply reply = c.request();
    EXPECT_EQ(reply.status, c.status) << c.what << ": " << reply.body;
    if (reply.status == 400) {
      EXPECT_NE(reply.body.find("1024"), std::string::npos) << c.what << ": " << reply.body;
    }
    if (!c.absent.empty()) {
      EXPECT_EQ(scope.fetch(c.absent), "status 404") << c.what;
      EXPECT_EQ(scope.listReply(c.absent).status, 404) << c.what;
    }
  }
  if (bucket) {
    EXPECT_EQ(scope.names("tree").size(), 1u) << "the refused folder stays where it was";
  }
  EXPECT_EQ(scope.fetch("m/" + std::string(150, 'm')), "m");
}

// Sets the times of `path` to 2001-02-03T04:05:06.123456789Z.
void setOldTime(const fs::path& path) {
  const timespec time{981173106, 123456789};
  const timespec times[2] = {time, time};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The time a file was last written where it came from is the item's, in
// every answer and in the storage; a time alone can be set later without
// sending the bytes again, and only on the version it was based on.
TEST_P(EitherScopeTest, AFilesTimeTravelsWithItAndCanBeSetAlone) {
  const std::string oldStamp = "\"mod_time\":\"2001-02-03T04:05:06.123456789Z\"";
  std::string anchor = scope.latest();
  const fs::path source = scope.source("dated");
  setOldTime(source);
  const EngineReply uploaded = scope.post(
      "upload", body({{"path", "t/dated.txt"}, {"source", source}, {"version", ""}}));
  ASSERT_EQ(uploaded.status, 200) << uploaded.body;
  EXPECT_TRUE(contains(uploaded.body, oldStamp)) << uploaded.body;
  EXPECT_TRUE(contains(scope.listReply("t").body, oldStamp));
  EXPECT_EQ(scope.backend->storedTime("t/dated.txt"), "981173106.123456789");
  const auto logged = scope.changesUntil(anchor, [](const auto& all) {
    return has(all, "t/dated.txt", false);
  });
  ASSERT_TRUE(has(logged, "t/dated.txt", false));
  const EngineReply copy = scope.post(
      "conflict-copy", body({{"path", "t/dated.txt"}, {"source", source}}));
  ASSERT_EQ(copy.status, 200) << copy.body;
  EXPECT_TRUE(contains(copy.body, oldStamp)) << copy.body;

  const std::string version = decode::entry(uploaded.body).version;
  struct Case {
    const char* what;
    std::string path, modTime, version;
    int status;
  };
  const std::vector<Case> refused = {
      {"another version", "t/dated.txt", "2003-04-05T06:07:08Z", version + "x", 409},
      {"a folder", "t", "2003-04-05T06:07:08Z", "dir", 400},
      {"nothing there", "t/none.txt", "2003-04-05T06:07:08Z", version, 404},
      {"not a time", "t/dated.txt", "yesterday", version, 400},
  };
  for (const Case& c : refused) {
    const EngineReply reply = scope.post(
        "set-mod-time", body({{"path", c.path}, {"mod_time", c.modTime}, {"version", c.version}}));
    EXPECT_EQ(reply.status, c.status) << c.what << ": " << reply.body;
  }
  EXPECT_EQ(scope.backend->storedTime("t/dated.txt"), "981173106.123456789");

  anchor = scope.latest();
  const EngineReply set = scope.post(
      "set-mod-time",
      body({{"path", "t/dated.txt"}, {"mod_time", "2003-04-05T06:07:08.5+00:00"}, {"version", version}}));
  ASSERT_EQ(set.status, 200) << set.body;
  const std::string newStamp = "\"mod_time\":\"2003-04-05T06:07:08.500000000Z\"";
  EXPECT_TRUE(contains(set.body, newStamp)) << set.body;
  EXPECT_EQ(scope.backend->storedTime("t/dated.txt"), "1049522828.500000000");
  EXPECT_EQ(scope.fetch("t/dated.txt"), "dated");
  EXPECT_TRUE(contains(scope.listReply("t").body, newStamp));
  const auto changed = scope.changesUntil(anchor, [](const auto& all) {
    return has(all, "t/dated.txt", false);
  });
  ASSERT_TRUE(has(changed, "t/dated.txt", false)) << "a new time alone is a change";
}

TEST_P(EitherScopeTest, AnotherProgramsChangesAreLogged) {
  std::string anchor = scope.latest();
  scope.backend->otherWrites("theirs/new.txt", "hello");
  const auto added =
      scope.changesUntil(anchor, [](const auto& all) { return has(all, "theirs/new.txt", false); });
  EXPECT_TRUE(has(added, "theirs", false));
  ASSERT_TRUE(has(added, "theirs/new.txt", false));

  scope.backend->otherRemoves("theirs/new.txt");
  const auto removed =
      scope.changesUntil(anchor, [](const auto& all) { return has(all, "theirs/new.txt", true); });
  EXPECT_TRUE(has(removed, "theirs/new.txt", true));
}

TEST_P(EitherScopeTest, ARestartLogsOnlyWhatChangedWhileTheEngineWasDown) {
  scope.upload("keep.txt", "same");
  scope.upload("edit.txt", "old");
  scope.upload("drop.txt", "bye");
  std::string anchor = scope.latest();
  scope.stop();
  scope.backend->otherWrites("edit.txt", "new and longer");
  scope.backend->otherRemoves("drop.txt");
  scope.backend->otherWrites("added.txt", "hi");
  scope.start();

  // A bucket's engine serves at once and finds them by its next comparison
  // of the whole prefix.
  const auto changed = scope.changesUntil(anchor, [](const auto& all) {
    return has(all, "added.txt", false) && has(all, "drop.txt", true) &&
           has(all, "edit.txt", false);
  });
  std::multiset<std::pair<std::string, bool>> seen;
  for (const Change& c : changed) seen.insert({c.entry.path, c.deleted});
  EXPECT_EQ(seen, (std::multiset<std::pair<std::string, bool>>{
                      {"added.txt", false}, {"drop.txt", true}, {"edit.txt", false}}));
}

INSTANTIATE_TEST_SUITE_P(Scopes, EitherScopeTest, ::testing::Values(Kind::folder, Kind::bucket),
                         kindName);

// --- What only buckets have --------------------------------------------------

class BucketScopeTest : public ::testing::Test {
 protected:
  ScopeFixture scope{Kind::bucket};
  const s3::S3Client& client() {
    return static_cast<BucketBackend&>(*scope.backend).bucket().client();
  }
  std::string key(const std::string& path) { return std::string(kPrefix) + "/" + path; }
};

TEST_F(BucketScopeTest, ListsPastOnePageAndFoldersThatOnlyDeeperKeysMake) {
  std::vector<std::string> keys;
  std::vector<std::string> expected;
  for (int i = 0; i < 1100; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "f%04d", i);
    keys.push_back(key(std::string("many/") + name));
    expected.push_back(name);
  }
  // Keys that sort between a folder's name and its "/" must not break the
  // merge of folders and files.
  keys.push_back(key("many/f0001-x/inner"));
  expected.push_back("f0001-x/");
  std::sort(expected.begin(), expected.end());
  keys.push_back(key("deep/x/y/z.txt"));
  keys.push_back(key("many/"));  // a marker beside the keys that make the folder too
  putMany(client(), keys);

  EXPECT_EQ(scope.names("many"), expected);
  EXPECT_EQ(scope.names(""), (std::vector<std::string>{"deep/", "many/"}));
  EXPECT_EQ(scope.names("deep/x"), std::vector<std::string>{"y/"});
  EXPECT_EQ(scope.fetch("deep/x/y/z.txt"), "x");
}

TEST_F(BucketScopeTest, OddCharactersInNamesAndKeysThatCannotBeItems) {
  const std::string odd = "a b+c%20d~e\xc3\xa9\xe2\x82\xac.txt";
  const Entry uploaded = scope.upload("odd dir/" + odd, "odd");
  EXPECT_EQ(uploaded.name, odd);
  EXPECT_EQ(scope.names("odd dir"), std::vector<std::string>{odd});
  EXPECT_EQ(scope.fetch("odd dir/" + odd), "odd");
  EXPECT_EQ(client().head(key("odd dir/" + odd)).size, 3u) << "stored under its own name";

  // Not items: never served, and the engine keeps serving the rest. (Keys
  // that are not UTF-8 this store refuses to take at all.)
  putMany(client(), {key("bad/a//b"), key("bad/./c"), key("bad/" + std::string(256, 'n')),
                     key("bad/back\\slash"), key("bad/shadow"), key("bad/shadow/inside"),
                     key("bad/fine.txt")});
  EXPECT_EQ(scope.names("bad"), (std::vector<std::string>{"a/", "fine.txt", "shadow/"}));
  EXPECT_TRUE(scope.list("bad/a").empty());
  EXPECT_EQ(scope.fetch("bad/shadow/inside"), "x");
  const std::string output = scope.engine->output();
  EXPECT_NE(output.find("bad/./"), std::string::npos) << output;
  EXPECT_NE(output.find("back\\slash"), std::string::npos) << output;
}

TEST_F(BucketScopeTest, LargeUploadsGoInPartsAndAFailedOneLeavesNothing) {
  std::string bytes = randomBytes(40u << 20, 7);
  const Entry uploaded = scope.upload("big.bin", bytes);
  EXPECT_EQ(uploaded.size, static_cast<std::int64_t>(bytes.size()));
  EXPECT_NE(uploaded.version.find('-'), std::string::npos)
      << "a multipart object's ETag names its parts: " << uploaded.version;
  EXPECT_EQ(scope.fetch("big.bin"), bytes);

  // Another writer replaces the object while the engine's replacement is
  // under way: the upload fails its condition at the end and is aborted.
  std::atomic<bool> done{false};
  std::thread other([&] {
    while (!done) {
      if (!client().listMultipartUploads(kPrefix).empty()) {
        client().putBytes(key("big.bin"), "theirs");
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  bytes[0] ^= 1;
  const EngineReply replaced = scope.uploadReply("big.bin", bytes, uploaded.version);
  done = true;
  other.join();
  EXPECT_EQ(replaced.status, 409) << replaced.body;
  EXPECT_EQ(scope.fetch("big.bin"), "theirs");
  EXPECT_TRUE(client().listMultipartUploads(kPrefix).empty());
}

// What one engine wrote, another engine on the same bucket (another
// machine) reports with the same time; objects another client wrote without
// a time of their own show their LastModified on both.
TEST_F(BucketScopeTest, ASecondEngineSeesTheTimesAndOthersObjectsTheirLastModified) {
  const fs::path source = scope.source("dated");
  setOldTime(source);
  ASSERT_EQ(scope.post("upload", body({{"path", "dated.txt"}, {"source", source}, {"version", ""}}))
                .status,
            200);
  client().putBytes(key("plain.txt"), "plain");
  const auto lastModified = std::chrono::floor<std::chrono::seconds>(
      client().head(key("plain.txt")).lastModified);

  EngineProcess::Options o;
  o.binary = CORVANE_BIN_DIR "/corvane-engine";
  o.dataHome = scope.env.root() / "second-machine";
  o.extraArguments = {"--scope=docs=" + scope.backend->scopeTarget()};
  for (auto& argument : storeArguments()) o.extraArguments.push_back(argument);
  EngineProcess second(o);
  auto secondHttp = second.client();
  auto listed = [&](httplib::Client& http) {
    const EngineReply reply = engineGet(http, "/v1/scopes/s3-1/list?dir=");
    EXPECT_EQ(reply.status, 200) << reply.body;
    return reply.body;
  };
  // Listed, the folder is watched: its first poll asks for the times of the
  // objects not seen before, and listings report them from then on.
  const std::string oldStamp = "\"mod_time\":\"2001-02-03T04:05:06.123456789Z\"";
  std::string theirs = listed(*secondHttp);
  const auto learnt = Clock::now() + std::chrono::seconds(kPollSeconds + 5);
  while (!contains(theirs, oldStamp) && Clock::now() < learnt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    theirs = listed(*secondHttp);
  }
  EXPECT_TRUE(contains(theirs, oldStamp)) << theirs;
  for (httplib::Client* http : {secondHttp.get(), scope.http.get()}) {
    for (const Entry& e : decode::entriesAnswer(listed(*http))) {
      if (e.name == "plain.txt") {
        EXPECT_EQ(e.mod_time, lastModified);
      }
    }
  }

  // A time set alone on the first reaches the second's change feed and
  // listings: the object's LastModified moved, so the second asks again.
  const std::string version = scope.list("").at(0).version;
  ASSERT_EQ(scope.post("set-mod-time", body({{"path", "dated.txt"},
                                             {"mod_time", "2003-04-05T06:07:08.25Z"},
                                             {"version", version}}))
                .status,
            200);
  const std::string newStamp = "\"mod_time\":\"2003-04-05T06:07:08.250000000Z\"";
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!contains(listed(*secondHttp), newStamp) && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(contains(listed(*secondHttp), newStamp));
}

// A time set alone keeps what else describes the object (its content type,
// other metadata) and its bytes.
TEST_F(BucketScopeTest, ATimeSetAloneKeepsTheRestOfTheObject) {
  s3::S3PutOptions put;
  put.contentType = "text/plain; charset=utf-8";
  put.metadata = {{"color", "blue"}};
  client().putBytes(key("styled.txt"), "styled", put);
  const s3::S3ObjectInfo before = client().head(key("styled.txt"));
  const std::string version = scope.list("").at(0).version;

  const EngineReply set = scope.post(
      "set-mod-time", body({{"path", "styled.txt"}, {"mod_time", "2003-04-05T06:07:08Z"},
                            {"version", version}}));
  ASSERT_EQ(set.status, 200) << set.body;
  const s3::S3ObjectInfo after = client().head(key("styled.txt"));
  EXPECT_EQ(after.etag, before.etag);
  ASSERT_TRUE(after.metadata);
  EXPECT_EQ(*after.metadata, (std::map<std::string, std::string>{
                                 {"color", "blue"}, {"mtime", "1049522828.000000000"}}));
  EXPECT_NE(std::find(after.contentHeaders.begin(), after.contentHeaders.end(),
                      "content-type: text/plain; charset=utf-8"),
            after.contentHeaders.end())
      << ::testing::PrintToString(after.contentHeaders);
  EXPECT_EQ(scope.fetch("styled.txt"), "styled");
}

TEST_F(BucketScopeTest, AnotherClientsChangeIsSeenWithinThePollInterval) {
  scope.list("");  // watched from now on
  std::string anchor = scope.latest();
  const auto start = Clock::now();
  client().putBytes(key("from-elsewhere.txt"), "hi");
  const auto seen = scope.changesUntil(
      anchor, [](const auto& all) { return has(all, "from-elsewhere.txt", false); },
      std::chrono::seconds(kPollSeconds + 1));
  EXPECT_TRUE(has(seen, "from-elsewhere.txt", false))
      << "not seen after "
      << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()
      << " ms";
}

// --- Watching a bucket: folders hosts look at, and the whole prefix ------------

// A note the engine keeps beside its change log ("bucket_scan.after", ...);
// nothing when there is none (yet).
std::optional<std::string> keptNote(const fs::path& database, const std::string& name) {
  sqlite3* db = nullptr;
  std::optional<std::string> value;
  if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 2000);
    sqlite3_stmt* query = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT value FROM meta WHERE key = ?", -1, &query, nullptr) ==
        SQLITE_OK) {
      const std::string key = "note:" + name;
      sqlite3_bind_text(query, 1, key.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(query) == SQLITE_ROW) {
        value = reinterpret_cast<const char*>(sqlite3_column_text(query, 0));
      }
    }
    sqlite3_finalize(query);
  }
  sqlite3_close(db);
  return value;
}

// Waits up to `patience` for `done`, checking every few milliseconds.
bool eventually(const std::function<bool()>& done,
                std::chrono::milliseconds patience = std::chrono::seconds(10)) {
  const auto deadline = Clock::now() + patience;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class BucketWatchTest : public ::testing::Test {
 protected:
  const s3::S3Client& client() {
    return static_cast<BucketBackend&>(*scope->backend).bucket().client();
  }
  std::string key(const std::string& path) { return std::string(kPrefix) + "/" + path; }
  fs::path database() { return scope->engine->applicationSupport() / "changes-docs.sqlite"; }
  // The engine stopped: its next start is its first on this bucket.
  void forgetTheBucket() {
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(database().string() + suffix);
  }

  std::unique_ptr<ScopeFixture> scope;
};

TEST_F(BucketWatchTest, AFolderIsPolledUntilNobodyLookedAtItForTheWatchTime) {
  scope = std::make_unique<ScopeFixture>(
      Kind::bucket, "", std::vector<std::string>{"--s3-watch=3", "--s3-full-scan=3600"});
  putMany(client(), {key("old/seed"), key("fresh/seed")});
  scope->list("old");
  // Past the watch time, "fresh" listed all along, "old" no more.
  const auto expired = Clock::now() + std::chrono::milliseconds(3500);
  while (Clock::now() < expired) {
    scope->list("fresh");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  std::string anchor = scope->latest();
  client().putBytes(key("old/a.txt"), "a");
  client().putBytes(key("fresh/b.txt"), "b");
  auto seen = scope->changesUntil(
      anchor, [](const auto& all) { return has(all, "fresh/b.txt", false); },
      std::chrono::seconds(kPollSeconds + 1));
  ASSERT_TRUE(has(seen, "fresh/b.txt", false)) << "a watched folder is polled";
  // Two more polls: the folder nobody looked at is not listed.
  const auto more = scope->changesUntil(
      anchor, [](const auto&) { return false; }, std::chrono::seconds(2 * kPollSeconds + 1));
  seen.insert(seen.end(), more.begin(), more.end());
  EXPECT_FALSE(has(seen, "old/a.txt", false)) << "an expired folder is still polled";

  EXPECT_EQ(scope->names("old"), (std::vector<std::string>{"a.txt", "seed"}))
      << "a listing is always fresh";
  seen = scope->changesUntil(
      anchor, [](const auto& all) { return has(all, "old/a.txt", false); },
      std::chrono::seconds(kPollSeconds + 1));
  EXPECT_TRUE(has(seen, "old/a.txt", false)) << "watched again once listed";
}

// One page of two keys at a time, spread over a few seconds; a kill part-way
// and a restart go on from the kept point and find every change once. Keys
// where a file and a folder share a name, or sort between a folder's name
// and its "/", fall on the pages' ends and must not flip between passes.
TEST_F(BucketWatchTest, TheComparisonOfEverythingGoesOnAfterAKill) {
  scope = std::make_unique<ScopeFixture>(
      Kind::bucket, "",
      std::vector<std::string>{"--s3-full-scan=3600", "--s3-full-scan-page=2"});
  std::vector<std::string> keys;
  for (int i = 0; i < 120; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "k/%03d", i);
    keys.push_back(key(name));
  }
  for (const char* odd : {"s", "s/in", "s!", "t", "t u", "t/x/y", "k/010/", "k/010 z"}) {
    keys.push_back(key(odd));
  }
  putMany(client(), keys);
  // A first start's comparison takes in what is there.
  scope->stop();
  forgetTheBucket();
  scope->startWith({});
  ASSERT_TRUE(eventually([&] { return keptNote(database(), "bucket_scan.pages").has_value(); }))
      << scope->engine->output();
  std::string anchor = scope->latest();
  scope->stop();

  client().remove(key("k/005"));
  client().putBytes(key("k/060"), "changed");
  client().putBytes(key("k/100x"), "new");
  client().remove(key("k/115"));

  // The next comparison is due after 6 s, taking about that long.
  scope->startWith({"--s3-full-scan=6"});
  ASSERT_TRUE(eventually(
      [&] {
        const auto after = keptNote(database(), "bucket_scan.after");
        return after && *after > "k/030";
      },
      std::chrono::seconds(15)));
  scope->engine->crash();
  const auto keptAfter = keptNote(database(), "bucket_scan.after");
  const auto started = keptNote(database(), "bucket_scan.started");
  ASSERT_TRUE(keptAfter && started);
  ASSERT_LT(*keptAfter, "k/060") << "killed too late to tell";

  scope->startWith({});
  std::optional<std::string> next;
  ASSERT_TRUE(eventually([&] {
    next = keptNote(database(), "bucket_scan.after");
    return next != keptAfter;
  }));
  EXPECT_EQ(keptNote(database(), "bucket_scan.started"), started) << "the same comparison";
  if (next) {
    EXPECT_GT(*next, *keptAfter) << "went on from the kept point";
  }

  // The rest of the pass, a page at a time, may take long on a loaded machine.
  const auto seen = scope->changesUntil(
      anchor,
      [](const auto& all) {
        return has(all, "k/060", false) && has(all, "k/100x", false) && has(all, "k/115", true);
      },
      std::chrono::seconds(60));
  std::multiset<std::pair<std::string, bool>> changes;
  for (const Change& c : seen) changes.insert({c.entry.path, c.deleted});
  EXPECT_EQ(changes, (std::multiset<std::pair<std::string, bool>>{
                         {"k/005", true}, {"k/060", false}, {"k/100x", false}, {"k/115", true}}));
}

// No listing of the whole prefix before serving: a first start on ten
// thousand objects answers while its first comparison, a key per page, has
// only begun.
TEST_F(BucketWatchTest, ABigBucketIsServedAtOnce) {
  scope = std::make_unique<ScopeFixture>(Kind::bucket, "",
                                         std::vector<std::string>{"--s3-full-scan-page=1"});
  scope->stop();
  std::vector<std::string> keys;
  for (int i = 0; i < 10'000; ++i) keys.push_back(key("many/" + std::to_string(i)));
  putMany(client(), keys);
  forgetTheBucket();
  scope->startWith({});
  EXPECT_EQ(scope->list("many").size(), 10'000u);
  EXPECT_TRUE(eventually([&] { return keptNote(database(), "bucket_scan.after").has_value(); }))
      << "no comparison under way";
  EXPECT_FALSE(keptNote(database(), "bucket_scan.pages")) << "listed everything first";
}

// The engine reaches the store through a proxy that holds its writes or
// loses their answers, so that another client's write lands at the moment a
// test chooses.
class RacedWriteTest : public ::testing::Test {
 protected:
  StoreProxy proxy{S3TestStore::config().endpoint};
  ScopeFixture scope{Kind::bucket, proxy.endpoint()};
  const s3::S3Client& client() {
    return static_cast<BucketBackend&>(*scope.backend).bucket().client();
  }
  std::string key(const std::string& path) { return std::string(kPrefix) + "/" + path; }
};

// Another client writes the key at the moment the engine's conditional write
// of it reaches the store (the engine's is held at the proxy and let go as
// the other is sent). One of the two wins; the store refuses the other (the
// RADOS Gateway with 500 UnknownError when the two cross inside it). The
// engine's answer says which: its bytes are there, or it is a conflict and
// the other's are there; never a failure of the store.
TEST_F(RacedWriteTest, AWriteThatLosesARaceIsAConflict) {
  // The other client learns how the store takes If-Match beforehand, so that
  // its write in the race is one request.
  s3::S3PutOptions learn;
  learn.ifMatch = client().putBytes(key("learn"), "x").etag;
  client().putBytes(key("learn"), "y", learn);
  for (const bool existing : {true, false}) {
    for (int trial = 0; trial < 6; ++trial) {
      SCOPED_TRACE(std::string(existing ? "a changed file" : "a new file") + ", trial " +
                   std::to_string(trial));
      const std::string path = "raced-" + std::to_string(existing) + std::to_string(trial) + ".txt";
      std::string base;
      if (existing) {
        // Twice: the first write over a version also learns how this store
        // takes If-Match, a second request that would be held instead.
        base = scope.upload(path, "base").version;
        base = scope.upload(path, "base, changed", base).version;
      }
      proxy.holdWrites(path);
      EngineReply mine;
      std::thread engineSide([&] { mine = scope.uploadReply(path, "mine", base); });
      const bool held = proxy.waitForHeld(std::chrono::seconds(20));
      s3::S3PutOptions condition;
      if (existing) {
        condition.ifMatch = base;
      } else {
        condition.ifNoneMatch = true;
      }
      std::string theirs = "no answer";
      std::thread otherSide([&] {
        try {
          client().putBytes(key(path), "theirs", condition);
          theirs = "200";
        } catch (const s3::S3Error& e) {
          theirs = std::to_string(e.httpStatus()) + " " + e.code();
        }
      });
      proxy.release();
      otherSide.join();
      engineSide.join();
      ASSERT_TRUE(held) << "the engine's write never came";
      const std::string now = scope.fetch(path);
      if (mine.status == 200) {
        EXPECT_EQ(now, "mine") << "the other client: " << theirs;
        EXPECT_NE(theirs, "200");
      } else {
        EXPECT_EQ(mine.status, 409) << mine.body;
        EXPECT_EQ(now, "theirs");
        EXPECT_EQ(theirs, "200");
      }
    }
  }
  EXPECT_EQ(scope.engine->output().find("store failed"), std::string::npos)
      << scope.engine->output();
}

// The engine's write lands but its answer is lost on the way back: the
// object there is the engine's own, so the write succeeded, and sending the
// same bytes again on the old base is no conflict either.
TEST_F(RacedWriteTest, AWriteWhoseAnswerWasLostIsTakenWhenItLanded) {
  for (const bool existing : {true, false}) {
    SCOPED_TRACE(existing ? "a changed file" : "a new file");
    const std::string path = std::string(existing ? "changed" : "new") + ".txt";
    std::string base;
    if (existing) {
      // Twice: the first write over a version also learns how this store
      // takes If-Match, a second request whose answer would be lost.
      base = scope.upload(path, "base").version;
      base = scope.upload(path, "base, changed", base).version;
    }
    proxy.loseAnswers(path);
    const int lostBefore = proxy.lostAnswers();
    const EngineReply reply = scope.uploadReply(path, "mine, landed", base);
    EXPECT_EQ(proxy.lostAnswers(), lostBefore + 1);
    ASSERT_EQ(reply.status, 200) << reply.body;
    const Entry landed = decode::entry(reply.body);
    EXPECT_EQ(landed.version, s3::bareEtag(client().head(key(path)).etag));
    EXPECT_EQ(scope.fetch(path), "mine, landed");
    const EngineReply again = scope.uploadReply(path, "mine, landed", base);
    ASSERT_EQ(again.status, 200) << again.body;
    EXPECT_EQ(decode::entry(again.body).version, landed.version);
  }
}

// --- Requests per operation, and writes that do not wait for each other ------

// A request target's percent-escapes undone.
std::string unescaped(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The engine behind a proxy that tells what the store was asked, with no
// poll for others' changes during the test.
class StoreRequestsTest : public ::testing::Test {
 protected:
  StoreProxy proxy{S3TestStore::config().endpoint};
  ScopeFixture scope{Kind::bucket, proxy.endpoint(), {"--s3-poll=3600"}};

  // What the store was asked since the last call: method and key (without
  // the scope's prefix), or "LIST" and the folder listed.
  std::vector<std::string> asked() {
    const std::string bucketPath =
        "/" + static_cast<BucketBackend&>(*scope.backend).bucket().name();
    std::vector<std::string> out;
    for (const std::string& line : proxy.takeRequests()) {
      const std::string method = line.substr(0, line.find(' '));
      std::string target = line.substr(line.find(' ') + 1);
      if (target.find("list-type=") != std::string::npos) {
        const std::size_t at = target.find("prefix=");
        const std::string prefix =
            at == std::string::npos
                ? ""
                : unescaped(target.substr(at + 7, target.find('&', at) - at - 7));
        out.push_back("LIST " + prefix.substr(std::min(prefix.size(), std::strlen(kPrefix) + 1)));
        continue;
      }
      target = target.substr(0, target.find('?'));
      const std::string scopePath = bucketPath + "/" + kPrefix + "/";
      if (target.starts_with(scopePath)) target = target.substr(scopePath.size());
      out.push_back(method + " " + unescaped(target));
    }
    return out;
  }
  int remove(const std::string& key) {
    return scope.post("delete", JsonObjectWriter().addStringArray("paths", {key}).str()).status;
  }
};

// A write relies on the store's conditions (found out at start), and what
// the engine listed or wrote answers what is at a path: an operation on a
// known item is its one request.
TEST_F(StoreRequestsTest, AnOperationOnAKnownItemIsOneRequest) {
  EXPECT_NE(scope.engine->output().find("If-None-Match honoured, If-Match honoured"),
            std::string::npos)
      << scope.engine->output();
  const std::string kept = scope.upload("sub/kept.txt", "kept").version;
  scope.upload("sub/gone.txt", "gone");
  // The engine's first write over a version also learns how the store takes
  // If-Match; the overwrite below is a later one.
  scope.upload("sub/kept.txt", "kept, again", kept);
  scope.list("");
  scope.list("sub");
  asked();
  std::string version;
  struct Step {
    const char* what;
    std::function<void()> run;
    std::vector<std::string> expected;
  };
  const Step steps[] = {
      {"create", [&] { version = scope.upload("sub/new.txt", "one").version; },
       {"PUT sub/new.txt"}},
      {"overwrite", [&] { version = scope.upload("sub/new.txt", "two", version).version; },
       {"PUT sub/new.txt"}},
      {"read", [&] { EXPECT_EQ(scope.fetch("sub/new.txt"), "two"); }, {"GET sub/new.txt"}},
      {"delete", [&] { EXPECT_EQ(remove("sub/gone.txt"), 200); }, {"DELETE sub/gone.txt"}},
      {"create in a folder never listed", [&] { scope.upload("fresh/one.txt", "1"); },
       {"LIST fresh/", "PUT fresh/one.txt"}},
      {"create beside it", [&] { scope.upload("fresh/two.txt", "2"); }, {"PUT fresh/two.txt"}},
      {"a stale overwrite", [&] {
         EXPECT_EQ(scope.uploadReply("sub/new.txt", "three", "0123").status, 409);
       }, {}},
  };
  for (const Step& step : steps) {
    step.run();
    EXPECT_EQ(asked(), step.expected) << step.what;
  }
  // What the engine reported is what the store holds.
  EXPECT_EQ(scope.names("sub"), (std::vector<std::string>{"kept.txt", "new.txt"}));
  EXPECT_EQ(scope.fetch("sub/new.txt"), "two");
}

// What is known is never taken over what the store refuses: another
// client's object where the engine knows of none makes the create a
// conflict, and a folder of the name decides before anything is written.
TEST_F(StoreRequestsTest, AnotherClientsObjectTheEngineDidNotKnowIsAConflict) {
  scope.list("");
  const auto& bucket = static_cast<BucketBackend&>(*scope.backend);
  bucket.bucket().client().putBytes(std::string(kPrefix) + "/theirs.txt", "theirs");
  const EngineReply reply = scope.uploadReply("theirs.txt", "mine", "");
  EXPECT_EQ(reply.status, 409) << reply.body;
  EXPECT_EQ(scope.fetch("theirs.txt"), "theirs");

  scope.upload("folder/inside.txt", "x");
  asked();
  EXPECT_EQ(scope.uploadReply("folder", "a file", "").status, 409);
  EXPECT_EQ(asked(), std::vector<std::string>{});
}

// A write held at the proxy on its way to the store keeps neither another
// key's upload nor a delete waiting: both answer while it is held. The
// change log tells them in the order they took effect.
TEST_F(StoreRequestsTest, WritesOfOtherKeysDoNotWaitForEachOther) {
  scope.upload("other.txt", "x");
  scope.list("");
  std::string anchor = scope.latest();
  proxy.holdWrites("slow.txt");
  EngineReply slow;
  std::thread held([&] { slow = scope.uploadReply("slow.txt", "slow", ""); });
  ASSERT_TRUE(proxy.waitForHeld(std::chrono::seconds(20)));
  // Another connection to the engine: one client sends one request at a time.
  const auto second = scope.engine->client();
  const std::string scopePath = "/v1/scopes/" + scope.backend->scopeId() + "/";
  const EngineReply quick = enginePost(
      *second, scopePath + "upload",
      body({{"path", "quick.txt"}, {"source", scope.source("quick")}, {"version", ""}}));
  const int removed =
      enginePost(*second, scopePath + "delete",
                 JsonObjectWriter().addStringArray("paths", {"other.txt"}).str())
          .status;
  proxy.release();
  held.join();
  EXPECT_EQ(quick.status, 200) << quick.body;
  EXPECT_EQ(removed, 200);
  EXPECT_EQ(slow.status, 200) << slow.body;
  std::vector<std::string> order;
  for (const Change& change : scope.changesUntil(anchor, [](const std::vector<Change>& all) {
         return has(all, "slow.txt", false);
       })) {
    order.push_back(change.entry.path + (change.deleted ? " deleted" : ""));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"quick.txt", "other.txt deleted", "slow.txt"}));
}

// --- Start-up and scope records --------------------------------------------------

class BucketStartTest : public ::testing::Test {
 protected:
  TestEnvironment env;
  TestBucket bucket;
  EngineProcess::Options options() {
    EngineProcess::Options o;
    o.binary = CORVANE_BIN_DIR "/corvane-engine";
    o.extraArguments = storeArguments();
    return o;
  }
};

TEST_F(BucketStartTest, ScopesAreNumberedPerConnectionAndDescribeTheirBucket) {
  fs::create_directories(env.root() / "one");
  fs::create_directories(env.root() / "two");
  bucket.client().setVersioning(true);
  EngineProcess::Options o = options();
  o.extraArguments.insert(o.extraArguments.begin(),
                          {"--scope=l1=" + (env.root() / "one").string(),
                           "--scope=b1=s3://" + bucket.name() + "//photos/2024/",
                           "--scope=l2=" + (env.root() / "two").string(),
                           "--scope=b2=s3://" + bucket.name(), "--read-only=b2"});
  EngineProcess engine(o);
  auto http = engine.client();
  const EngineReply reply = engineGet(*http, "/v1/scopes");
  ASSERT_EQ(reply.status, 200);
  const std::vector<Scope> scopes = decode::scopesAnswer(reply.body);
  std::vector<std::string> ids;
  for (const Scope& s : scopes) ids.push_back(s.id() + " " + s.name);
  EXPECT_EQ(ids, (std::vector<std::string>{"local-1 l1", "s3-1 b1", "local-2 l2", "s3-2 b2"}));
  ASSERT_EQ(scopes.size(), 4u);
  Scope expected;
  expected.connection = "s3";
  expected.scope = 1;
  expected.name = "b1";
  expected.bucket = bucket.name();
  expected.prefix = "photos/2024";
  expected.region = S3TestStore::config().region;
  expected.versioned = true;
  expected.write = true;
  expected.delete_ = true;
  EXPECT_EQ(scopes[1], expected);
  EXPECT_EQ(scopes[3].prefix, "");
  EXPECT_FALSE(scopes[3].write);
  EXPECT_FALSE(scopes[3].delete_);
  EXPECT_EQ(reply.body.find(S3TestStore::config().credentials.secretAccessKey), std::string::npos);
}

TEST_F(BucketStartTest, RefusesToStartWithOneClearLine) {
  const s3::S3Config& config = S3TestStore::config();
  // A running engine whose engine.json the refused ones must leave alone.
  fs::create_directories(env.root() / "one");
  EngineProcess::Options o = options();
  o.extraArguments = {"--scope=l=" + (env.root() / "one").string()};
  EngineProcess running(o);
  const std::string published = readFile(running.discoveryFile());
  struct Case {
    const char* what;
    std::string bucket;
    std::string secret;
    std::string endpoint;
    const char* expected;  // a word the line must hold
    std::vector<std::string> more = {};
  };
  // A port that nothing listens on.
  const std::string deadEndpoint = "http://127.0.0.1:1";
  const std::vector<Case> cases = {
      {"missing bucket", bucket.name() + "-none", config.credentials.secretAccessKey,
       config.endpoint, "does not exist"},
      {"wrong secret", bucket.name(), "wrong-secret-0123456789", config.endpoint, "refused"},
      {"no store", bucket.name(), config.credentials.secretAccessKey, deadEndpoint, "reach"},
      // The bucket named in the host: a name no resolver knows.
      {"virtual-hosted at an address", bucket.name(), config.credentials.secretAccessKey,
       config.endpoint, "reach", {"--s3-addressing=virtual"}},
  };
  for (const Case& c : cases) {
    ::setenv("AWS_ACCESS_KEY_ID", config.credentials.accessKeyId.c_str(), 1);
    ::setenv("AWS_SECRET_ACCESS_KEY", c.secret.c_str(), 1);
    std::vector<std::string> arguments = {"--scope=b=s3://" + c.bucket,
                                          "--s3-endpoint=" + c.endpoint,
                                          "--s3-region=" + config.region};
    arguments.insert(arguments.end(), c.more.begin(), c.more.end());
    const auto [code, output] = running.runToExit(arguments);
    EXPECT_EQ(code, 1) << c.what << ": " << output;
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << c.what << ": " << output;
    EXPECT_NE(output.find(c.expected), std::string::npos) << c.what << ": " << output;
    EXPECT_EQ(output.find(c.secret), std::string::npos) << c.what << ": the secret was shown";
    // Refused before the scope's change log or engine.json is touched.
    EXPECT_EQ(readFile(running.discoveryFile()), published) << c.what;
    EXPECT_FALSE(fs::exists(running.applicationSupport() / "changes-b.sqlite")) << c.what;
  }
}

// A store that takes connections and never answers: the start ends within
// seconds with the silence in the log, and a stop signal ends it at once.
TEST_F(BucketStartTest, AStoreThatNeverAnswersHoldsTheStartOnlyForSeconds) {
  fs::create_directories(env.root() / "one");
  EngineProcess::Options o = options();
  o.extraArguments = {"--scope=l=" + (env.root() / "one").string()};
  EngineProcess running(o);
  SilentPort silent;
  storeArguments();  // the credentials
  const std::vector<std::string> arguments = {"--scope=b=s3://" + bucket.name(),
                                              "--s3-endpoint=" + silent.endpoint(),
                                              "--s3-region=" + S3TestStore::config().region};
  const auto [code, output] = running.runToExit(arguments, std::chrono::seconds(40));
  EXPECT_EQ(code, 1) << output;
  EXPECT_NE(output.find("the store at " + silent.endpoint() + " is not answering"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("cannot reach the S3 endpoint " + silent.endpoint()), std::string::npos)
      << output;

  const auto [stopped, said] =
      running.terminatedAfter(arguments, std::chrono::milliseconds(1500), std::chrono::seconds(5));
  EXPECT_EQ(stopped, 0) << said;
  EXPECT_NE(said.find("stopped before serving"), std::string::npos) << said;
}

// What a tool prints, and its exit status.
std::pair<int, std::string> runCommand(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return {-1, ""};
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  return {::pclose(pipe), output};
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::seconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// A store that stops answering while the engine serves it (a relay in
// between that passes nothing on): the engine says so in its log and in
// engine-status.json, the mount's status shows it for the domain, and the
// return is told when the store answers again.
TEST(BucketStallTest, AStoreThatStopsAnsweringIsToldUntilItAnswersAgain) {
  TestEnvironment env;
  TestBucket bucket;
  const s3::S3Config& config = S3TestStore::config();
  TcpRelay relay(std::stoi(config.endpoint.substr(config.endpoint.rfind(':') + 1)));
  const std::string endpoint = "http://127.0.0.1:" + std::to_string(relay.port());
  EngineProcess::Options o;
  o.binary = CORVANE_BIN_DIR "/corvane-engine";
  o.extraArguments = storeArguments();
  o.extraArguments[0] = "--s3-endpoint=" + endpoint;
  o.extraArguments.push_back("--scope=b=s3://" + bucket.name());
  EngineProcess engine(o);
  const fs::path statusFile = stores::storeStatusPath(engine.applicationSupport());
  auto answering = [&](bool wanted) {
    const auto status = stores::readStoreStatus(statusFile);
    return status && status->scopes.size() == 1 && status->scopes[0].scopeId == "s3-1" &&
           status->scopes[0].answering == wanted;
  };

  relay.pause(true);
  EngineReply listed;
  std::thread lister([&] {
    auto http = engine.client();
    listed = engineGet(*http, "/v1/scopes/s3-1/list?dir=");
  });
  const bool told = waitUntil([&] { return answering(false); }, std::chrono::seconds(30));
  std::pair<int, std::string> text;
  std::pair<int, std::string> json;
  if (told) {
    const std::string mount = std::string(CORVANE_BIN_DIR) + "/corvane-mount --status --domain s3-1";
    text = runCommand(mount);
    json = runCommand(mount + " --json");
  }
  relay.pause(false);
  lister.join();
  ASSERT_TRUE(told) << engine.output();
  EXPECT_EQ(text.first, 0) << text.second;
  EXPECT_NE(text.second.find("  store: not answering for "), std::string::npos) << text.second;
  EXPECT_NE(text.second.find(endpoint), std::string::npos) << text.second;
  EXPECT_NE(json.second.find("\"answering\":false,\"notAnsweringSeconds\":"), std::string::npos)
      << json.second;

  EXPECT_EQ(listed.status, 200) << listed.body;
  EXPECT_TRUE(waitUntil([&] { return answering(true); }, std::chrono::seconds(10)));
  const std::string output = engine.output();
  EXPECT_NE(output.find("the store at " + endpoint + " is not answering ("), std::string::npos)
      << output;
  EXPECT_NE(output.find("the store at " + endpoint + " answers again after "), std::string::npos)
      << output;
  EXPECT_EQ(engine.stop(), 0);
  EXPECT_FALSE(fs::exists(statusFile));
}

// --- Scopes of several accounts ----------------------------------------------

// Lets anyone read the bucket and list it (a canned ACL).
void makePublic(const s3::S3Config& owner, const std::string& bucket) {
  const s3::S3Connection connection(owner);
  s3::S3Request request;
  request.method = "PUT";
  request.bucket = bucket;
  request.query = {{"acl", ""}};
  request.headers = {"x-amz-acl: public-read"};
  request.operation = "PUT acl of " + bucket;
  connection.send(request);
}

TEST_F(BucketStartTest, OneEngineServesBucketsOfTwoAccountsARoleAndAPublicBucket) {
  const s3::S3Config& mine = S3TestStore::config();
  const s3::S3Config other = S3TestStore::otherUserConfig();
  const std::string stsEndpoint = S3TestStore::setting("S3_STORE_STS_ENDPOINT");
  ASSERT_FALSE(stsEndpoint.empty());
  TestBucket theirs(other);
  theirs.client().putBytes("shared.txt", "from the other account");
  makePublic(other, theirs.name());
  bucket.client().putBytes("mine.txt", "mine");

  // The accounts' keys only in profiles: nothing in the environment would
  // do for both, and no metadata service is asked.
  const fs::path credentials = env.root() / "aws" / "credentials";
  const fs::path profiles = env.root() / "aws" / "config";
  writeFile(credentials, "[me]\naws_access_key_id = " + mine.credentials.accessKeyId +
                             "\naws_secret_access_key = " + mine.credentials.secretAccessKey +
                             "\n[them]\naws_access_key_id = " + other.credentials.accessKeyId +
                             "\naws_secret_access_key = " + other.credentials.secretAccessKey +
                             "\n");
  writeFile(profiles, "[profile role]\nrole_arn = " + S3TestStore::setting("S3_STORE_ROLE_ARN") +
                          "\nsource_profile = me\nrole_session_name = engine-test\n");
  ::setenv("AWS_SHARED_CREDENTIALS_FILE", credentials.c_str(), 1);
  ::setenv("AWS_CONFIG_FILE", profiles.c_str(), 1);
  ::setenv("AWS_EC2_METADATA_DISABLED", "true", 1);
  for (const char* name : {"AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_PROFILE"}) {
    ::unsetenv(name);
  }
  writeFile(env.configHome() / "CorvaneSync" / "engine.conf",
            "s3-endpoint = " + mine.endpoint +
                "\ns3-poll = 1\n"
                "[scope.mine]\nurl = s3://" +
                bucket.name() +
                "\nprofile = me\n"
                "[scope.theirs]\nurl = s3://" +
                theirs.name() +
                "\nprofile = them\n"
                "[scope.public]\nurl = s3://" +
                theirs.name() +
                "\nanonymous = true\n"
                "[scope.role]\nurl = s3://" +
                bucket.name() + "\nprofile = role\nendpoint = " + stsEndpoint + "\n");
  EngineProcess::Options o;
  o.binary = CORVANE_BIN_DIR "/corvane-engine";
  o.extraArguments = {"--log-level=debug"};
  EngineProcess engine(o);
  auto http = engine.client();

  const EngineReply scopes = engineGet(*http, "/v1/scopes");
  ASSERT_EQ(scopes.status, 200) << scopes.body;
  std::map<std::string, Scope> byName;
  for (const Scope& s : decode::scopesAnswer(scopes.body)) byName[s.name] = s;
  ASSERT_EQ(byName.size(), 4u) << scopes.body;
  EXPECT_FALSE(byName["public"].write);
  EXPECT_TRUE(byName["role"].write);

  auto names = [&](const std::string& scope) {
    const EngineReply reply = engineGet(*http, "/v1/scopes/" + byName[scope].id() + "/list?dir=");
    std::vector<std::string> out;
    if (reply.status != 200)
      return std::vector<std::string>{"status " + std::to_string(reply.status)};
    for (const Entry& e : decode::entriesAnswer(reply.body)) out.push_back(e.name);
    return out;
  };
  EXPECT_EQ(names("mine"), std::vector<std::string>{"mine.txt"});
  EXPECT_EQ(names("theirs"), std::vector<std::string>{"shared.txt"});
  EXPECT_EQ(names("public"), std::vector<std::string>{"shared.txt"});
  EXPECT_EQ(names("role"), std::vector<std::string>{"mine.txt"});

  // The role's temporary credentials write as well.
  const fs::path source = env.root() / "by-role.txt";
  writeFile(source, "written with the role");
  const EngineReply uploaded =
      enginePost(*http, "/v1/scopes/" + byName["role"].id() + "/upload",
                 body({{"path", "by-role.txt"}, {"source", source.string()}, {"version", ""}}));
  EXPECT_EQ(uploaded.status, 200) << uploaded.body;
  EXPECT_EQ(bucket.client().head("by-role.txt").size, 21u);
  const std::string output = engine.output();
  EXPECT_NE(output.find("the role " + S3TestStore::setting("S3_STORE_ROLE_ARN")), std::string::npos)
      << output;
  EXPECT_EQ(output.find(other.credentials.secretAccessKey), std::string::npos);
}

}  // namespace
}  // namespace corvane::testing
