// The reference engine over HTTP: every endpoint with its answers and
// refusals, the token check, path refusal and the engine.json life cycle.
// Each test runs the real corvane-engine on folders of its own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <simdjson.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <regex>
#include <set>
#include <thread>

#include "engine/decoding.h"
#include "engine/json_text.h"
#include "engine/query.h"
#include "host/item_names.h"
#include "support/engine_process.h"
#include "support/files.h"
#include "support/test_env.h"

namespace corvane::testing {
namespace {

namespace fs = std::filesystem;

// Every name directly in `folder`, sorted.
std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The "message" of an error body; fails the test when the body is not
// {"message": non-empty string}.
std::string messageOf(const EngineReply& reply) {
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  std::string_view message;
  EXPECT_EQ(parser.parse(reply.body).get(root), simdjson::SUCCESS) << reply.body;
  EXPECT_EQ(root["message"].get_string().get(message), simdjson::SUCCESS) << reply.body;
  EXPECT_FALSE(message.empty());
  return std::string(message);
}

std::string body(std::initializer_list<std::pair<const char*, std::string>> fields) {
  JsonObjectWriter writer;
  for (const auto& [key, value] : fields) writer.addString(key, value);
  return std::move(writer).str();
}

std::string enginePath() { return CORVANE_BIN_DIR "/corvane-engine"; }

class EngineHttpTest : public ::testing::Test {
 protected:
  EngineHttpTest() {
    fs::create_directories(folder);
    fs::create_directories(outside);
  }

  void SetUp() override { launch({}); }

  void launch(std::vector<std::string> readOnly) {
    EngineProcess::Options options;
    options.binary = enginePath();
    options.scopes = {{"docs", folder}};
    options.readOnly = std::move(readOnly);
    engine = std::make_unique<EngineProcess>(options);
    http = engine->client();
  }

  EngineReply get(const std::string& operation, const std::string& query) {
    return engineGet(*http, "/v1/scopes/local-1/" + operation + "?" + query);
  }
  EngineReply post(const std::string& operation, const std::string& json) {
    return enginePost(*http, "/v1/scopes/local-1/" + operation, json);
  }
  std::vector<Entry> list(const std::string& dir) {
    const EngineReply reply = get("list", "dir=" + query::encode(dir));
    EXPECT_EQ(reply.status, 200) << reply.body;
    return reply.status == 200 ? decode::entriesAnswer(reply.body) : std::vector<Entry>{};
  }
  Entry upload(const std::string& path, const std::string& contents, const std::string& version) {
    const fs::path source = outside / ("source-" + std::to_string(counter++));
    writeFile(source, contents);
    const EngineReply reply =
        post("upload", body({{"path", path}, {"source", source}, {"version", version}}));
    EXPECT_EQ(reply.status, 200) << reply.body;
    return reply.status == 200 ? decode::entry(reply.body) : Entry{};
  }
  const Entry* find(const std::vector<Entry>& entries, const std::string& name) {
    for (const Entry& e : entries) {
      if (e.name == name) return &e;
    }
    return nullptr;
  }

  TestEnvironment env;
  fs::path folder = env.root() / "scope";
  fs::path outside = env.root() / "outside";
  std::unique_ptr<EngineProcess> engine;
  std::unique_ptr<httplib::Client> http;
  int counter = 0;
};

// --- engine.json and start-up ---------------------------------------------

TEST_F(EngineHttpTest, PublishesAPrivateDiscoveryFileWithAFreshToken) {
  const fs::path file = engine->discoveryFile();
  EXPECT_EQ(file, env.applicationSupport() / "engine.json");
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(std::regex_match(engine->token(), std::regex("[0-9a-f]{64}"))) << engine->token();
  EXPECT_GT(engine->port(), 0);
  EXPECT_EQ(engineGet(*http, "/v1/scopes").status, 200);

  const std::string firstToken = engine->token();
  http.reset();
  const int status = engine->stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(fs::exists(file)) << "engine.json must go with a clean shutdown";
  for (const std::string& name : namesIn(env.applicationSupport())) {
    EXPECT_EQ(name.find("engine.json"), std::string::npos) << "left behind: " << name;
  }

  engine->start();
  EXPECT_NE(engine->token(), firstToken);
}

TEST_F(EngineHttpTest, SecondEngineRefusesToStartAndLeavesTheFirstAlone) {
  const std::string before = readFile(engine->discoveryFile());
  const auto [code, output] = engine->runToExit({"--scope=other=" + outside.string()});
  EXPECT_EQ(code, 1) << output;
  EXPECT_NE(output.find("already running"), std::string::npos) << output;
  EXPECT_EQ(readFile(engine->discoveryFile()), before);
  EXPECT_EQ(engineGet(*http, "/v1/scopes").status, 200);
}

TEST_F(EngineHttpTest, StartsAfterACrashLeftAStaleDiscoveryFile) {
  const std::string oldToken = engine->token();
  engine->crash();
  ASSERT_TRUE(fs::exists(engine->discoveryFile()));
  engine->start();
  EXPECT_NE(engine->token(), oldToken);
  http = engine->client();
  EXPECT_EQ(engineGet(*http, "/v1/scopes").status, 200);
}

TEST_F(EngineHttpTest, KeepsTheApplicationSupportFolderPrivate) {
  // As earlier versions left it: open to everyone for reading.
  http.reset();
  engine->stop();
  fs::permissions(env.applicationSupport(), fs::perms(0755));
  engine->start();
  struct stat st {};
  ASSERT_EQ(::stat(env.applicationSupport().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_F(EngineHttpTest, RefusesBadCommandLinesBeforeWritingAnything) {
  engine->stop();
  writeFile(outside / "plain-file", "x");
  // Refusals leave no trace, not even the Application Support folder.
  fs::remove_all(env.applicationSupport());
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{"--scope=docs"}, "NAME=DIR"},
      {{"--scope=docs=" + (env.root() / "missing").string()}, "does not exist"},
      {{"--scope=docs=" + (outside / "plain-file").string()}, "is not a folder"},
      {{"--scope=a=" + folder.string(), "--scope=a=" + outside.string()}, "given twice"},
      {{"--scope=a=" + folder.string(), "--read-only=b"}, "no scope of that name"},
      {{"--read-only=b"}, "no scope of that name"},  // the embedded default is not made
      {{"--scope=b=s3://"}, "name a bucket"},
      {{"--scope=b=s3:///photos"}, "name a bucket"},
      {{"--scope=b=s3://bucket", "--s3-poll=0"}, "s3-poll"},
  };
  for (const Case& c : cases) {
    const auto [code, output] = engine->runToExit(c.args);
    EXPECT_NE(code, 0) << c.args[0] << "\n" << output;
    EXPECT_NE(output.find(c.says), std::string::npos) << output;
    EXPECT_FALSE(fs::exists(env.applicationSupport())) << c.args[0] << "\n" << output;
  }
}

TEST(EngineDefaultScopeTest, ServesTheEmbeddedDefaultWithoutArguments) {
  TestEnvironment env;
  EngineProcess::Options options;
  options.binary = enginePath();
  EngineProcess engine(options);
  auto http = engine.client();

  const EngineReply scopes = engineGet(*http, "/v1/scopes");
  ASSERT_EQ(scopes.status, 200) << scopes.body;
  const std::vector<Scope> records = decode::scopesAnswer(scopes.body);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].id(), "local-1");
  EXPECT_EQ(records[0].name, "default");
  EXPECT_EQ(records[0].bucket, "default");

