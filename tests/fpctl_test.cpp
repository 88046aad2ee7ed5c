// corvane-fpctl from the outside: the built binary runs as a child process
// against the scripted test engine, and its JSON, text and exit status are
// checked as a script would see them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <simdjson.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/json_text.h"
#include "support/test_engine.h"
#include "support/test_env.h"

extern char** environ;

namespace corvane::testing {
namespace {

using namespace std::chrono_literals;

struct ToolRun {
  int status = -1;  // exit status; -1 when the tool did not exit normally
  bool timedOut = false;
  std::string out;
  std::string err;

  std::vector<std::string> outLines() const {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
};

// Runs corvane-fpctl with `args`, feeding `input` on its standard input and
// collecting both output streams. The child inherits this process's
// environment, which TestEnvironment has made private. A child still running
// after `timeout` is killed, so a hang fails the test instead of blocking it.
ToolRun runTool(const std::vector<std::string>& args, const std::string& input = {},
                std::chrono::milliseconds timeout = 30s) {
  const std::string binary = CORVANE_BIN_DIR "/corvane-fpctl";
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed";
    return {};
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> argv{const_cast<char*>(binary.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  ToolRun run;
  if (spawned != 0) {
    ::close(in[1]);
    ::close(out[0]);
    ::close(err[0]);
    ADD_FAILURE() << "cannot start " << binary;
    return run;
  }

  ::fcntl(in[1], F_SETFL, O_NONBLOCK);
  int inFd = in[1];
  std::size_t written = 0;
  if (input.empty()) {
    ::close(inFd);
    inFd = -1;
  }
  int outFd = out[0], errFd = err[0];
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (outFd >= 0 || errFd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left <= 0ms) {
      run.timedOut = true;
      break;
    }
    pollfd fds[3] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {inFd, POLLOUT, 0}};
    if (::poll(fds, 3, static_cast<int>(left.count())) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? run.out : run.err).append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        (i == 0 ? outFd : errFd) = -1;
      }
    }
    if (inFd >= 0 && fds[2].revents != 0) {
      const ssize_t n = ::write(inFd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) written = input.size();
      if (written == input.size()) {
        ::close(inFd);
        inFd = -1;
      }
    }
  }
  for (int fd : {inFd, outFd, errFd}) {
    if (fd >= 0) ::close(fd);
  }
  if (run.timedOut) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!run.timedOut && WIFEXITED(status)) run.status = WEXITSTATUS(status);
  std::string shown;
  for (const auto& a : args) shown += " " + a;
  EXPECT_FALSE(run.timedOut) << "corvane-fpctl did not finish:" << shown;
  return run;
}

// One parsed JSON document; the parser owns what `root` points into.
struct Json {
  simdjson::dom::parser parser;
  simdjson::dom::element root;

  simdjson::dom::element operator[](std::string_view key) const { return root[key].value(); }
  bool has(std::string_view key) const { return !root[key].error(); }
};

std::unique_ptr<Json> parseJson(const std::string& text) {
  auto json = std::make_unique<Json>();
  auto result = json->parser.parse(text);
  if (result.error()) throw std::runtime_error("not JSON: " + text);
  json->root = result.value();
  return json;
}

std::string str(simdjson::dom::element e) { return std::string(e.get_string().value()); }
std::int64_t num(simdjson::dom::element e) { return e.get_int64().value(); }

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void expectCompletion(const Json& json) {
  EXPECT_EQ(num(json["handlerCalls"]), 1);
  EXPECT_EQ(num(json["progress"]["completed"]), 1);
  EXPECT_EQ(num(json["progress"]["total"]), 1);
}

class FpctlTest : public ::testing::Test {
 protected:
  static constexpr const char* kScopeID = "local-1";

  FpctlTest() {
    engine.writeDiscovery(env);
    engine.onScopes({scope});
  }

  static std::string scopePath(const std::string& suffix) {
    return std::string("/v1/scopes/") + kScopeID + suffix;
  }

  static Reply entryReply(const Entry& entry) { return Reply{200, toJson(entry)}; }

