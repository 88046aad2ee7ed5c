// What the S3 client sends, and when it sends a request again, checked
// against a scripted HTTP server (the store itself cannot be made to fail on
// cue): reads are retried through passing failures, writes never are, and
// paths, queries and headers go out in the exact form the signature covers.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "s3/credential_source.h"
#include "s3/region_discovery.h"
#include "s3/s3_client.h"
#include "support/test_engine.h"
#include "support/test_env.h"

namespace corvane::s3 {
namespace {

namespace fs = std::filesystem;
using testing::Received;
using testing::Reply;
using testing::TestEngine;

const auto* const kProcessLog =
    ::testing::AddGlobalTestEnvironment(new testing::ProcessLogEnvironment);

const char* const kSlowDown =
    "<?xml version=\"1.0\"?><Error><Code>SlowDown</Code><Message>Reduce your request rate."
    "</Message></Error>";
const char* const kInternal = "<Error><Code>InternalError</Code><Message></Message></Error>";
const char* const kEmptyListing =
    "<ListBucketResult><IsTruncated>false</IsTruncated>"
    "</ListBucketResult>";

class S3RequestsTest : public ::testing::Test {
 protected:
  S3RequestsTest() {
    config_.endpoint = "http://127.0.0.1:" + std::to_string(store_.port());
    config_.region = "eu-west-3";
    config_.credentials = {"AKIDEXAMPLE", "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY", ""};
    options_.connection.firstBackoff = std::chrono::milliseconds(1);
    options_.connection.maxBackoff = std::chrono::milliseconds(4);
  }

  S3Client client() const { return S3Client(config_, "bkt", options_); }

  // A handler that fails `failures` times with `failure`, then answers `then`.
  static testing::Handler failingFirst(int failures, Reply failure, Reply then) {
    auto count = std::make_shared<int>(0);
    return [=](const Received&) { return ++*count <= failures ? failure : then; };
  }