  const fs::path folder = env.applicationSupport() / "buckets" / "default";
  EXPECT_TRUE(fs::is_regular_file(folder / "README.txt"));
  const EngineReply listing = engineGet(*http, "/v1/scopes/local-1/list?dir=");
  ASSERT_EQ(listing.status, 200);
  const auto entries = decode::entriesAnswer(listing.body);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].path, "README.txt");
}

// --- token and requests that do not fit -------------------------------------

TEST_F(EngineHttpTest, RefusesRequestsWithoutTheRightToken) {
  const std::vector<httplib::Headers> refused = {
      {},
      {{"Authorization", "Bearer"}},
      {{"Authorization", "Bearer "}},
      {{"Authorization", "Bearer wrong"}},
      {{"Authorization", "bearer " + engine->token()}},
      {{"Authorization", "Bearer " + engine->token() + "0"}},
      {{"Authorization", "Bearer " + engine->token().substr(1)}},
      {{"Authorization", engine->token()}},
  };
  httplib::Client bare("127.0.0.1", engine->port());
  for (const auto& headers : refused) {
    for (const std::string target : {"/v1/scopes", "/v1/scopes/local-1/list?dir="}) {
      auto result = bare.Get(target.c_str(), headers);
      ASSERT_TRUE(result);
      EXPECT_EQ(result->status, 401) << (headers.empty() ? "(none)" : headers.begin()->second);
      messageOf({result->status, result->body});
    }
  }
  auto post = bare.Post("/v1/scopes/local-1/mkdir", body({{"path", "x"}}), "application/json");
  ASSERT_TRUE(post);
  EXPECT_EQ(post->status, 401);
  EXPECT_FALSE(fs::exists(folder / "x"));
  EXPECT_EQ(engineGet(*http, "/v1/scopes").status, 200);
}

TEST_F(EngineHttpTest, AnswersRequestsThatDoNotFitWithClientErrors) {
  struct Case {
    std::string method, target, json;
    int status;
  };
  const std::vector<Case> cases = {
      {"POST", "/v1/scopes/local-1/mkdir", "not json", 400},
      {"POST", "/v1/scopes/local-1/mkdir", "[\"path\"]", 400},
      {"POST", "/v1/scopes/local-1/mkdir", "{}", 400},
      {"POST", "/v1/scopes/local-1/mkdir", R"({"path": 5})", 400},
      {"POST", "/v1/scopes/local-1/mkdir", R"({"path": null})", 400},
      {"POST", "/v1/scopes/local-1/delete", R"({"paths": "a"})", 400},
      {"POST", "/v1/scopes/local-1/delete", R"({"paths": ["a", 1]})", 400},
      {"POST", "/v1/scopes/local-1/upload", R"({"path": "a", "source": "/etc/hostname"})", 400},
      {"POST", "/v1/scopes/local-1/rename", R"({"path": "a"})", 400},
      {"POST", "/v1/scopes/local-1/move", R"({"path": "a", "dir": true})", 400},
      {"POST", "/v1/scopes/local-1/fetch", R"({"path": "a"})", 400},
      {"GET", "/v1/scopes/local-1/list", "", 400},
      {"GET", "/v1/scopes/local-1/changes?refresh=0", "", 400},
      {"GET", "/v1/scopes/local-1/list?dir=%zz", "", 400},
      {"GET", "/v1/scopes/local-9/list?dir=", "", 404},
      {"POST", "/v1/scopes/local-9/mkdir", R"({"path": "a"})", 404},
      {"GET", "/v1/scopes/local-1/nothing", "", 404},
      {"GET", "/v2/other", "", 404},
      {"GET", "/v1/scopes/local-1/mkdir", "", 405},
      {"POST", "/v1/scopes/local-1/list", "{}", 405},
  };
  for (const Case& c : cases) {
    const EngineReply reply =
        c.method == "GET" ? engineGet(*http, c.target) : enginePost(*http, c.target, c.json);
    EXPECT_EQ(reply.status, c.status) << c.method << " " << c.target << " " << c.json;
    messageOf(reply);
  }
  EXPECT_TRUE(namesIn(folder).empty()) << "a refused request changed the folder";
  EXPECT_EQ(engineGet(*http, "/v1/scopes").status, 200) << "the engine must keep serving";
}