  std::filesystem::path writeFile(const std::string& name, const std::string& bytes) {
    auto path = env.root() / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  // Runs one command with --json and parses its one line of output.
  std::unique_ptr<Json> runJson(std::vector<std::string> args, int expectedStatus = 0) {
    args.insert(args.begin(), "--json");
    ToolRun run = runTool(args);
    EXPECT_EQ(run.status, expectedStatus) << run.err;
    EXPECT_EQ(run.outLines().size(), 1u) << run.out;
    return parseJson(run.out);
  }

  TestEnvironment env;
  Scope scope = makeScope("local", 1, true, true, "bucket");
  TestEngine engine;
};

TEST_F(FpctlTest, DomainsPrintsTheEngineScopesWithTheirIds) {
  Scope readOnly = makeScope("s3-eu", 12, false, false, "photos");
  readOnly.prefix = "2024/";
  readOnly.versioned = true;
  engine.onScopes({scope, readOnly});

  auto json = runJson({"domains"});
  auto scopes = (*json)["scopes"].get_array().value();
  ASSERT_EQ(scopes.size(), 2u);
  auto second = scopes.at(1).value();
  EXPECT_EQ(str(second["id"].value()), "s3-eu-12");
  EXPECT_EQ(str(second["connection"].value()), "s3-eu");
  EXPECT_EQ(num(second["scope"].value()), 12);
  EXPECT_EQ(str(second["bucket"].value()), "photos");
  EXPECT_EQ(str(second["prefix"].value()), "2024/");
  EXPECT_EQ(str(second["region"].value()), "local");
  EXPECT_EQ(str(second["name"].value()), "scope 12");
  EXPECT_TRUE(second["versioned"].get_bool().value());
  EXPECT_FALSE(second["write"].get_bool().value());
  EXPECT_FALSE(second["delete"].get_bool().value());
  EXPECT_EQ(str(scopes.at(0).value()["id"].value()), "local-1");
}

TEST_F(FpctlTest, ItemReportsTheItemAndItsCompletion) {
  engine.onList(kScopeID, "docs", {makeEntry("docs/a.txt", false, 12, "r7", 1715000000)});

  auto json = runJson({"item", "docs/a.txt"});
  auto item = (*json)["item"];
  EXPECT_EQ(str(item["identifier"].value()), "docs/a.txt");
  EXPECT_EQ(str(item["parent"].value()), "docs");
  EXPECT_EQ(str(item["filename"].value()), "a.txt");
  EXPECT_EQ(str(item["contentType"].value()), "public.plain-text");
  EXPECT_EQ(num(item["documentSize"].value()), 12);
  EXPECT_EQ(num(item["contentModificationDate"].value()), 1715000000);
  EXPECT_EQ(str(item["contentVersion"].value()), "r7");
  EXPECT_EQ(str(item["contentVersionHex"].value()), "7237");
  EXPECT_EQ(str(item["metadataVersion"].value()), "a.txt 1715000000.0");
  EXPECT_EQ(str(item["metadataVersionHex"].value()), "612e74787420313731353030303030302e30");
  EXPECT_EQ(num(item["capabilities"].value()), 47);
  expectCompletion(*json);
  // Without --domain the first scope the engine lists is the domain.
  EXPECT_EQ(engine.count("GET", scopePath("/list")), 1u);
}

TEST_F(FpctlTest, RootItemHasNoSizeNoDateAndTheContainerIdentifier) {
  auto json = runJson({"--domain", kScopeID, "item", ":root"});
  auto item = (*json)["item"];
  EXPECT_EQ(str(item["identifier"].value()), "NSFileProviderRootContainerItemIdentifier");
  EXPECT_EQ(str(item["filename"].value()), "bucket");
  EXPECT_EQ(str(item["contentType"].value()), "public.folder");
  EXPECT_TRUE(item["documentSize"].value().is_null());
  EXPECT_TRUE(item["contentModificationDate"].value().is_null());
}

TEST_F(FpctlTest, FetchMovesTheReceivedFileToTheOutput) {
  std::string dest;
  engine.on("POST", scopePath("/fetch"), [&dest](const Received& request) {
    dest = request.bodyString("dest").value_or("");
    std::ofstream(dest, std::ios::binary) << "contents";
    return entryReply(makeEntry("docs/a.txt", false, 8, "r7"));
  });
  const auto output = env.root() / "out.bin";

  auto json = runJson({"fetch", "docs/a.txt", "--output", output.string()});
  EXPECT_EQ(str((*json)["url"]), output.string());
  EXPECT_EQ(readFile(output), "contents");
  EXPECT_EQ(str((*json)["item"]["identifier"].value()), "docs/a.txt");
  expectCompletion(*json);
  // The extension downloaded into the host's folder for the domain; the
  // file is no longer there.
  const auto hostFolder = env.cacheHome() / "CorvaneSync" / kScopeID / "tmp";
  EXPECT_EQ(std::filesystem::path(dest).parent_path(), hostFolder);
  EXPECT_FALSE(std::filesystem::exists(dest));

  // An existing file is never replaced, and nothing is downloaded for it.
  const std::size_t fetches = engine.requests("POST", scopePath("/fetch")).size();
  auto refused = runJson({"fetch", "docs/a.txt", "--output", output.string()}, 3);
  EXPECT_EQ(num((*refused)["error"]["code"].value()), EEXIST);
  EXPECT_NE(
      str((*refused)["error"]["userInfo"]["NSLocalizedDescription"].value()).find("already exists"),
      std::string::npos);
  EXPECT_EQ(engine.requests("POST", scopePath("/fetch")).size(), fetches);
  EXPECT_EQ(readFile(output), "contents");

  // A folder receives the file under the item's name, as mv would do it.
  const auto folder = env.root() / "into";
  std::filesystem::create_directories(folder);
  auto moved = runJson({"fetch", "docs/a.txt", "--output", folder.string()});
  EXPECT_EQ(str((*moved)["url"]), (folder / "a.txt").string());
  EXPECT_EQ(readFile(folder / "a.txt"), "contents");

  // ...but not over a file of that name: the download stays where the host
  // received it, and "url" says where.
  std::ofstream(folder / "a.txt", std::ios::binary | std::ios::trunc) << "mine";
  auto kept = runJson({"fetch", "docs/a.txt", "--output", folder.string()}, 3);
  EXPECT_EQ(num((*kept)["error"]["code"].value()), EEXIST);
  ASSERT_TRUE(kept->has("url"));
  EXPECT_EQ(str((*kept)["url"]), dest);
  EXPECT_EQ(readFile(dest), "contents");
  EXPECT_EQ(readFile(folder / "a.txt"), "mine");
}

TEST_F(FpctlTest, FetchWithARangeReportsTheRangeItReceived) {
  std::string contents(100, '\0');
  for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>('A' + i % 26);
  engine.onFetch(kScopeID, {{"docs/a.bin", ScriptedFile{contents, "r5"}}});

  auto json = runJson({"fetch", "docs/a.bin", "--range", "45:10", "--alignment", "16"});
  EXPECT_EQ(num((*json)["range"]["offset"].value()), 32);
  EXPECT_EQ(num((*json)["range"]["length"].value()), 32);
  EXPECT_FALSE((*json)["reachesEndOfFile"].get_bool().value());
  EXPECT_EQ(readFile(str((*json)["url"])), contents.substr(32, 32));
  EXPECT_EQ(str((*json)["item"]["contentVersion"].value()), "r5");
  EXPECT_EQ(num((*json)["item"]["documentSize"].value()), 100);
  expectCompletion(*json);
  auto fetches = engine.requests("POST", scopePath("/fetch"));
  ASSERT_EQ(fetches.size(), 1u);
  EXPECT_EQ(fetches[0].bodyInt("offset"), 32);
  EXPECT_EQ(fetches[0].bodyInt("length"), 32);

  // "OFFSET:" reads to the end.
  auto tail = runJson({"fetch", "docs/a.bin", "--range", "90:"});
  EXPECT_EQ(num((*tail)["range"]["offset"].value()), 90);
  EXPECT_EQ(num((*tail)["range"]["length"].value()), 10);
  EXPECT_TRUE((*tail)["reachesEndOfFile"].get_bool().value());

  // Readable form: the range and the flag follow the url.
  const auto output = env.root() / "head.bin";
  ToolRun human = runTool({"fetch", "docs/a.bin", "--range", "0:4", "--output", output.string()});
  EXPECT_EQ(human.status, 0) << human.err;
  EXPECT_EQ(human.out.rfind("url: " + output.string() +
                                "\nrange: 0:4\nreachesEndOfFile: no\n"
                                "identifier: docs/a.bin\n",
                            0),
            0u)
      << human.out;
  EXPECT_EQ(readFile(output), "ABCD");

  // A whole download reports no range.
  auto whole = runJson({"fetch", "docs/a.bin"});
  EXPECT_FALSE(whole->has("range"));
  EXPECT_FALSE(whole->has("reachesEndOfFile"));
  EXPECT_EQ(readFile(str((*whole)["url"])), contents);
}

TEST_F(FpctlTest, CreateUploadsTheContentsUnderTheParent) {
  engine.on("POST", scopePath("/upload"), entryReply(makeEntry("docs/new.txt", false, 5, "v9")));
  const auto contents = writeFile("new.txt", "hello");

  auto json = runJson({"create", "docs", "new.txt", "--contents", contents.string()});
  EXPECT_EQ(str((*json)["item"]["identifier"].value()), "docs/new.txt");
  EXPECT_EQ(str((*json)["item"]["contentVersion"].value()), "v9");
  EXPECT_EQ(num((*json)["pendingFields"]), 0);
  EXPECT_FALSE((*json)["shouldFetchContent"].get_bool().value());
  expectCompletion(*json);
  auto uploads = engine.requests("POST", scopePath("/upload"));
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].bodyString("path"), "docs/new.txt");
  EXPECT_EQ(uploads[0].bodyString("version"), "");
}