  testing::TestEnvironment env_;
  TestEngine store_;
  S3Config config_;
  S3ClientOptions options_;
};

TEST_F(S3RequestsTest, ReadsAreRetriedThroughPassingFailures) {
  struct Case {
    const char* name;
    Reply failure;
  };
  const Case cases[] = {
      {"503 SlowDown", Reply{503, kSlowDown}},
      {"500 InternalError", Reply{500, kInternal}},
      {"a dropped connection", Reply{200, "", {}, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store_.clearRequests();
    store_.on("GET", "/bkt/", failingFirst(2, c.failure, Reply{200, kEmptyListing}));
    store_.on("GET", "/bkt/object", failingFirst(2, c.failure, Reply{200, "content"}));
    EXPECT_TRUE(client().listPage("", "/").objects.empty());
    EXPECT_EQ(store_.count("GET", "/bkt/"), 3u);

    const fs::path file = env_.root() / "object";
    EXPECT_EQ(client().getToFile("object", file).length, 7u);
    EXPECT_EQ(store_.count("GET", "/bkt/object"), 3u);
  }
}

TEST_F(S3RequestsTest, ReadsGiveUpAfterTheirAttempts) {
  store_.on("GET", "/bkt/", Reply{503, kSlowDown});
  try {
    client().listPage("", "");
    FAIL() << "the listing succeeded";
  } catch (const S3Error& e) {
    EXPECT_EQ(e.httpStatus(), 503);
    EXPECT_EQ(e.code(), "SlowDown");
    EXPECT_EQ(e.detail(), "Reduce your request rate.");
    EXPECT_TRUE(e.isServerSide());
  }
  EXPECT_EQ(store_.count("GET", "/bkt/"),
            static_cast<std::size_t>(options_.connection.maxAttempts));
}

TEST_F(S3RequestsTest, FailuresThatWillNotPassAndWritesAreSentOnce) {
  store_.on("GET", "/bkt/", Reply{403, "<Error><Code>AccessDenied</Code></Error>"});
  store_.on("GET", "/bkt/gone", Reply{404, "<Error><Code>NoSuchKey</Code></Error>"});
  store_.on("PUT", "/bkt/object", Reply{503, kSlowDown});
  store_.on("DELETE", "/bkt/object", Reply{500, kInternal});

  EXPECT_THROW(client().listPage("", ""), S3Error);
  EXPECT_THROW(client().getToFile("gone", env_.root() / "gone"), S3Error);
  EXPECT_FALSE(fs::exists(env_.root() / "gone"));
  try {
    client().putBytes("object", "bytes");
    FAIL() << "the upload succeeded";
  } catch (const S3Error& e) {
    EXPECT_EQ(e.httpStatus(), 503);
  }
  EXPECT_THROW(client().remove("object"), S3Error);

  EXPECT_EQ(store_.count("GET", "/bkt/"), 1u);
  EXPECT_EQ(store_.count("GET", "/bkt/gone"), 1u);
  EXPECT_EQ(store_.count("PUT", "/bkt/object"), 1u);
  EXPECT_EQ(store_.count("DELETE", "/bkt/object"), 1u);
}

TEST_F(S3RequestsTest, RequestsGoOutInCanonicalForm) {
  store_.on("GET", "/bkt/", Reply{200, kEmptyListing});
  store_.on("PUT", "/bkt/dir/a%20b%2Bc%25~.txt", Reply{200, ""});
  store_.on("POST", "/bkt/", Reply{200, "<DeleteResult/>"});
  config_.credentials.sessionToken = "the-session-token";

  client().listPage("a b+c/", "/", "token/+=");
  client().putBytes("dir/a b+c%~.txt", "hello");
  client().removeMany({"x", "y & z"});

  const auto requests = store_.requests();
  ASSERT_EQ(requests.size(), 3u);
  const Received& list = requests[0];
  EXPECT_EQ(list.target,
            "/bkt/?continuation-token=token%2F%2B%3D&delimiter=%2F&encoding-type=url&list-type=2&"
            "max-keys=1000&prefix=a%20b%2Bc%2F");
  const Received& put = requests[1];
  EXPECT_EQ(put.body, "hello");
  // A body in memory is hashed (here: SHA-256 of "hello").
  EXPECT_EQ(put.header("x-amz-content-sha256"),
            "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824");
  const Received& del = requests[2];
  EXPECT_EQ(del.target, "/bkt/?delete=");
  EXPECT_TRUE(del.header("content-md5").has_value());
  EXPECT_NE(del.body.find("<Key>y &amp; z</Key>"), std::string::npos) << del.body;

  for (const Received& r : requests) {
    const std::string authorization = r.header("authorization").value_or("");
    EXPECT_EQ(authorization.rfind("AWS4-HMAC-SHA256 Credential=AKIDEXAMPLE/", 0), 0u)
        << authorization;
    EXPECT_NE(authorization.find("/eu-west-3/s3/aws4_request"), std::string::npos);
    EXPECT_NE(authorization.find("x-amz-content-sha256"), std::string::npos);
    EXPECT_EQ(r.header("x-amz-security-token"), "the-session-token");
    for (const auto& [name, value] : r.headers) {
      EXPECT_EQ(value.find(config_.credentials.secretAccessKey), std::string::npos) << name;
    }
  }
}

TEST_F(S3RequestsTest, FileBodiesAreNotHashed) {
  store_.on("PUT", "/bkt/f", Reply{200, ""});
  const fs::path file = env_.root() / "f";
  std::ofstream(file) << "file body";
  client().putFromFile("f", file);
  const auto requests = store_.requests("PUT", "/bkt/f");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].body, "file body");
  EXPECT_EQ(requests[0].header("x-amz-content-sha256"), "UNSIGNED-PAYLOAD");
}

// A source that hands out "token-1", "token-2", ... and counts its fetches.
std::shared_ptr<CredentialSource> countingSource(std::shared_ptr<std::atomic<int>> fetches) {
  return std::make_shared<CredentialSource>("the test", [fetches] {
    const std::string n = std::to_string(++*fetches);
    return TimedCredentials{{"AKID" + n, "secret" + n, "token-" + n}, {}};
  });
}

TEST_F(S3RequestsTest, ARefusedTokenIsRenewedAndTheRequestSentOnceMore) {
  struct Case {
    const char* name;
    Reply refusal;
    bool renews;
  };
  const Case cases[] = {
      {"ExpiredToken", {400, "<Error><Code>ExpiredToken</Code></Error>"}, true},
      {"InvalidToken", {400, "<Error><Code>InvalidToken</Code></Error>"}, true},
      {"TokenRefreshRequired", {400, "<Error><Code>TokenRefreshRequired</Code></Error>"}, true},
      {"AccessDenied", {403, "<Error><Code>AccessDenied</Code></Error>"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store_.clearRequests();
    auto fetches = std::make_shared<std::atomic<int>>(0);
    config_.credentialSource = countingSource(fetches);
    // A write: the refusal came before the store acted, so it may go again.
    store_.on("PUT", "/bkt/object", [&c](const Received& r) {
      return r.header("x-amz-security-token") == "token-1"
                 ? c.refusal
                 : Reply{200, "", {}, false, {{"ETag", "\"e\""}}};
    });
    if (c.renews) {
      EXPECT_EQ(client().putBytes("object", "bytes").etag, "\"e\"");
      const auto sent = store_.requests("PUT", "/bkt/object");
      ASSERT_EQ(sent.size(), 2u);
      EXPECT_NE(sent[1].header("authorization").value_or("").find("Credential=AKID2/"),
                std::string::npos);
      EXPECT_EQ(fetches->load(), 2);
    } else {
      EXPECT_THROW(client().putBytes("object", "bytes"), S3Error);
      EXPECT_EQ(store_.count("PUT", "/bkt/object"), 1u);
      EXPECT_EQ(fetches->load(), 1);
    }
  }

  // A store that refuses every token: one renewal, then its answer.
  store_.clearRequests();
  auto fetches = std::make_shared<std::atomic<int>>(0);
  config_.credentialSource = countingSource(fetches);
  store_.on("GET", "/bkt/", Reply{400, "<Error><Code>ExpiredToken</Code></Error>"});
  try {
    client().listPage("", "");
    ADD_FAILURE() << "the listing succeeded";
  } catch (const S3Error& e) {
    EXPECT_EQ(e.code(), "ExpiredToken");
  }
  EXPECT_EQ(store_.count("GET", "/bkt/"), 2u);
}

// The region a request was signed for: "eu-west-3" in ".../eu-west-3/s3/aws4_request".
std::string signedRegion(const Received& r) {
  const std::string authorization = r.header("authorization").value_or("");
  const auto end = authorization.find("/s3/aws4_request");
  if (end == std::string::npos) return {};
  const auto start = authorization.rfind('/', end - 1);
  return authorization.substr(start + 1, end - start - 1);
}

TEST_F(S3RequestsTest, TheBucketsRegionIsFoundAndFollowed) {
  const char* const kVersioning = "<VersioningConfiguration/>";
  // The store serves the bucket only to requests signed for "ap-south-1".
  auto inRegion = [](Reply refusal) {
    return [refusal](const Received& r) {
      return signedRegion(r) == "ap-south-1" ? Reply{200, "<VersioningConfiguration/>"} : refusal;
    };
  };
  const Reply malformed{400,
                        "<Error><Code>AuthorizationHeaderMalformed</Code><Message>the region "
                        "'us-east-1' is wrong; expecting 'ap-south-1'</Message>"
                        "<Region>ap-south-1</Region></Error>"};
  const Reply redirect{301,
                       "<Error><Code>PermanentRedirect</Code></Error>",
                       {},
                       false,
                       {{"x-amz-bucket-region", "ap-south-1"}}};
  struct Case {
    const char* name;
    bool regionKnown;
    Reply head;         // the answer to HEAD bucket
    Reply refusal;      // to the check signed for another region
    std::size_t heads;  // HEADs sent
    std::string region;
  };
  const Case cases[] = {
      {"HEAD names it",
       false,
       {200, "", {}, false, {{"x-amz-bucket-region", "ap-south-1"}}},
       malformed,
       1,
       "ap-south-1"},
      {"a redirected HEAD names it", false, redirect, redirect, 1, "ap-south-1"},
      {"a refused HEAD names it",
       false,
       {403, "", {}, false, {{"x-amz-bucket-region", "ap-south-1"}}},
       malformed,
       1,
       "ap-south-1"},
      {"the check's refusal names it", false, {400, ""}, malformed, 1, "ap-south-1"},
      {"a named region that is wrong is corrected", true, {200, ""}, malformed, 0, "ap-south-1"},
      {"a redirect of the check", true, {200, ""}, redirect, 0, "ap-south-1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store_.clearRequests();
    config_.region = "us-east-1";
    config_.regionKnown = c.regionKnown;
    store_.on("HEAD", "/bkt/", c.head);
    store_.on("GET", "/bkt/", inRegion(c.refusal));
    const OpenedBucket opened = openBucket(config_, "bkt", options_);
    EXPECT_EQ(opened.client->config().region, c.region);
    EXPECT_EQ(store_.count("HEAD", "/bkt/"), c.heads);
    const auto checks = store_.requests("GET", "/bkt/");
    ASSERT_FALSE(checks.empty());
    EXPECT_EQ(signedRegion(checks.back()), "ap-south-1");
    EXPECT_LE(checks.size(), 2u);
  }

  // A store that names no region keeps the first guess.
  store_.clearRequests();
  config_.regionKnown = false;
  store_.on("HEAD", "/bkt/", Reply{200, ""});
  store_.on("GET", "/bkt/", Reply{200, kVersioning});
  EXPECT_EQ(openBucket(config_, "bkt", options_).client->config().region, "us-east-1");
  // And one that keeps refusing names its refusal.
  store_.on("GET", "/bkt/", malformed);
  config_.regionKnown = true;
  EXPECT_THROW(openBucket(config_, "bkt", options_), S3Error);
  EXPECT_EQ(store_.count("GET", "/bkt/"), 3u);
}

TEST_F(S3RequestsTest, AnonymousRequestsGoUnsigned) {
  config_.credentialSource = CredentialSource::anonymous();
  config_.credentials.sessionToken = "not-sent";
  store_.on("GET", "/bkt/", Reply{200, kEmptyListing});
  client().listPage("", "");
  const auto requests = store_.requests("GET", "/bkt/");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_FALSE(requests[0].header("authorization"));
  EXPECT_FALSE(requests[0].header("x-amz-security-token"));
}

}  // namespace
}  // namespace corvane::s3