TEST_F(EngineHttpTest, EveryErrorAnswerHasAMessageAndOtherMethodsNeedTheToken) {
  httplib::Client bare("127.0.0.1", engine->port());
  for (const std::string target : {"/v1/scopes", "/v1/scopes/local-1/mkdir", "/elsewhere"}) {
    SCOPED_TRACE(target);
    auto put = http->Put(target.c_str(), R"({"path":"x"})", "application/json");
    ASSERT_TRUE(put);
    EXPECT_EQ(put->status, target == "/elsewhere" ? 404 : 405);
    messageOf({put->status, put->body});
    auto removal = http->Delete(target.c_str());
    ASSERT_TRUE(removal);
    EXPECT_EQ(removal->status, target == "/elsewhere" ? 404 : 405);
    messageOf({removal->status, removal->body});
    auto unauthorised = bare.Delete(target.c_str());
    ASSERT_TRUE(unauthorised);
    EXPECT_EQ(unauthorised->status, 401);
  }
  // Refused by the HTTP layer before any handler runs.
  auto longTarget = http->Get(("/v1/scopes/local-1/list?dir=" + std::string(20'000, 'a')).c_str());
  ASSERT_TRUE(longTarget);
  EXPECT_GE(longTarget->status, 400);
  messageOf({longTarget->status, longTarget->body});
  EXPECT_TRUE(namesIn(folder).empty());
}

TEST_F(EngineHttpTest, RefusesBadPathsBeforeTouchingTheDisk) {
  writeFile(folder / "a" / "f.txt", "x");
  writeFile(outside / "src", "data");
  const std::vector<std::string> badPaths = {
      "/a", "a//b", "a/", "./a", "a/.", "a/../b", "..", "a/..", "a\\b", std::string("a\0b", 3),
      "\\", "//",
  };
  for (const std::string& bad : badPaths) {
    SCOPED_TRACE(::testing::PrintToString(bad));
    EXPECT_EQ(post("mkdir", body({{"path", bad}})).status, 400);
    EXPECT_EQ(post("upload",
                   body({{"path", bad}, {"source", (outside / "src").string()}, {"version", ""}}))
                  .status,
              400);
    EXPECT_EQ(
        post("conflict-copy", body({{"path", bad}, {"source", (outside / "src").string()}})).status,
        400);
    EXPECT_EQ(post("fetch", body({{"path", bad}, {"dest", (outside / "dest").string()}})).status,
              400);
    EXPECT_EQ(post("move", body({{"path", "a/f.txt"}, {"dir", bad}})).status, 400);
    EXPECT_EQ(get("list", "dir=" + query::encode(bad)).status, 400);
    if (bad != "a/") {  // as a key, "a/" names the folder a
      EXPECT_EQ(post("delete", JsonObjectWriter().addStringArray("paths", {bad}).str()).status,
                400);
      EXPECT_EQ(post("rename", body({{"path", bad}, {"name", "n"}})).status, 400);
    }
  }
  for (const std::string& name :
       {std::string(), std::string("."), std::string(".."), std::string("x/y"), std::string("x\\y"),
        std::string("x\0y", 3)}) {
    EXPECT_EQ(post("rename", body({{"path", "a/f.txt"}, {"name", name}})).status, 400)
        << ::testing::PrintToString(name);
  }
  for (const std::string& local :
       {std::string("relative/dest"), std::string(""), std::string("/tmp/a\0b", 8)}) {
    EXPECT_EQ(post("fetch", body({{"path", "a/f.txt"}, {"dest", local}})).status, 400);
    EXPECT_EQ(post("upload", body({{"path", "n.txt"}, {"source", local}, {"version", ""}})).status,
              400);
  }
  EXPECT_EQ(namesIn(folder), std::vector<std::string>{"a"});
  EXPECT_EQ(namesIn(folder / "a"), std::vector<std::string>{"f.txt"});
  EXPECT_FALSE(fs::exists(outside / "dest"));

  // A NUL is shown, and the sentence goes on after it.
  const std::string message = messageOf(post("mkdir", body({{"path", std::string("a\0b", 3)}})));
  EXPECT_NE(message.find("\"a\\x00b\" holds a NUL character"), std::string::npos) << message;
}

// --- scopes and list ------------------------------------------------------------

TEST_F(EngineHttpTest, ListsScopesInOrderWithTheirPermissions) {
  engine.reset();
  EngineProcess::Options options;
  options.binary = enginePath();
  options.scopes = {{"docs", folder}, {"archive", outside}};
  options.readOnly = {"archive"};
  EngineProcess two(options);
  auto client = two.client();
  const EngineReply reply = engineGet(*client, "/v1/scopes");
  ASSERT_EQ(reply.status, 200);
  const std::vector<Scope> scopes = decode::scopesAnswer(reply.body);
  ASSERT_EQ(scopes.size(), 2u);
  EXPECT_EQ(scopes[0], (Scope{"local", 1, "docs", "scope", "", "local", false, true, true}));
  EXPECT_EQ(scopes[1], (Scope{"local", 2, "archive", "outside", "", "local", false, false, false}));
}

TEST_F(EngineHttpTest, ListsDirectChildrenInByteOrder) {
  for (const char* name : {"b.txt", "B.txt", "a b&c=d+e#%.txt", "\xc3\xa9t\xc3\xa9.txt", "_x"}) {
    writeFile(folder / name, name);
  }
  writeFile(folder / "sub" / "inner" / "deep.txt", "deep");
  fs::create_symlink("/etc", folder / "link");  // not an item: never listed
  const auto entries = list("");
  std::vector<std::string> names;
  for (const Entry& e : entries) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"B.txt", "_x", "a b&c=d+e#%.txt", "b.txt", "sub",
                                             "\xc3\xa9t\xc3\xa9.txt"}));
  for (const Entry& e : entries) {
    EXPECT_EQ(e.path, e.name);
    EXPECT_FALSE(e.version.empty());
  }
  const Entry* sub = find(entries, "sub");
  ASSERT_NE(sub, nullptr);
  EXPECT_TRUE(sub->dir);
  const Entry* file = find(entries, "b.txt");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->size, 5);
  EXPECT_FALSE(file->dir);
  const auto mtime = fs::last_write_time(folder / "b.txt");
  // The client's decoder keeps whole seconds.
  EXPECT_EQ(file->mod_time,
            std::chrono::floor<std::chrono::seconds>(std::chrono::file_clock::to_sys(mtime)));

  const auto inner = list("sub/inner");
  ASSERT_EQ(inner.size(), 1u);
  EXPECT_EQ(inner[0].path, "sub/inner/deep.txt");
  EXPECT_EQ(inner[0].name, "deep.txt");

  // A name with every awkward query character survives the query.
  writeFile(folder / "q&a=1+2 #%" / "f", "");
  const auto awkward = list("q&a=1+2 #%");
  ASSERT_EQ(awkward.size(), 1u);
  EXPECT_EQ(awkward[0].path, "q&a=1+2 #%/f");

  EXPECT_EQ(get("list", "dir=missing").status, 404);
  EXPECT_EQ(get("list", "dir=b.txt").status, 404);
  EXPECT_EQ(get("list", "dir=link").status, 404);
}

