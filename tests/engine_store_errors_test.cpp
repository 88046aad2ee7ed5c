// The engine's answers when a bucket's store refuses with a reason, against
// a scripted store: the status the host maps (403 for what the user may not
// do, 502 for settings that do not fit the store) and the sentence the user
// reads, with the store's advice, each in one line of the engine's log.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>

#include "engine/json_text.h"
#include "support/engine_process.h"
#include "support/files.h"
#include "support/test_engine.h"
#include "support/test_env.h"

namespace corvane::testing {
namespace {

namespace fs = std::filesystem;

const char* const kEmptyListing =
    "<ListBucketResult><IsTruncated>false</IsTruncated></ListBucketResult>";
// The bucket holds a.txt, as its HEAD answer says.
const char* const kListing =
    "<ListBucketResult><IsTruncated>false</IsTruncated><Contents><Key>a.txt</Key>"
    "<LastModified>2026-12-10T13:49:24.000Z</LastModified>"
    "<ETag>&quot;5d41402abc4b2a76b9719d911017c592&quot;</ETag><Size>5</Size></Contents>"
    "</ListBucketResult>";

class StoreRefusalTest : public ::testing::Test {
 protected:
  StoreRefusalTest() {
    store.on("GET", "/bkt/", [](const Received& r) {
      if (r.queryValue("versioning")) return Reply{200, "<VersioningConfiguration/>"};
      // Only a listing whose prefix a.txt starts with holds it.
      const std::string prefix = r.queryValue("prefix").value_or("");
      if (std::string_view("a.txt").starts_with(prefix)) return Reply{200, kListing};
      return Reply{200, kEmptyListing};
    });
    store.on("HEAD", "/bkt/a.txt",
             Reply{200, "hello", {}, false,
                   {{"ETag", "\"5d41402abc4b2a76b9719d911017c592\""},
                    {"Last-Modified", "Thu, 10 Dec 2026 13:49:24 GMT"}}});
    store.on("HEAD", "/bkt/n.txt", Reply{404, ""});
    ::setenv("AWS_ACCESS_KEY_ID", "AKIDEXAMPLE", 1);
    ::setenv("AWS_SECRET_ACCESS_KEY", "secret", 1);
    ::unsetenv("AWS_SESSION_TOKEN");
    EngineProcess::Options o;
    o.binary = CORVANE_BIN_DIR "/corvane-engine";
    o.extraArguments = {"--scope=b=s3://bkt",
                        "--s3-endpoint=http://127.0.0.1:" + std::to_string(store.port()),
                        "--s3-region=eu-west-3"};
    engine = std::make_unique<EngineProcess>(o);
    http = engine->client();
  }

  EngineReply post(const std::string& operation, const std::string& json) {
    return enginePost(*http, "/v1/scopes/s3-1/" + operation, json);
  }

  TestEnvironment env;
  TestEngine store;
  std::unique_ptr<EngineProcess> engine;
  std::unique_ptr<httplib::Client> http;
};

TEST_F(StoreRefusalTest, EachRefusalHasItsStatusAndAdvice) {
  struct Case {
    const char* name;
    const char* operation;  // fetch a.txt, delete a.txt or upload n.txt
    const char* method;
    const char* path;
    Reply reply;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {"an archived object", "fetch", "GET", "/bkt/a.txt",
       Reply{403,
             "<Error><Code>InvalidObjectState</Code><StorageClass>GLACIER</StorageClass></Error>"},
       403, "the object is in the archive storage class GLACIER: restore it first"},
      {"Object Lock", "delete", "DELETE", "/bkt/a.txt",
       Reply{403,
             "<Error><Code>AccessDenied</Code><Message>Access Denied because object protected "
             "by object lock.</Message></Error>"},
       403, "Object Lock keeps the object as it is"},
      {"a policy that forbids writes", "upload", "PUT", "/bkt/n.txt",
       Reply{403, "<Error><Code>AccessDenied</Code></Error>"}, 403,
       "serve the scope with --read-only if it is meant to be read only"},
      {"expired credentials", "fetch", "GET", "/bkt/a.txt",
       Reply{400, "<Error><Code>ExpiredToken</Code></Error>"}, 403,
       "the temporary credentials have expired"},
      {"a skewed clock", "fetch", "GET", "/bkt/a.txt",
       Reply{403, "<Error><Code>RequestTimeTooSkewed</Code></Error>"}, 502,
       "the clock of this machine is off the store's"},
      {"another region", "fetch", "GET", "/bkt/a.txt",
       Reply{301, "<Error><Code>PermanentRedirect</Code></Error>", {}, false,
             {{"x-amz-bucket-region", "eu-central-1"}}},
       502, "give --s3-region eu-central-1"},
      {"not a store", "fetch", "GET", "/bkt/a.txt",
       Reply{404, "<html></html>", {}, false, {{"Content-Type", "text/html"}}}, 502,
       "the endpoint answered 404 with text/html"},
  };
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store.on(c.method, c.path, c.reply);
    const std::string operation = c.operation;
    EngineReply reply;
    if (operation == "fetch") {
      reply = post("fetch", JsonObjectWriter()
                                .addString("path", "a.txt")
                                .addString("dest", (env.root() / ("got" + std::to_string(round++)))
                                                       .string())
                                .str());
    } else if (operation == "delete") {
      reply = post("delete", JsonObjectWriter().addStringArray("paths", {"a.txt"}).str());
    } else {
      const fs::path source = env.root() / "source";
      writeFile(source, "new");
      reply = post("upload", JsonObjectWriter()
                                 .addString("path", "n.txt")
                                 .addString("source", source.string())
                                 .addString("version", "")
                                 .str());
    }
    EXPECT_EQ(reply.status, c.status) << reply.body;
    EXPECT_NE(reply.body.find(c.says), std::string::npos) << reply.body;
    // One line of the log tells it.
    const std::string output = engine->output();
    std::size_t lines = 0;
    for (std::size_t at = output.find(c.says); at != std::string::npos;
         at = output.find(c.says, at + 1)) {
      ++lines;
    }
    EXPECT_EQ(lines, 1u) << output;
  }
}

// A store that does not implement versioning answers the question with 501;
// its bucket is served as an unversioned one.
TEST(StoreWithoutVersioningTest, ItsBucketIsServed) {
  TestEngine store;
  store.on("GET", "/bkt/", [](const Received& r) {
    if (r.queryValue("versioning")) {
      return Reply{501, "<Error><Code>NotImplemented</Code></Error>"};
    }
    return Reply{200, kListing};
  });
  ::setenv("AWS_ACCESS_KEY_ID", "AKIDEXAMPLE", 1);
  ::setenv("AWS_SECRET_ACCESS_KEY", "secret", 1);
  ::unsetenv("AWS_SESSION_TOKEN");
  EngineProcess::Options o;
  o.binary = CORVANE_BIN_DIR "/corvane-engine";
  o.extraArguments = {"--scope=b=s3://bkt", "--read-only=b",
                      "--s3-endpoint=http://127.0.0.1:" + std::to_string(store.port()),
                      "--s3-region=eu-west-3"};
  EngineProcess engine(o);
  auto http = engine.client();
  const EngineReply listed = engineGet(*http, "/v1/scopes/s3-1/list?dir=");
  EXPECT_EQ(listed.status, 200) << listed.body << engine.output();
  EXPECT_NE(listed.body.find("a.txt"), std::string::npos) << listed.body;
}

}  // namespace
}  // namespace corvane::testing