TEST_F(FpctlTest, CreateOfAFolderReportsTheCurrentTimeInWholeSeconds) {
  engine.on("POST", scopePath("/mkdir"), Reply{200, R"({"path":"Reports"})"});
  const auto before = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());

  auto json = runJson({"create", ":root", "Reports", "--type", "public.folder"});
  const auto after = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
  auto item = (*json)["item"];
  EXPECT_EQ(str(item["contentType"].value()), "public.folder");
  const std::int64_t date = num(item["contentModificationDate"].value());
  EXPECT_GE(date, before.time_since_epoch().count());
  EXPECT_LE(date, after.time_since_epoch().count());
  EXPECT_EQ(engine.count("POST", scopePath("/mkdir")), 1u);
}

TEST_F(FpctlTest, ModifySendsTheBaseVersionAndTheChangedFields) {
  engine.on("POST", scopePath("/upload"), entryReply(makeEntry("docs/a.txt", false, 3, "r8")));
  engine.on("POST", scopePath("/rename"), Reply{200, R"({"path":"docs/b.txt"})"});
  engine.onList(kScopeID, "docs", {makeEntry("docs/b.txt", false, 3, "r8")});
  const auto contents = writeFile("a.txt", "new");

  auto json = runJson({"modify", "docs/a.txt", "--name", "b.txt", "--parent", "docs", "--fields",
                       "contents,filename,tagData", "--contents", contents.string(),
                       "--base-version-hex", "7237"});
  EXPECT_EQ(str((*json)["item"]["identifier"].value()), "docs/b.txt");
  EXPECT_EQ(num((*json)["pendingFields"]), 0);
  EXPECT_FALSE((*json)["shouldFetchContent"].get_bool().value());
  expectCompletion(*json);
  auto uploads = engine.requests("POST", scopePath("/upload"));
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].bodyString("version"), "r7");
  auto renames = engine.requests("POST", scopePath("/rename"));
  ASSERT_EQ(renames.size(), 1u);
  EXPECT_EQ(renames[0].bodyString("name"), "b.txt");
  EXPECT_EQ(engine.count("POST", scopePath("/move")), 0u);
}