TEST_F(EngineHttpTest, ModTimeCarriesNanosecondsInUtc) {
  writeFile(folder / "f", "x");
  const EngineReply reply = get("list", "dir=");
  ASSERT_EQ(reply.status, 200);
  EXPECT_TRUE(std::regex_search(
      reply.body, std::regex(R"("mod_time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{9}Z")")))
      << reply.body;
}

// --- upload, conflict copy, fetch ----------------------------------------------

TEST_F(EngineHttpTest, UploadsANewFileCreatingItsFolders) {
  writeFile(outside / "keep.txt", "contents");
  const EngineReply reply = post(
      "upload",
      body({{"path", "a/b/c.txt"}, {"source", (outside / "keep.txt").string()}, {"version", ""}}));
  ASSERT_EQ(reply.status, 200) << reply.body;
  const Entry entry = decode::entry(reply.body);
  EXPECT_EQ(entry.path, "a/b/c.txt");
  EXPECT_EQ(entry.name, "c.txt");
  EXPECT_EQ(entry.size, 8);
  EXPECT_FALSE(entry.version.empty());
  EXPECT_EQ(readFile(folder / "a/b/c.txt"), "contents");
  EXPECT_EQ(readFile(outside / "keep.txt"), "contents") << "the source must stay as it was";
  EXPECT_EQ(list("a/b").at(0), entry);
  EXPECT_EQ(namesIn(folder), std::vector<std::string>{"a"}) << "no work file may stay behind";
}

TEST_F(EngineHttpTest, UploadReplacesOnlyTheVersionItWasBasedOn) {
  const Entry first = upload("f.txt", "one", "");
  const Entry second = upload("f.txt", "two!", first.version);
  EXPECT_NE(second.version, first.version);
  EXPECT_EQ(readFile(folder / "f.txt"), "two!");

  writeFile(outside / "three", "three");
  const std::string source = (outside / "three").string();
  writeFile(folder / "dir" / "x", "");
  writeFile(folder / "plain", "");
  struct Case {
    std::string path, version;
  };
  const std::vector<Case> conflicts = {
      {"f.txt", ""},                 // a file exists
      {"f.txt", first.version},      // no longer at that version
      {"f.txt", "made-up"},          //
      {"dir", ""},                   // a folder is there
      {"dir", "dir"},                //
      {"gone.txt", second.version},  // nothing there any more
      {"plain/child.txt", ""},       // a file in the way of a folder
  };
  for (const Case& c : conflicts) {
    const EngineReply reply =
        post("upload", body({{"path", c.path}, {"source", source}, {"version", c.version}}));
    EXPECT_EQ(reply.status, 409) << c.path << " @ " << c.version;
    messageOf(reply);
  }
  EXPECT_EQ(readFile(folder / "f.txt"), "two!");
  EXPECT_FALSE(fs::exists(folder / "gone.txt"));
  EXPECT_TRUE(fs::is_regular_file(folder / "plain"));
  EXPECT_EQ(namesIn(folder), (std::vector<std::string>{"dir", "f.txt", "plain"}));
}

