// What a bucket scope knows without asking the store: the paths it learnt
// lately (KnownKeys), and what the store does with conditional writes
// (StoreCapabilities), found out once against a scripted store and kept in
// the scope's database.

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bucket_keys.h"
#include "change_log.h"
#include "known_keys.h"
#include "s3/s3_client.h"
#include "store_capabilities.h"
#include "support/test_env.h"

namespace corvane::testing {
namespace {

using syncengine::Conditions;
using syncengine::ItemEntry;
using syncengine::ItemState;
using syncengine::KnownKeys;

ItemState file(const std::string& version) {
  ItemState state;
  state.size = 1;
  state.version = version;
  return state;
}

// "missing", "unknown", "folder" or the file's version.
std::string told(const KnownKeys& known, const std::string& path) {
  const auto answer = known.find(path);
  if (!answer) return "unknown";
  if (!*answer) return "missing";
  return (*answer)->dir ? "folder" : (*answer)->version;
}

constexpr auto kLong = std::chrono::hours(1);

TEST(KnownKeysTest, AListingAnswersForItsChildrenAndTheirAbsence) {
  KnownKeys known(kLong, 1000);
  known.listed("docs", {{"docs/a.txt", file("v1")}, {"docs/sub", ItemState::folder()}}, false, true,
               KnownKeys::Clock::now());
  struct Case {
    const char* path;
    const char* expected;
  };
  for (const Case& c :
       {Case{"docs", "folder"}, Case{"docs/a.txt", "v1"}, Case{"docs/sub", "folder"},
        Case{"docs/b.txt", "missing"}, Case{"docs/sub/deeper.txt", "unknown"},
        Case{"other/x", "unknown"}, Case{"docs/a.txt/below", "missing"}}) {
    EXPECT_EQ(told(known, c.path), c.expected) << c.path;
  }
}

TEST(KnownKeysTest, AListingAskedBeforeAWriteDoesNotUndoIt) {
  KnownKeys known(kLong, 1000);
  const auto asked = KnownKeys::Clock::now();
  known.learnt("docs/new.txt", file("v2"));  // landed while the listing was on its way
  known.gone("docs/old.txt");
  known.listed("docs", {{"docs/old.txt", file("v0")}}, false, true, asked);
  EXPECT_EQ(told(known, "docs/new.txt"), "v2");
  EXPECT_EQ(told(known, "docs/old.txt"), "missing");
  // A later listing is the newer word.
  known.listed("docs", {{"docs/old.txt", file("v3")}}, false, true, KnownKeys::Clock::now());
  EXPECT_EQ(told(known, "docs/new.txt"), "missing");
  EXPECT_EQ(told(known, "docs/old.txt"), "v3");
}

// A move forgets its target before the copy lands: a listing of the target's
// folder asked before then must not tell the target missing when it answers.
TEST(KnownKeysTest, AListingAskedBeforeAForgetTellsNothingOfOtherPaths) {
  KnownKeys known(kLong, 1000);
  known.listed("dst", {{"dst/g.txt", file("v1")}}, false, true, KnownKeys::Clock::now());
  const auto asked = KnownKeys::Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(2));  // the forget comes strictly later
  known.forget("dst/h.txt");
  known.listed("dst", {{"dst/g.txt", file("v1")}}, false, true, asked);
  EXPECT_EQ(told(known, "dst/h.txt"), "unknown");
  EXPECT_EQ(told(known, "dst/g.txt"), "v1");
  known.listed("dst", {{"dst/g.txt", file("v1")}}, false, true, KnownKeys::Clock::now());
  EXPECT_EQ(told(known, "dst/h.txt"), "missing");
}

TEST(KnownKeysTest, WritesRemovalsAndForgettingChangeWhatIsKnown) {
  KnownKeys known(kLong, 1000);
  known.learnt("a/b/c.txt", file("v1"));
  EXPECT_EQ(told(known, "a"), "folder");
  EXPECT_EQ(told(known, "a/b"), "folder");
  known.gone("a");
  EXPECT_EQ(told(known, "a/b/c.txt"), "missing");
  known.madeFolder("n");
  EXPECT_EQ(told(known, "n/anything"), "missing");
  known.learnt("n/x", file("v1"));
  known.forget("n/x");
  EXPECT_EQ(told(known, "n/x"), "unknown");  // the folder's listing no longer tells
  EXPECT_EQ(told(known, "n"), "folder");
  // A folder listing that finds no key says no folder is there, not that
  // no file is.
  known.learnt("f.txt", file("v1"));
  known.listed("f.txt", {}, false, false, KnownKeys::Clock::now());
  EXPECT_EQ(told(known, "f.txt"), "v1");
  EXPECT_EQ(told(known, "f.txt/below"), "missing");
}

TEST(KnownKeysTest, AFolderKeepsItselfThroughItsMarkerOrAnItemStillIn) {
  KnownKeys known(kLong, 1000);
  const auto now = KnownKeys::Clock::now();
  known.listed("marked", {{"marked/a", file("v")}}, true, true, now);
  known.listed("bare", {{"bare/a", file("v")}, {"bare/b", file("v")}}, false, true, now);
  known.gone("marked/a");
  known.gone("bare/a");
  EXPECT_EQ(known.keepsItself("marked"), true);
  EXPECT_EQ(known.keepsItself("bare"), true);  // "bare/b" is still there
  known.gone("bare/b");
  EXPECT_EQ(known.keepsItself("bare"), false);
  EXPECT_EQ(known.keepsItself("never-listed"), std::nullopt);
}

TEST(KnownKeysTest, NothingIsTrustedPastItsTimeOrBeyondCapacity) {
  KnownKeys stale(std::chrono::nanoseconds(0), 1000);
  stale.learnt("x", file("v"));
  stale.listed("d", {}, true, true, KnownKeys::Clock::now());
  EXPECT_EQ(told(stale, "x"), "unknown");
  EXPECT_EQ(told(stale, "d/y"), "unknown");
  EXPECT_EQ(stale.keepsItself("d"), std::nullopt);

  KnownKeys small(kLong, 3);
  small.learnt("p", file("v"));
  EXPECT_EQ(told(small, "p"), "v");
  small.learnt("q/r/s/t", file("v"));  // five paths: over capacity, all forgotten
  EXPECT_EQ(told(small, "p"), "unknown");
}

// A store that answers a PUT as one kind of store does with its conditions,
// and counts the requests.
class ScriptedStore {
 public:
  explicit ScriptedStore(Conditions kind) : kind_(kind) {
    server_.Put(".*", [this](const httplib::Request& request, httplib::Response& response) {
      ++requests_;
      const bool ifNoneMatch = request.has_header("If-None-Match");
      const bool ifMatch = request.has_header("If-Match");
      std::lock_guard lock(mutex_);
      const bool exists = exists_.count(request.path) > 0;
      if ((ifNoneMatch || ifMatch) && kind_ == Conditions::unsupported) {
        response.status = 501;
        response.set_content(
            "<Error><Code>NotImplemented</Code><Message>conditions</Message></Error>",
            "application/xml");
        return;
      }
      if (kind_ == Conditions::honoured &&
          ((ifNoneMatch && exists) ||
           (ifMatch && (!exists || request.get_header_value("If-Match") != etag_)))) {
        response.status = 412;
        response.set_content("<Error><Code>PreconditionFailed</Code></Error>", "application/xml");
        return;
      }
      exists_.insert(request.path);
      response.set_header("ETag", etag_);
      response.status = 200;
    });
    server_.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
      ++requests_;
      std::lock_guard lock(mutex_);
      if (!exists_.count(request.path)) {
        response.status = 404;
        return;
      }
      response.set_header("ETag", etag_);
      response.set_header("Content-Length", "0");
      response.set_header("Last-Modified", "Mon, 01 Jan 2024 00:00:00 GMT");
      response.status = 200;
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~ScriptedStore() {
    server_.stop();
    thread_.join();
  }
  s3::S3Config config() const {
    s3::S3Config config;
    config.endpoint = "http://127.0.0.1:" + std::to_string(port_);
    config.addressing = s3::S3Addressing::path;
    config.region = "us-east-1";
    config.credentials.accessKeyId = "AKIDEXAMPLE";
    config.credentials.secretAccessKey = "secret";
    return config;
  }
  int requests() const { return requests_.load(); }

 private:
  const Conditions kind_;
  const std::string etag_ = "\"d41d8cd98f00b204e9800998ecf8427e\"";
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<int> requests_{0};
  std::mutex mutex_;
  std::set<std::string> exists_;  // guarded by mutex_
};

TEST(StoreCapabilitiesTest, FindsOutOnceWhatTheStoreDoesWithConditionsAndKeepsIt) {
  for (const Conditions kind :
       {Conditions::honoured, Conditions::unsupported, Conditions::ignored}) {
    SCOPED_TRACE(syncengine::conditionsText(kind));
    TestEnvironment env;
    ScriptedStore store(kind);
    const s3::S3Client client(store.config(), "bucket");
    const std::string probe = "scope/" + std::string(syncengine::kProbeName);
    const auto logFile = env.root() / "scope.db";
    {
      syncengine::ChangeLog log(logFile, "s3 scripted", 1000);
      syncengine::StoreCapabilities capabilities(client, probe);
      capabilities.settle(&log, "docs");
      EXPECT_EQ(capabilities.ifNoneMatch(), kind);
      EXPECT_EQ(capabilities.ifMatch(), kind);
      EXPECT_GT(store.requests(), 0);
    }
    // A restart takes what was found out, and asks nothing.
    const int before = store.requests();
    syncengine::ChangeLog log(logFile, "s3 scripted", 1000);
    syncengine::StoreCapabilities again(client, probe);
    again.settle(&log, "docs");
    EXPECT_EQ(again.ifNoneMatch(), kind);
    EXPECT_EQ(again.ifMatch(), kind);
    EXPECT_EQ(store.requests(), before);
  }
}

TEST(StoreCapabilitiesTest, AProbeTheStoreFailsDecidesNothingAndIsNotKept) {
  TestEnvironment env;
  s3::S3Config config;
  config.endpoint = "http://127.0.0.1:1";  // nothing listens
  config.addressing = s3::S3Addressing::path;
  config.region = "us-east-1";
  config.credentials.accessKeyId = "AKIDEXAMPLE";
  config.credentials.secretAccessKey = "secret";
  s3::S3ClientOptions options;
  options.connection.maxAttempts = 1;
  const s3::S3Client client(config, "bucket", options);
  syncengine::ChangeLog log(env.root() / "scope.db", "s3 unreachable", 1000);
  syncengine::StoreCapabilities capabilities(client, "probe");
  capabilities.settle(&log, "docs");
  EXPECT_EQ(capabilities.ifNoneMatch(), Conditions::unknown);
  EXPECT_EQ(capabilities.ifMatch(), Conditions::unknown);
  EXPECT_FALSE(log.storageNote("conditions.if_none_match").has_value());
}

}  // namespace
}  // namespace corvane::testing