// The engine kept another version: the user's bytes became a conflict copy,
// and the host is told that the contents it holds are not the item's.
TEST_F(FpctlTest, ModifyMeetingAConflictReportsThatTheContentsMustBeFetched) {
  engine.on("POST", scopePath("/upload"), Reply{409, R"({"message":"changed"})"});
  engine.on("POST", scopePath("/conflict-copy"),
            entryReply(makeEntry("docs/a (conflict).txt", false, 3, "c1")));
  engine.onList(kScopeID, "docs", {makeEntry("docs/a.txt", false, 3, "theirs")});
  const auto contents = writeFile("a.txt", "new");
  const std::vector<std::string> args = {
      "modify",     "docs/a.txt", "--name",         "a.txt", "--parent", "docs", "--fields",
      "contents",   "--contents", contents.string(), "--base-version", "r7"};

  auto json = runJson(args);
  EXPECT_EQ(str((*json)["item"]["contentVersion"].value()), "theirs");
  EXPECT_TRUE((*json)["shouldFetchContent"].get_bool().value());
  EXPECT_EQ(engine.count("POST", scopePath("/conflict-copy")), 1u);

  ToolRun human = runTool(args);
  EXPECT_EQ(human.status, 0) << human.err;
  EXPECT_NE(human.out.find("\ncontentVersion: theirs\n"), std::string::npos) << human.out;
  EXPECT_NE(human.out.find("\nshouldFetchContent: true\n"), std::string::npos) << human.out;

  // Without a conflict the readable form says nothing of it.
  engine.on("POST", scopePath("/upload"), entryReply(makeEntry("docs/a.txt", false, 3, "r8")));
  ToolRun plain = runTool(args);
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(plain.out.find("shouldFetchContent"), std::string::npos) << plain.out;
  EXPECT_NE(plain.out.find("\ncontentVersion: r8\n"), std::string::npos) << plain.out;
}

TEST_F(FpctlTest, DeleteDeletesTheListedKey) {
  engine.onList(kScopeID, "docs", {makeEntry("docs/old", true)});
  engine.on("POST", scopePath("/delete"), Reply{200, R"({"deleted":["docs/old/"]})"});

  auto json = runJson({"delete", "docs/old", "--recursive", "--base-version", "x"});
  EXPECT_TRUE((*json)["deleted"].get_bool().value());
  expectCompletion(*json);
  auto deletes = engine.requests("POST", scopePath("/delete"));
  ASSERT_EQ(deletes.size(), 1u);
  EXPECT_EQ(deletes[0].bodyStrings("paths"), std::vector<std::string>{"docs/old/"});
}

TEST_F(FpctlTest, ListReportsOneBatchAndNoNextPage) {
  engine.onList(kScopeID, "", {makeEntry("docs", true), makeEntry("a.jpg", false, 7, "v2")});

  auto json = runJson({"list", ":root", "--page", "p1"});
  auto items = (*json)["items"].get_array().value();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(str(items.at(0).value()["identifier"].value()), "docs");
  EXPECT_TRUE(items.at(0).value()["documentSize"].value().is_null());
  EXPECT_EQ(str(items.at(0).value()["contentVersion"].value()), "dir");
  EXPECT_EQ(str(items.at(1).value()["contentType"].value()), "public.jpeg");
  EXPECT_EQ(num((*json)["batches"]), 1);
  EXPECT_TRUE((*json)["nextPage"].is_null());
  EXPECT_FALSE(json->has("handlerCalls")) << "an enumerator call has no handler";
}