TEST_F(EngineHttpTest, SendingTheSameBytesAgainIsNoConflict) {
  std::string contents(300 * 1024, 'c');  // more than one block of the comparison
  for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i % 253);
  const Entry sent = upload("f.txt", contents, "");
  const fs::path again = outside / "again";
  writeFile(again, contents);
  // A stale base (a client that lost the answer) or none at all (a creation
  // sent twice): the file already holds these bytes, so that is the answer.
  for (const std::string& base : {std::string("stale"), std::string()}) {
    SCOPED_TRACE(base);
    const EngineReply reply =
        post("upload", body({{"path", "f.txt"}, {"source", again}, {"version", base}}));
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(decode::entry(reply.body), sent);
  }
  EXPECT_EQ(list("").at(0), sent) << "the file was left as it was";

  // Other bytes on a stale base are still a conflict, however alike.
  std::string lastByteOff = contents;
  lastByteOff.back() ^= 1;
  for (const std::string& other : {lastByteOff, contents + "x", std::string("short")}) {
    writeFile(again, other);
    EXPECT_EQ(
        post("upload", body({{"path", "f.txt"}, {"source", again}, {"version", "stale"}})).status,
        409)
        << other.size();
  }
  EXPECT_EQ(namesIn(folder), std::vector<std::string>{"f.txt"});
  EXPECT_TRUE(readFile(folder / "f.txt") == contents);
}

TEST_F(EngineHttpTest, VersionFollowsContentsButNotRenames) {
  const Entry uploaded = upload("f.txt", "same", "");
  EXPECT_EQ(list("").at(0).version, uploaded.version) << "stable while nothing changes";

  ASSERT_EQ(post("rename", body({{"path", "f.txt"}, {"name", "g.txt"}})).status, 200);
  EXPECT_EQ(list("").at(0).version, uploaded.version) << "a rename keeps the version";

  // Another program rewrites the file in place with contents of the same size.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  writeFile(folder / "g.txt", "SAME");
  EXPECT_NE(list("").at(0).version, uploaded.version);
}

TEST_F(EngineHttpTest, RefusesUploadSourcesThatAreNotFiles) {
  for (const fs::path& source : {outside / "missing", outside}) {
    const EngineReply reply =
        post("upload", body({{"path", "n.txt"}, {"source", source}, {"version", ""}}));
    EXPECT_EQ(reply.status, 400) << source;
    messageOf(reply);
    EXPECT_EQ(post("conflict-copy", body({{"path", "n.txt"}, {"source", source}})).status, 400);
  }
  EXPECT_TRUE(namesIn(folder).empty());
}

TEST_F(EngineHttpTest, ConflictCopiesNeverOverwrite) {
  upload("docs/report.txt", "original", "");
  writeFile(outside / "mine", "mine");
  // Occupy the plain conflict names for the seconds around now, so the copy
  // must add a counter. (The engine runs on this machine, under its name.)
  const auto now = std::chrono::system_clock::now();
  for (int s = -1; s <= 3; ++s) {
    writeFile(folder / "docs" / host::conflictName("report.txt", now + std::chrono::seconds(s)),
              "taken");
  }
  const EngineReply reply =
      post("conflict-copy", body({{"path", "docs/report.txt"}, {"source", outside / "mine"}}));
  ASSERT_EQ(reply.status, 200) << reply.body;
  const Entry copy = decode::entry(reply.body);
  const std::string machine = host::machineName().empty() ? "" : host::machineName() + " ";
  EXPECT_TRUE(std::regex_match(
      copy.name, std::regex(R"(report \(conflict )" + machine + R"(\d{4}-\d\d-\d\d \d{6} 2\)\.txt)")))
      << copy.name;
  EXPECT_EQ(copy.path, "docs/" + copy.name);
  EXPECT_EQ(readFile(folder / copy.path), "mine");
  EXPECT_EQ(readFile(folder / "docs/report.txt"), "original");
  for (const std::string& name : namesIn(folder / "docs")) {
    if (name != copy.name && name != "report.txt") {
      EXPECT_EQ(readFile(folder / "docs" / name), "taken") << name;
    }
  }
  EXPECT_EQ(readFile(outside / "mine"), "mine");
}

TEST_F(EngineHttpTest, ConflictCopiesAreNamedByTheSharedRuleAndFitTheirFolder) {
  writeFile(outside / "src", "x");
  std::string deep;  // short names, so that only the path's length is at stake
  while (deep.size() < 950) deep += "deep/";
  deep.pop_back();
  std::string accented = "x";  // a cut at the wrong byte would split a character
  for (int i = 0; i < 122; ++i) accented += "\xc3\xa9";
  accented += "y.txt";
  const std::vector<std::string> paths = {
      "new/in/folder.txt",   // folders a level or two down
      "long/" + accented,    // a name of 250 bytes
      deep + "/report.txt",  // the folder leaves less than a whole name
  };
  for (const std::string& path : paths) {
    SCOPED_TRACE(path.substr(0, 40));
    const std::size_t slash = path.rfind('/');
    const std::string folderPath = path.substr(0, slash);
    const std::string name = path.substr(slash + 1);
    upload(path, "original", "");
    const auto before = std::chrono::system_clock::now();
    const EngineReply reply =
        post("conflict-copy", body({{"path", path}, {"source", outside / "src"}}));
    const auto after = std::chrono::system_clock::now();
    ASSERT_EQ(reply.status, 200) << reply.body;
    const Entry copy = decode::entry(reply.body);
    std::set<std::string> expected;  // one per second the request may have taken
    for (auto t = before; t < after + std::chrono::seconds(1); t += std::chrono::seconds(1)) {
      expected.insert(host::conflictName(name, t, 1, host::nameRoomIn(folderPath)));
    }
    EXPECT_TRUE(expected.contains(copy.name)) << copy.name;
    EXPECT_EQ(copy.path, folderPath + "/" + copy.name);
    EXPECT_LE(copy.path.size(), host::kMaxPathBytes);
    EXPECT_EQ(readFile(folder / copy.path), "x");
  }
  // A folder too deep for any copy name is refused before anything is made.
  const std::string deeper = deep + "/" + std::string(60, 'f');
  const EngineReply refused =
      post("conflict-copy", body({{"path", deeper + "/a.txt"}, {"source", outside / "src"}}));
  EXPECT_EQ(refused.status, 400) << refused.body;
  EXPECT_FALSE(fs::exists(folder / deeper));
}

TEST_F(EngineHttpTest, FetchWritesTheContentsIntoANewFile) {
  std::string big(3 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7919 % 251);
  writeFile(folder / "dir" / "big.bin", big);
  const fs::path dest = outside / "with blank" / "dest";
  fs::create_directories(dest.parent_path());
  const EngineReply reply = post("fetch", body({{"path", "dir/big.bin"}, {"dest", dest}}));
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_TRUE(readFile(dest) == big);
  EXPECT_EQ(decode::entry(reply.body), list("dir").at(0));
}

TEST_F(EngineHttpTest, FetchRefusals) {
  writeFile(folder / "f.txt", "data");
  fs::create_directories(folder / "sub");
  writeFile(outside / "exists", "keep me");
  struct Case {
    std::string path;
    fs::path dest;
    int status;
  };
  const std::vector<Case> cases = {
      {"f.txt", outside / "exists", 409},
      {"missing.txt", outside / "new1", 404},
      {"sub/missing.txt", outside / "new2", 404},
      {"sub", outside / "new3", 400},
      {"", outside / "new4", 400},
      {"f.txt", outside / "no-folder" / "new5", 400},
  };
  for (const Case& c : cases) {
    const EngineReply reply = post("fetch", body({{"path", c.path}, {"dest", c.dest}}));
    EXPECT_EQ(reply.status, c.status) << c.path << " -> " << c.dest;
    messageOf(reply);
  }
  EXPECT_EQ(readFile(outside / "exists"), "keep me");
  EXPECT_EQ(namesIn(outside), std::vector<std::string>{"exists"})
      << "a failed fetch leaves no file";
}

TEST_F(EngineHttpTest, AUsersFilesAreNeverTakenForTheEnginesWorkFiles) {
  engine.reset();
  writeFile(folder / ".corvane-part-notes.txt", "my notes");
  writeFile(folder / ".corvane-part-0123", "named like a work file of old");
  writeFile(folder / ".corvane-work-0123456789abcdef0123456789abcdef", "and of now");
  launch({});  // a start removes only what the engine recorded as its own
  const auto listed = list("");
  ASSERT_EQ(listed.size(), 3u);
  const Entry* notes = find(listed, ".corvane-part-notes.txt");
  ASSERT_NE(notes, nullptr);

  // Ordinary items: replaced, made, renamed.
  upload(".corvane-part-notes.txt", "more notes", notes->version);
  upload(".corvane-part-new", "new", "");
  EXPECT_EQ(
      post("rename", body({{"path", ".corvane-part-0123"}, {"name", ".corvane-part-4567"}})).status,
      200);

  engine.reset();
  launch({});
  EXPECT_EQ(namesIn(folder),
            (std::vector<std::string>{".corvane-part-4567", ".corvane-part-new",
                                      ".corvane-part-notes.txt",
                                      ".corvane-work-0123456789abcdef0123456789abcdef"}));
  EXPECT_EQ(readFile(folder / ".corvane-part-notes.txt"), "more notes");
  EXPECT_EQ(list("").size(), 4u);
}

// --- mkdir, delete, rename, move ----------------------------------------------

TEST_F(EngineHttpTest, MkdirCreatesParentsAndAcceptsExistingFolders) {
  EXPECT_EQ(post("mkdir", body({{"path", "a/b/c"}})).body, R"({"path":"a/b/c"})");
  EXPECT_TRUE(fs::is_directory(folder / "a/b/c"));
  EXPECT_EQ(post("mkdir", body({{"path", "a/b"}})).status, 200);
  EXPECT_EQ(post("mkdir", body({{"path", ""}})).status, 200);

  writeFile(folder / "file", "x");
  EXPECT_EQ(post("mkdir", body({{"path", "file"}})).status, 409);
  EXPECT_EQ(post("mkdir", body({{"path", "file/below"}})).status, 409);
  EXPECT_TRUE(fs::is_regular_file(folder / "file"));
}