TEST_F(FpctlTest, ChangesSendsTheAnchorBytesAndReportsObserverCallsInOrder) {
  ChangeSet set;
  set.anchor = "\xC3\xA9-2";  // é-2
  set.changes = std::vector<Change>{
      Change{{"a.txt", "a.txt", false, 1, Timestamp(std::chrono::seconds(5)), "v1"}, false},
      Change{{"b.txt", "b.txt", false, 0, Timestamp(std::chrono::seconds(5)), "v1"}, true},
      Change{{"docs/deep.txt", "deep.txt", false, 0, Timestamp(std::chrono::seconds(5)), "v1"},
             true},
  };
  engine.on("GET", scopePath("/changes"), Reply{200, toJson(set)});

  auto json = runJson({"changes", ":root", "--anchor-hex", "61c3a931"});
  auto deleted = (*json)["deleted"].get_array().value();
  ASSERT_EQ(deleted.size(), 1u);
  EXPECT_EQ(str(deleted.at(0).value()), "b.txt");
  auto updated = (*json)["updated"].get_array().value();
  ASSERT_EQ(updated.size(), 1u);
  EXPECT_EQ(str(updated.at(0).value()["identifier"].value()), "a.txt");
  EXPECT_EQ(str((*json)["anchor"]), "\xC3\xA9-2");
  EXPECT_EQ(str((*json)["anchorHex"]), "c3a92d32");
  EXPECT_FALSE((*json)["moreComing"].get_bool().value());
  auto order = (*json)["order"].get_array().value();
  ASSERT_EQ(order.size(), 2u);
  EXPECT_EQ(str(order.at(0).value()), "deleted");
  EXPECT_EQ(str(order.at(1).value()), "updated");
  auto requests = engine.requests("GET", scopePath("/changes"));
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].queryValue("anchor"),
            "a\xC3\xA9"
            "1");
}

TEST_F(FpctlTest, AnchorReportsTheCurrentAnchorOrNull) {
  engine.on("GET", scopePath("/changes"), Reply{200, R"({"anchor":"42","reset":false})"});
  auto json = runJson({"anchor", ":working-set"});
  EXPECT_EQ(str((*json)["anchor"]), "42");
  EXPECT_EQ(str((*json)["anchorHex"]), "3432");
  EXPECT_EQ(engine.requests("GET", scopePath("/changes")).at(0).queryValue("anchor"), "latest");

  // A failed anchor query is no error for the host: it just has no anchor.
  engine.on("GET", scopePath("/changes"), Reply{500, R"({"message":"down"})"});
  auto none = runJson({"--domain", kScopeID, "anchor", ":root"}, 0);
  EXPECT_TRUE((*none)["anchor"].is_null());
}

TEST_F(FpctlTest, HostErrorsArePrintedAsReceivedAndExitWith3) {
  engine.onList(kScopeID, "docs", {makeEntry("docs/a.txt")});
  engine.on("POST", scopePath("/delete"), Reply{403, R"({"message":"read-only bucket"})"});
  engine.on("POST", scopePath("/upload"), Reply{409, R"({"message":"exists"})"});

  auto missing = runJson({"item", "docs/nothing"}, 3);
  EXPECT_EQ(str((*missing)["error"]["domain"].value()), "NSFileProviderErrorDomain");
  EXPECT_EQ(num((*missing)["error"]["code"].value()), -1005);
  EXPECT_EQ((*missing)["error"]["userInfo"].value().get_object().value().size(), 0u);
  expectCompletion(*missing);

  auto refused = runJson({"delete", "docs/a.txt"}, 3);
  EXPECT_EQ(str((*refused)["error"]["domain"].value()), "NSCocoaErrorDomain");
  EXPECT_EQ(num((*refused)["error"]["code"].value()), 513);
  EXPECT_EQ(str((*refused)["error"]["userInfo"]["NSLocalizedDescription"].value()),
            "read-only bucket");
  expectCompletion(*refused);

  auto collision = runJson({"create", ":root", "a.txt"}, 3);
  EXPECT_EQ(num((*collision)["error"]["code"].value()), -1001);
  EXPECT_EQ(num((*collision)["pendingFields"]), 0);
  EXPECT_FALSE((*collision)["shouldFetchContent"].get_bool().value());
  expectCompletion(*collision);

  // The enumerator factory refuses the trash; no handler is involved.
  auto trash = runJson({"list", ":trash"}, 3);
  EXPECT_EQ(num((*trash)["error"]["code"].value()), -1005);
  EXPECT_FALSE(trash->has("handlerCalls"));

  // Readable form: one line on standard error, nothing on standard output.
  ToolRun human = runTool({"delete", "docs/a.txt"});
  EXPECT_EQ(human.status, 3);
  EXPECT_EQ(human.out, "");
  EXPECT_EQ(human.err, "error: delete docs/a.txt: NSCocoaErrorDomain 513: read-only bucket\n");
}

TEST_F(FpctlTest, WithoutScopesTheDefaultDomainFailsWithTheMappedError) {
  engine.onScopes({});
  auto json = runJson({"list", ":root"}, 3);
  EXPECT_EQ(str((*json)["error"]["domain"].value()), "NSFileProviderErrorDomain");
  EXPECT_EQ(num((*json)["error"]["code"].value()), -1005);

  // In a batch every line that needs a domain reports the failure under its
  // own number, and `domains` still runs.
  const std::string input = "item :root\ndomains\n\nlist :root\n";
  for (const bool parallel : {false, true}) {
    std::vector<std::string> args = {"--json", "batch"};
    if (parallel) args.insert(args.begin(), "--parallel");
    ToolRun batch = runTool(args, input);
    EXPECT_EQ(batch.status, 3) << batch.err;
    auto lines = batch.outLines();
    ASSERT_EQ(lines.size(), 3u) << batch.out;
    std::map<std::int64_t, std::unique_ptr<Json>> byLine;
    for (const auto& line : lines) {
      auto json = parseJson(line);
      const std::int64_t number = num((*json)["line"]);
      byLine[number] = std::move(json);
    }
    ASSERT_EQ(byLine.size(), 3u) << batch.out;
    for (const std::int64_t number : {1, 4}) {
      ASSERT_TRUE(byLine.contains(number)) << batch.out;
      EXPECT_EQ(num((*byLine[number])["error"]["code"].value()), -1005) << number;
    }
    ASSERT_TRUE(byLine.contains(2)) << batch.out;
    EXPECT_EQ((*byLine[2])["scopes"].get_array().value().size(), 0u);
  }
  ToolRun human = runTool({"batch"}, input);
  EXPECT_EQ(human.status, 3);
  EXPECT_EQ(human.err,
            "1: error: NSFileProviderErrorDomain -1005: no such item\n"
            "4: error: NSFileProviderErrorDomain -1005: no such item\n");

  engine.stop();
  auto down = runJson({"item", ":root"}, 3);
  EXPECT_EQ(num((*down)["error"]["code"].value()), -1004);
}

// --- --domain: what the user gave reaches the extension as it is ------------

// The requests the engine received, as "METHOD PATH", in order.
std::vector<std::string> requestLines(const TestEngine& engine) {
  std::vector<std::string> lines;
  for (const Received& r : engine.requests()) lines.push_back(r.method + " " + r.path);
  return lines;
}

class FpctlDomainTest : public FpctlTest {
 protected:
  FpctlDomainTest() {
    docs.name = "docs";
    engine.onScopes({scope, docs});
    engine.onList("local-2", "", {makeEntry("a.txt", false, 1, "d1")});
  }

  Scope docs = makeScope("local", 2, true, true, "docs-bucket");
  static constexpr const char* kScopes = "GET /v1/scopes";
  static constexpr const char* kDocsList = "GET /v1/scopes/local-2/list";
};

// An id costs the extension's one scope request; a name costs the look-up
// and a second extension's; an unknown text only the look-up, and the
// extension's own error then carries the ids and names to choose from.
TEST_F(FpctlDomainTest, AnIdGoesStraightToTheExtensionAndANameOnlyAfterItFailed) {
  struct Case {
    std::string domain;
    std::vector<std::string> requests;
    std::int64_t code;  // 0: success
    std::string advice;
  };
  const std::vector<Case> cases = {
      {"local-2", {kScopes, kDocsList}, 0, ""},
      {"docs", {kScopes, kScopes, kScopes, kDocsList}, 0, ""},
      {"nope",
       {kScopes, kScopes},
       -1005,
       "--domain nope: the engine has no scope of that id or name; write one of local-1 "
       "(scope 1), local-2 (docs)"},
  };
  for (const Case& c : cases) {
    engine.clearRequests();
    auto json = runJson({"--domain", c.domain, "item", "a.txt"}, c.code == 0 ? 0 : 3);
    EXPECT_EQ(requestLines(engine), c.requests) << c.domain;
    expectCompletion(*json);
    if (c.code == 0) {
      EXPECT_EQ(str((*json)["item"]["contentVersion"].value()), "d1") << c.domain;
      EXPECT_FALSE(json->has("advice")) << c.domain;
      continue;
    }
    EXPECT_EQ(str((*json)["error"]["domain"].value()), "NSFileProviderErrorDomain") << c.domain;
    EXPECT_EQ(num((*json)["error"]["code"].value()), c.code) << c.domain;
    EXPECT_EQ((*json)["error"]["userInfo"].value().get_object().value().size(), 0u)
        << "the extension's error, as it reported it";
    EXPECT_EQ(str((*json)["advice"]), c.advice);
  }

  // Readable form: the extension's error line, then what to write instead.
  ToolRun human = runTool({"--domain", "nope", "item", "a.txt"});
  EXPECT_EQ(human.status, 3);
  EXPECT_EQ(human.err,
            "error: item a.txt: NSFileProviderErrorDomain -1005: no such item; --domain nope: the "
            "engine has no scope of that id or name; write one of local-1 (scope 1), local-2 "
            "(docs)\n");

  // Two scopes of one name: the name chooses neither.
  Scope twin = makeScope("s3", 1, true, true, "other");
  twin.name = "docs";
  engine.onScopes({scope, docs, twin});
  auto ambiguous = runJson({"--domain", "docs", "list", ":root"}, 3);
  EXPECT_EQ(str((*ambiguous)["error"]["domain"].value()), "CorvaneSyncFileProvider.EngineError");
  EXPECT_EQ(num((*ambiguous)["error"]["code"].value()), 4);
  EXPECT_EQ(str((*ambiguous)["advice"]),
            "--domain docs: 2 scopes have that name; write one of their ids: local-2, s3-1");
}