TEST_F(EngineHttpTest, OverlongPathsAreRefusedBeforeAnyFolderIsMade) {
  writeFile(outside / "src", "x");
  std::string deep;  // short names, too many of them
  while (deep.size() < 4200) deep += "level-" + std::to_string(deep.size()) + "/";
  deep += "f.txt";
  std::string longest;  // exactly the longest path a scope takes
  while (longest.size() < 1024) longest += "d/";
  longest.back() = 'f';
  const std::vector<std::string> paths = {
      deep,
      longest + "x",
      "fresh/" + std::string(256, 'n'),
      "fresh/" + std::string(256, 'n') + "/f.txt",
  };
  for (const std::string& path : paths) {
    SCOPED_TRACE(path.substr(0, 40));
    for (const EngineReply& reply : {
             post("mkdir", body({{"path", path}})),
             post("upload", body({{"path", path}, {"source", outside / "src"}, {"version", ""}})),
             post("conflict-copy", body({{"path", path}, {"source", outside / "src"}})),
         }) {
      EXPECT_EQ(reply.status, 400) << reply.body;
      messageOf(reply);
    }
    EXPECT_TRUE(namesIn(folder).empty()) << namesIn(folder).front();
  }
  // The limit of a path is a clear refusal, and the longest path is taken.
  const std::string said = messageOf(post("mkdir", body({{"path", longest + "x"}})));
  EXPECT_NE(said.find("1025 bytes long, more than the 1024"), std::string::npos) << said;
  EXPECT_EQ(post("upload", body({{"path", longest}, {"source", outside / "src"}, {"version", ""}}))
                .status,
            200);
  fs::remove_all(folder / "d");

  writeFile(folder / "f.txt", "x");
  EXPECT_EQ(post("rename", body({{"path", "f.txt"}, {"name", std::string(256, 'n')}})).status, 400);
  const std::string deepFolder = longest.substr(0, 1021);  // "d/d/.../d"
  fs::create_directories(folder / deepFolder);
  writeFile(folder / "d" / "e.txt", "x");
  EXPECT_EQ(post("move", body({{"path", "d/e.txt"}, {"dir", deepFolder}})).status, 400)
      << "the moved item's new path would be over the limit";
  EXPECT_TRUE(fs::exists(folder / "d" / "e.txt"));
  EXPECT_EQ(namesIn(folder), (std::vector<std::string>{"d", "f.txt"}));
}