// Whatever fails before the domain is settled fails as the extension says,
// with its handler call and progress, and costs no request of the host's.
TEST_F(FpctlDomainTest, FailuresComeAsTheExtensionReportsThem) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
    std::vector<std::string> args;
    std::string errorDomain;
    std::int64_t code;
    std::vector<std::string> requests;
  };
  const std::string unmapped = "CorvaneSyncFileProvider.EngineError";
  const std::string fp = "NSFileProviderErrorDomain";
  const auto discovery = env.applicationSupport() / "engine.json";
  const std::vector<Case> cases = {
      {"the trash has no enumerator", [] {}, {"list", ":trash"}, fp, -1005, {}},
      {"a missing item of a known domain",
       [] {},
       {"item", "b.txt"},
       fp,
       -1005,
       {kScopes, kDocsList, kScopes}},
      {"the engine goes away after the scope was resolved",
       [&] {
         engine.on("GET", "/v1/scopes/local-2/list", Reply{200, "", {}, true});
       },
       {"item", "a.txt"},
       fp,
       -1004,
       {kScopes, kDocsList}},
      {"no discovery file",
       [&] { std::filesystem::remove(discovery); },
       {"item", "a.txt"},
       fp,
       -1004,
       {}},
      {"no discovery file, an enumerator", [] {}, {"list", ":root"}, unmapped, 2, {}},
      {"no engine",
       [&] {
         engine.writeDiscovery(env);
         engine.stop();
       },
       {"item", "a.txt"},
       fp,
       -1004,
       {}},
  };
  for (const Case& c : cases) {
    c.arrange();
    engine.clearRequests();
    std::vector<std::string> args = {"--domain", "local-2"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto json = runJson(args, 3);
    EXPECT_EQ(str((*json)["error"]["domain"].value()), c.errorDomain) << c.what;
    EXPECT_EQ(num((*json)["error"]["code"].value()), c.code) << c.what;
    EXPECT_FALSE(json->has("advice")) << c.what;
    if (c.args[0] == "list") {
      EXPECT_FALSE(json->has("handlerCalls")) << c.what << ": an enumerator has no handler";
    } else {
      expectCompletion(*json);
    }
    EXPECT_EQ(requestLines(engine), c.requests) << c.what;
  }
}

// In a batch the look-up happens once; the lines that failed for want of the
// id run again with it, in order or in parallel.
TEST_F(FpctlDomainTest, ABatchLooksTheNameUpOnceAndRunsWhatFailedAgain) {
  const std::string input = "item a.txt\nlist :root\nitem missing.txt\ndomains\n";
  ToolRun run = runTool({"--json", "--domain", "docs", "batch"}, input);
  EXPECT_EQ(run.status, 3) << run.err;
  auto lines = run.outLines();
  ASSERT_EQ(lines.size(), 4u) << run.out;
  EXPECT_EQ(str((*parseJson(lines[0]))["item"]["contentVersion"].value()), "d1");
  EXPECT_EQ((*parseJson(lines[1]))["items"].get_array().value().size(), 1u);
  auto missing = parseJson(lines[2]);
  EXPECT_EQ(num((*missing)["error"]["code"].value()), -1005);
  EXPECT_FALSE(missing->has("advice")) << "the domain was settled: the item is what is missing";
  EXPECT_EQ((*parseJson(lines[3]))["scopes"].get_array().value().size(), 2u);
  EXPECT_EQ(requestLines(engine), (std::vector<std::string>{kScopes, kScopes, kScopes, kDocsList,
                                                            kDocsList, kDocsList, kScopes}));

  engine.clearRequests();
  ToolRun parallel = runTool({"--json", "--domain", "docs", "--parallel", "batch"}, input);
  EXPECT_EQ(parallel.status, 3) << parallel.err;
  std::map<std::int64_t, std::unique_ptr<Json>> byLine;
  for (const auto& line : parallel.outLines()) {
    auto json = parseJson(line);
    byLine[num((*json)["line"])] = std::move(json);
  }
  ASSERT_EQ(byLine.size(), 4u) << parallel.out;
  EXPECT_EQ(str((*byLine[1])["item"]["contentVersion"].value()), "d1");
  expectCompletion(*byLine[1]);
  EXPECT_EQ((*byLine[2])["items"].get_array().value().size(), 1u);
  EXPECT_EQ(num((*byLine[3])["error"]["code"].value()), -1005);
  EXPECT_EQ(engine.count("GET", "/v1/scopes/local-1/list"), 0u);
  EXPECT_EQ(engine.count("GET", "/v1/scopes/local-2/list"), 3u) << "each line listed once";
}

TEST_F(FpctlTest, UsageErrorsExitWith2AndOneLineOnStandardError) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"item"},
      {"item", "a", "b"},
      {"changes", ":root"},
      {"changes", ":root", "--anchor", "a", "--anchor-hex", "61"},
      {"modify", "a.txt", "--name", "b.txt"},
      {"modify", "a.txt", "--name", "b.txt", "--parent", ":root", "--fields", "colour"},
      {"fetch", "a.txt", "--version-hex", "abc"},
      {"fetch", "a.txt", "--range", "5"},
      {"fetch", "a.txt", "--range", "1:-2"},
      {"fetch", "a.txt", "--range", "99999999999999999999:1"},
      {"fetch", "a.txt", "--alignment", "4"},
      {"fetch", "a.txt", "--range", "0:1", "--alignment", "-4"},
      {"create", ":root", "x", "--type", "public.data", "--no-type"},
      {"--parallel", "item", "a.txt"},
      {"--domain"},
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    ToolRun run = runTool(args);
    EXPECT_EQ(run.status, 2) << shown;
    EXPECT_EQ(run.out, "") << shown;
    ASSERT_FALSE(run.err.empty()) << shown;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << shown << ": " << run.err;
    EXPECT_EQ(run.err.rfind("corvane-fpctl: ", 0), 0u) << shown << ": " << run.err;
  }
  EXPECT_TRUE(engine.requests().empty()) << "a usage error contacts nothing";

  // A bad line anywhere in a batch runs nothing and names its line.
  ToolRun batch = runTool({"batch"}, "item :root\nitem 'unterminated\n");
  EXPECT_EQ(batch.status, 2);
  EXPECT_NE(batch.err.find("line 2"), std::string::npos) << batch.err;
  EXPECT_TRUE(engine.requests().empty());

  for (const auto& args : std::vector<std::vector<std::string>>{{"--help"}, {"modify", "--help"}}) {
    ToolRun help = runTool(args);
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage"), std::string::npos) << help.out;
  }
}

TEST_F(FpctlTest, BatchRunsLinesInOrderWithTheirLineNumbers) {
  engine.onList(kScopeID, "", {makeEntry("a.txt")});
  const std::string input =
      "# a listing, then two lookups\n"
      "list :root\n"
      "\n"
      "item \"a.txt\"  # the file\n"
      "item 'no such.txt'\n";

  ToolRun run = runTool({"--json", "batch"}, input);
  EXPECT_EQ(run.status, 3) << "one line failed";
  auto lines = run.outLines();
  ASSERT_EQ(lines.size(), 3u) << run.out;
  auto list = parseJson(lines[0]);
  EXPECT_EQ(num((*list)["line"]), 2);
  EXPECT_EQ((*list)["items"].get_array().value().size(), 1u);
  auto item = parseJson(lines[1]);
  EXPECT_EQ(num((*item)["line"]), 4);
  EXPECT_EQ(str((*item)["item"]["identifier"].value()), "a.txt");
  auto missing = parseJson(lines[2]);
  EXPECT_EQ(num((*missing)["line"]), 5);
  EXPECT_EQ(num((*missing)["error"]["code"].value()), -1005);
  // One extension object: the scope was resolved once for all lines.
  EXPECT_EQ(engine.count("GET", "/v1/scopes"), 2u) << "default domain, then the extension's scope";

  ToolRun human = runTool({"batch"}, input);
  EXPECT_EQ(human.status, 3);
  EXPECT_EQ(human.out.rfind("2: KIND", 0), 0u) << human.out;
  EXPECT_NE(human.out.find("\n4: identifier: a.txt\n"), std::string::npos) << human.out;
  EXPECT_EQ(human.err,
            "5: error: item 'no such.txt': NSFileProviderErrorDomain -1005: no such item\n");
}

TEST_F(FpctlTest, ParallelBatchPrintsEachResultAsItCompletes) {
  engine.on("GET", scopePath("/list"), [](const Received& request) {
    const bool slow = request.queryValue("dir") == "slow";
    const Entry entry = makeEntry(slow ? "slow/s.txt" : "q.txt");
    return Reply{200, "{\"entries\":[" + toJson(entry) + "]}", slow ? 1500ms : 0ms};
  });

  ToolRun run =
      runTool({"--json", "--domain", kScopeID, "--parallel", "batch"}, "list slow\nitem q.txt\n");
  EXPECT_EQ(run.status, 0) << run.err;
  auto lines = run.outLines();
  ASSERT_EQ(lines.size(), 2u) << run.out;
  auto first = parseJson(lines[0]);
  auto second = parseJson(lines[1]);
  EXPECT_EQ(num((*first)["line"]), 2) << "the quick lookup was not held up by the slow listing";
  EXPECT_EQ(str((*first)["item"]["identifier"].value()), "q.txt");
  expectCompletion(*first);
  EXPECT_EQ(num((*second)["line"]), 1);
  EXPECT_EQ(str((*second)["items"].at(0).value()["identifier"].value()), "slow/s.txt");
}

TEST_F(FpctlTest, ListWithoutJsonIsAnAlignedTable) {
  engine.onList(kScopeID, "",
                {makeEntry("docs", true, 0, "x", 1715000000),
                 makeEntry("long name.jpeg", false, 123456, "r10", 0)});

  ToolRun run = runTool({"list", ":root"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            "KIND    SIZE  MODIFIED              VERSION  NAME\n"
            "dir        -  2024-05-06T12:53:20Z  dir      docs\n"
            "file  123456  1970-01-01T00:00:00Z  r10      long name.jpeg\n");
}

}  // namespace
}  // namespace corvane::testing