TEST_F(EngineHttpTest, AnswersQuoteOnlyTheStartOfAHugeInput) {
  // Below any limit on request bodies, far above what an answer should repeat.
  const std::string huge(600'000, 'p');
  writeFile(folder / "f.txt", "x");
  const std::vector<std::pair<std::string, std::string>> requests = {
      {"mkdir", body({{"path", huge}})},
      {"mkdir", body({{"path", "a/" + huge}})},
      {"rename", body({{"path", "f.txt"}, {"name", huge}})},
      {"fetch", body({{"path", "f.txt"}, {"dest", "/" + huge}})},
      {"upload", body({{"path", "n.txt"}, {"source", "/" + huge}, {"version", ""}})},
  };
  for (const auto& [operation, json] : requests) {
    SCOPED_TRACE(operation);
    const EngineReply reply = post(operation, json);
    EXPECT_EQ(reply.status, 400);
    EXPECT_LT(reply.body.size(), 2048u);
    const std::string message = messageOf(reply);
    EXPECT_NE(message.find("pppp...\""), std::string::npos) << message;
    EXPECT_NE(message.find("bytes shown)"), std::string::npos) << message;
  }
}

TEST_F(EngineHttpTest, DeleteRemovesFilesAndWholeFolders) {
  writeFile(folder / "f.txt", "x");
  writeFile(folder / "d" / "e" / "g.txt", "y");
  const EngineReply reply =
      post("delete", JsonObjectWriter().addStringArray("paths", {"f.txt", "d/"}).str());
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_EQ(reply.body, R"({"deleted":["f.txt","d/"]})");
  EXPECT_TRUE(namesIn(folder).empty());
}

TEST_F(EngineHttpTest, DeleteRefusalsChangeNothing) {
  writeFile(folder / "f.txt", "x");
  writeFile(folder / "d" / "g.txt", "y");
  struct Case {
    std::vector<std::string> paths;
    int status;
  };
  const std::vector<Case> cases = {
      {{"/"}, 400},                 // the whole scope
      {{""}, 400},                  //
      {{"d"}, 400},                 // a folder without its "/"
      {{"f.txt/"}, 400},            // a file with one
      {{"missing"}, 404},           //
      {{"missing/"}, 404},          //
      {{"f.txt", "missing"}, 404},  // one bad key keeps the others
      {{"d/", "f.txt/"}, 400},      //
  };
  for (const Case& c : cases) {
    const EngineReply reply =
        post("delete", JsonObjectWriter().addStringArray("paths", c.paths).str());
    EXPECT_EQ(reply.status, c.status) << ::testing::PrintToString(c.paths);
    messageOf(reply);
  }
  EXPECT_EQ(namesIn(folder), (std::vector<std::string>{"d", "f.txt"}));
  EXPECT_EQ(namesIn(folder / "d"), std::vector<std::string>{"g.txt"});
}

TEST_F(EngineHttpTest, RenameAndMoveAnswerTheNewPath) {
  writeFile(folder / "d" / "f.txt", "x");
  writeFile(folder / "d" / "inner" / "g.txt", "y");
  fs::create_directories(folder / "target");

  EXPECT_EQ(post("rename", body({{"path", "d/f.txt"}, {"name", "h.txt"}})).body,
            R"({"path":"d/h.txt"})");
  EXPECT_EQ(post("rename", body({{"path", "d/inner/"}, {"name", "renamed"}})).body,
            R"({"path":"d/renamed/"})");
  EXPECT_EQ(post("move", body({{"path", "d/h.txt"}, {"dir", "target"}})).body,
            R"({"path":"target/h.txt"})");
  EXPECT_EQ(post("move", body({{"path", "d/renamed/"}, {"dir", ""}})).body,
            R"({"path":"renamed/"})");
  EXPECT_EQ(post("move", body({{"path", "renamed/"}, {"dir", "target"}})).body,
            R"({"path":"target/renamed/"})");
  EXPECT_EQ(readFile(folder / "target/h.txt"), "x");
  EXPECT_EQ(readFile(folder / "target/renamed/g.txt"), "y");
  EXPECT_TRUE(namesIn(folder / "d").empty());
}

TEST_F(EngineHttpTest, RenameAndMoveRefusals) {
  writeFile(folder / "a" / "f.txt", "f");
  writeFile(folder / "a" / "taken.txt", "t");
  writeFile(folder / "a" / "sub" / "s.txt", "s");
  writeFile(folder / "b" / "f.txt", "other");
  struct Case {
    std::string operation, path, argument;
    int status;
  };
  const std::vector<Case> cases = {
      {"rename", "a/f.txt", "taken.txt", 409},
      {"rename", "a/f.txt", "sub", 409},
      {"rename", "a/missing", "x", 404},
      {"rename", "a/sub", "x", 400},     // a folder without its "/"
      {"rename", "a/f.txt/", "x", 400},  // a file with one
      {"rename", "/", "x", 400},         // the scope itself
      {"move", "a/f.txt", "b", 409},
      {"move", "a/f.txt", "missing", 404},
      {"move", "a/f.txt", "a/taken.txt", 404},  // not a folder
      {"move", "a/missing", "b", 404},
      {"move", "a/", "a", 400},          // into itself
      {"move", "a/", "a/sub", 400},      // into its own subfolder
      {"move", "a/sub/", "a/sub", 400},  // into itself
  };
  for (const Case& c : cases) {
    const char* key = c.operation == "rename" ? "name" : "dir";
    const EngineReply reply = post(c.operation, body({{"path", c.path}, {key, c.argument}}));
    EXPECT_EQ(reply.status, c.status) << c.operation << " " << c.path << " " << c.argument;
    messageOf(reply);
  }
  EXPECT_EQ(namesIn(folder / "a"), (std::vector<std::string>{"f.txt", "sub", "taken.txt"}));
  EXPECT_EQ(readFile(folder / "a/taken.txt"), "t");
  EXPECT_EQ(readFile(folder / "b/f.txt"), "other");
  // A move into the folder it is already in changes nothing.
  EXPECT_EQ(post("move", body({{"path", "a/f.txt"}, {"dir", "a"}})).body, R"({"path":"a/f.txt"})");
  EXPECT_EQ(readFile(folder / "a/f.txt"), "f");
}

TEST_F(EngineHttpTest, ReadOnlyScopeRefusesEveryChange) {
  writeFile(folder / "f.txt", "x");
  writeFile(outside / "src", "y");
  engine.reset();
  launch({"docs"});
  const std::vector<std::pair<std::string, std::string>> mutations = {
      {"mkdir", body({{"path", "n"}})},
      {"upload", body({{"path", "n.txt"}, {"source", outside / "src"}, {"version", ""}})},
      {"conflict-copy", body({{"path", "f.txt"}, {"source", outside / "src"}})},
      {"delete", JsonObjectWriter().addStringArray("paths", {"f.txt"}).str()},
      {"rename", body({{"path", "f.txt"}, {"name", "g.txt"}})},
      {"move", body({{"path", "f.txt"}, {"dir", ""}})},
  };
  for (const auto& [operation, json] : mutations) {
    const EngineReply reply = post(operation, json);
    EXPECT_EQ(reply.status, 403) << operation;
    messageOf(reply);
  }
  EXPECT_EQ(namesIn(folder), std::vector<std::string>{"f.txt"});
  EXPECT_EQ(list("").size(), 1u);
  EXPECT_EQ(post("fetch", body({{"path", "f.txt"}, {"dest", outside / "copy"}})).status, 200);
}

// --- serving many clients ----------------------------------------------------

TEST_F(EngineHttpTest, IdleAndStalledConnectionsDoNotHoldUpOthers) {
  writeFile(folder / "f.txt", "x");
  // Connections that never send anything, and some that stop mid-request.
  std::vector<int> sockets;
  for (int i = 0; i < 150; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(engine->port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    if (i % 3 == 0) {
      const char partial[] = "GET /v1/scopes HTTP/1.1\r\nHost: x\r\n";
      ASSERT_GT(::send(fd, partial, sizeof partial - 1, 0), 0);
    }
    sockets.push_back(fd);
  }
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 64; ++i) {
    threads.emplace_back([&] {
      auto client = engine->client();
      client->set_read_timeout(10);
      for (int k = 0; k < 5; ++k) {
        if (engineGet(*client, "/v1/scopes/local-1/list?dir=").status == 200) ++answered;
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int fd : sockets) ::close(fd);
  EXPECT_EQ(answered.load(), 64 * 5);
}

TEST_F(EngineHttpTest, ParallelUploadsOfOneFileLetExactlyOneWin) {
  const Entry base = upload("shared.txt", "base", "");
  std::atomic<int> won{0}, refused{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 16; ++i) {
    writeFile(outside / ("mine" + std::to_string(i)), "version " + std::to_string(i));
  }
  for (int i = 0; i < 16; ++i) {
    threads.emplace_back([&, i] {
      auto client = engine->client();
      const EngineReply reply = enginePost(*client, "/v1/scopes/local-1/upload",
                                           body({{"path", "shared.txt"},
                                                 {"source", outside / ("mine" + std::to_string(i))},
                                                 {"version", base.version}}));
      if (reply.status == 200) ++won;
      if (reply.status == 409) ++refused;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(won.load(), 1);
  EXPECT_EQ(refused.load(), 15);
  EXPECT_EQ(namesIn(folder), std::vector<std::string>{"shared.txt"});
}

}  // namespace
}  // namespace corvane::testing
