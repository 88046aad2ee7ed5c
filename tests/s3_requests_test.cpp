// What the S3 client sends, and when it sends a request again, checked
// against a scripted HTTP server (the store itself cannot be made to fail on
// cue): reads are retried through passing failures, writes never are, and
// paths, queries and headers go out in the exact form the signature covers.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <sstream>
#include <thread>
#include <mutex>
#include <filesystem>
#include <fstream>
#include <string>

#include "host_log.h"
#include "s3/credential_source.h"
#include "s3/region_discovery.h"
#include "s3/s3_client.h"
#include "s3/sigv4.h"
#include "support/tcp_relay.h"
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
    // A failure that does not pass ends a test within seconds.
    options_.connection.retryBudget = std::chrono::seconds(5);
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
  options_.connection.maxAttempts = 4;
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

TEST_F(S3RequestsTest, FailuresThatWillNotPassAreSentOnce) {
  store_.on("GET", "/bkt/", Reply{403, "<Error><Code>AccessDenied</Code></Error>"});
  store_.on("GET", "/bkt/gone", Reply{404, "<Error><Code>NoSuchKey</Code></Error>"});
  store_.on("PUT", "/bkt/object", Reply{400, "<Error><Code>InvalidArgument</Code></Error>"});
  store_.on("DELETE", "/bkt/object", Reply{403, "<Error><Code>AccessDenied</Code></Error>"});

  EXPECT_THROW(client().listPage("", ""), S3Error);
  EXPECT_THROW(client().getToFile("gone", env_.root() / "gone"), S3Error);
  EXPECT_FALSE(fs::exists(env_.root() / "gone"));
  try {
    client().putBytes("object", "bytes");
    FAIL() << "the upload succeeded";
  } catch (const S3Error& e) {
    EXPECT_EQ(e.httpStatus(), 400);
    EXPECT_FALSE(e.afterLostAnswer());
  }
  EXPECT_THROW(client().remove("object"), S3Error);

  EXPECT_EQ(store_.count("GET", "/bkt/"), 1u);
  EXPECT_EQ(store_.count("GET", "/bkt/gone"), 1u);
  EXPECT_EQ(store_.count("PUT", "/bkt/object"), 1u);
  EXPECT_EQ(store_.count("DELETE", "/bkt/object"), 1u);
}

// Writes have the same effect when sent again with the same bytes, so they
// are retried like reads, the body sent whole each time.
TEST_F(S3RequestsTest, WritesAreRetriedThroughPassingFailures) {
  struct Case {
    const char* name;
    Reply failure;
  };
  const Case cases[] = {
      {"503 SlowDown", Reply{503, kSlowDown}},
      {"a dropped connection", Reply{200, "", {}, true}},
      {"409 ConditionalRequestConflict",
       Reply{409, "<Error><Code>ConditionalRequestConflict</Code></Error>"}},
      {"200 with an error inside", Reply{200, kInternal}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store_.clearRequests();
    store_.on("PUT", "/bkt/object", failingFirst(2, c.failure, Reply{200, ""}));
    store_.on("DELETE", "/bkt/object", failingFirst(2, c.failure, Reply{204, ""}));
    store_.on("POST", "/bkt/", failingFirst(2, c.failure, Reply{200, "<DeleteResult/>"}));
    store_.on("PUT", "/bkt/copy",
              failingFirst(2, c.failure,
                           Reply{200, "<CopyObjectResult><ETag>\"e\"</ETag></CopyObjectResult>"}));
    const bool inBody = c.failure.status == 200 && !c.failure.drop;
    if (!inBody) {
      // Only copies and completions read an error inside a 200.
      client().putBytes("object", "bytes");
      client().remove("object");
      EXPECT_TRUE(client().removeMany({"a", "b"}).empty());
      EXPECT_EQ(store_.count("PUT", "/bkt/object"), 3u);
      EXPECT_EQ(store_.count("DELETE", "/bkt/object"), 3u);
      EXPECT_EQ(store_.count("POST", "/bkt/"), 3u);
      for (const Received& r : store_.requests("PUT", "/bkt/object")) EXPECT_EQ(r.body, "bytes");
    }
    S3CopyOptions known;
    known.sourceIfMatch = "\"e\"";
    known.sourceSize = 5;
    EXPECT_EQ(client().copy("object", "copy", known).etag, "\"e\"");
    EXPECT_EQ(store_.count("PUT", "/bkt/copy"), 3u);
  }
}

// The store's Retry-After is honoured, and a wait past the budget is not
// waited out: the failure comes at once.
TEST_F(S3RequestsTest, RetryAfterIsHonouredWithinTheBudget) {
  store_.on("GET", "/bkt/",
            failingFirst(1, Reply{503, kSlowDown, {}, false, {{"Retry-After", "1"}}},
                         Reply{200, kEmptyListing}));
  const auto start = std::chrono::steady_clock::now();
  client().listPage("", "");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(store_.count("GET", "/bkt/"), 2u);

  store_.clearRequests();
  store_.on("GET", "/bkt/", Reply{503, kSlowDown, {}, false, {{"Retry-After", "3600"}}});
  EXPECT_THROW(client().listPage("", ""), S3Error);
  EXPECT_EQ(store_.count("GET", "/bkt/"), 1u);

  // Without a cap on the tries, the budget ends them.
  store_.clearRequests();
  options_.connection.retryBudget = std::chrono::milliseconds(300);
  store_.on("GET", "/bkt/", Reply{503, kSlowDown});
  EXPECT_THROW(client().listPage("", ""), S3Error);
  EXPECT_GT(store_.count("GET", "/bkt/"), 2u);
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

// The store's clock wins: after RequestTimeTooSkewed the request is signed
// again with the time of the store's Date header, and so are the next ones.
TEST_F(S3RequestsTest, ASkewedClockIsCorrectedFromTheStoresDate) {
  const auto storeTime = std::chrono::system_clock::now() + std::chrono::hours(2);
  const std::string storeDate = amzDate(storeTime);
  const std::string httpDate = [&] {
    char text[64];
    const std::time_t t = std::chrono::system_clock::to_time_t(storeTime);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return std::string(text);
  }();
  // The store refuses any request signed more than a minute from its time.
  const testing::Handler storeClock = [&](const Received& r) {
    const std::string signedAt = r.header("x-amz-date").value_or("");
    if (signedAt.substr(0, 12) != storeDate.substr(0, 12)) {
      return Reply{403,
                   "<Error><Code>RequestTimeTooSkewed</Code><Message>The difference between "
                   "the request time and the current time is too large.</Message></Error>",
                   {},
                   false,
                   {{"Date", httpDate}}};
    }
    return Reply{200, r.method == "GET" ? kEmptyListing : ""};
  };
  store_.on("GET", "/bkt/", storeClock);
  store_.on("PUT", "/bkt/k", storeClock);
  const S3Client skewed = client();
  // Writes too: a refused signature means the store did nothing.
  skewed.putBytes("k", "bytes");
  EXPECT_EQ(store_.count("PUT", "/bkt/k"), 2u);
  EXPECT_TRUE(skewed.listPage("", "/").objects.empty());
  EXPECT_EQ(store_.count("GET", "/bkt/"), 1u);

  // Without a time to learn from, the refusal stands after one try.
  store_.clearRequests();
  store_.on("GET", "/bkt/", Reply{403, "<Error><Code>RequestTimeTooSkewed</Code></Error>"});
  try {
    client().listPage("", "/");
    FAIL() << "the listing succeeded";
  } catch (const S3Error& e) {
    EXPECT_EQ(e.code(), "RequestTimeTooSkewed");
  }
  EXPECT_EQ(store_.count("GET", "/bkt/"), 1u);
}

// Credentials are asked for at every try; a refusal as expired renews them
// once and the request goes again with the new ones.
TEST_F(S3RequestsTest, ExpiredCredentialsAreRenewedAndTheRequestSentAgain) {
  std::mutex mutex;
  std::string current = "OLDKEY";
  int renewals = 0;
  options_.connection.credentials = [&] {
    std::lock_guard lock(mutex);
    return S3Credentials{current, "secret", "token-of-" + current};
  };
  options_.connection.credentialsRefused = [&](const S3Credentials& refused) {
    std::lock_guard lock(mutex);
    ++renewals;
    EXPECT_EQ(refused.accessKeyId, current);
    current = "NEWKEY";
  };
  store_.on("PUT", "/bkt/k", [](const Received& r) {
    const std::string authorization = r.header("authorization").value_or("");
    if (authorization.find("Credential=OLDKEY/") != std::string::npos) {
      return Reply{400, "<Error><Code>ExpiredToken</Code></Error>"};
    }
    return Reply{200, ""};
  });
  client().putBytes("k", "bytes");
  client().putBytes("k", "bytes");
  const auto puts = store_.requests("PUT", "/bkt/k");
  ASSERT_EQ(puts.size(), 3u);
  EXPECT_EQ(puts[0].header("x-amz-security-token"), "token-of-OLDKEY");
  EXPECT_EQ(puts[1].header("x-amz-security-token"), "token-of-NEWKEY");
  EXPECT_EQ(puts[2].body, "bytes");
  EXPECT_EQ(renewals, 1);

  // Credentials that stay refused fail the request after one renewal.
  store_.on("PUT", "/bkt/k", Reply{403, "<Error><Code>InvalidToken</Code></Error>"});
  try {
    client().putBytes("k", "bytes");
    FAIL() << "the upload succeeded";
  } catch (const S3Error& e) {
    EXPECT_EQ(e.code(), "InvalidToken");
  }
  EXPECT_EQ(renewals, 2);
}

TEST_F(S3RequestsTest, AnonymousRequestsCarryNoSignature) {
  options_.connection.credentials = [] { return S3Credentials{}; };
  store_.on("GET", "/bkt/", Reply{200, kEmptyListing});
  client().listPage("", "/");
  const auto requests = store_.requests("GET", "/bkt/");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_FALSE(requests[0].header("authorization").has_value());
  EXPECT_FALSE(requests[0].header("x-amz-date").has_value());
}

TEST_F(S3RequestsTest, VirtualHostedRequestsNameTheBucketInTheSignedHost) {
  const std::string port = std::to_string(store_.port());
  config_.endpoint = "http://s3.corvane.test:" + port;
  config_.addressing = S3Addressing::virtualHosted;
  options_.connection.resolve = {"bkt.s3.corvane.test:" + port + ":127.0.0.1"};
  store_.on("GET", "/", Reply{200, kEmptyListing});
  store_.on("PUT", "/a%20b", Reply{200, ""});
  client().listPage("p/", "/");
  client().putBytes("a b", "x");
  const auto requests = store_.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].target, "/?delimiter=%2F&encoding-type=url&list-type=2&max-keys=1000&prefix=p%2F");
  for (const Received& r : requests) {
    EXPECT_EQ(r.header("host"), "bkt.s3.corvane.test:" + port);
    EXPECT_NE(r.header("authorization").value_or("").find("host;x-amz-content-sha256;x-amz-date,"),
              std::string::npos);
  }
}

// The connection of a refused write may hold the part of its body the
// store did not read: it serves no further request. Other connections do.
TEST_F(S3RequestsTest, TheConnectionOfARefusedWriteIsNotReused) {
  store_.on("GET", "/bkt/", Reply{200, kEmptyListing});
  store_.on("PUT", "/bkt/refused", Reply{403, "<Error><Code>AccessDenied</Code></Error>"});
  store_.on("PUT", "/bkt/taken", Reply{200, ""});
  const S3Client one = client();
  one.listPage("", "");
  EXPECT_THROW(one.putBytes("refused", "body"), S3Error);
  one.listPage("", "");
  one.putBytes("taken", "body");
  one.listPage("", "");
  const auto requests = store_.requests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[1].clientPort, requests[0].clientPort);  // reused before the refusal
  EXPECT_NE(requests[2].clientPort, requests[1].clientPort);  // a new one after it
  EXPECT_EQ(requests[3].clientPort, requests[2].clientPort);
  EXPECT_EQ(requests[4].clientPort, requests[3].clientPort);
}

// A conditional write whose first answer was lost and whose retry is
// refused: the write landed when the object now holds the bytes sent.
TEST_F(S3RequestsTest, ARefusalAfterALostAnswerIsCheckedAgainstTheBytesSent) {
  const std::string helloMd5 = "5d41402abc4b2a76b9719d911017c592";
  for (const bool landed : {true, false}) {
    SCOPED_TRACE(landed);
    store_.clearRequests();
    store_.on("PUT", "/bkt/k",
              failingFirst(1, Reply{200, "", {}, true},
                           Reply{412, "<Error><Code>PreconditionFailed</Code></Error>"}));
    const std::string etag = landed ? helloMd5 : "0123456789abcdef0123456789abcdef";
    store_.on("HEAD", "/bkt/k", Reply{200, "hello", {}, false, {{"ETag", "\"" + etag + "\""}}});
    S3PutOptions create;
    create.ifNoneMatch = true;
    if (landed) {
      EXPECT_EQ(client().putBytes("k", "hello", create).etag, "\"" + helloMd5 + "\"");
    } else {
      try {
        client().putBytes("k", "hello", create);
        FAIL() << "the conflict was taken for our own write";
      } catch (const S3Error& e) {
        EXPECT_TRUE(e.isPreconditionFailed());
        EXPECT_TRUE(e.afterLostAnswer());
      }
    }
    EXPECT_EQ(store_.count("PUT", "/bkt/k"), 2u);
    EXPECT_EQ(store_.count("HEAD", "/bkt/k"), 1u);
  }
}

// A multipart upload from a scripted store: two parts of "abcdefghij".
class S3MultipartRequestsTest : public S3RequestsTest {
 protected:
  S3MultipartRequestsTest() {
    options_.multipartThreshold = 10;
    options_.uploadPartSize = 8;
    file_ = env_.root() / "ten";
    std::ofstream(file_) << "abcdefghij";
    store_.on("POST", "/bkt/k", [this](const Received& r) {
      if (r.queryValue("uploads")) {
        return Reply{200, "<InitiateMultipartUploadResult><UploadId>U1</UploadId>"
                          "</InitiateMultipartUploadResult>"};
      }
      return complete_(r);
    });
    store_.on("PUT", "/bkt/k", [](const Received& r) {
      const std::string etag = r.body == "abcdefgh" ? "e8dc4081b13434b45189a720b77b6818"
                                                    : "7bed657a775c37c2570786d0cbeefd88";
      return Reply{200, "", {}, false, {{"ETag", "\"" + etag + "\""}}};
    });
    store_.on("DELETE", "/bkt/k", Reply{204, ""});
  }

  std::size_t aborts() const { return store_.count("DELETE", "/bkt/k"); }

  fs::path file_;
  testing::Handler complete_;
};

TEST_F(S3MultipartRequestsTest, PartsCarryTheirDigest) {
  complete_ = [](const Received&) { return Reply{200, "<CompleteMultipartUploadResult/>"}; };
  store_.on("HEAD", "/bkt/k", Reply{200, "abcdefghij"});
  client().putFromFile("k", file_);
  const auto parts = store_.requests("PUT", "/bkt/k");
  ASSERT_EQ(parts.size(), 2u);
  for (const Received& part : parts) {
    EXPECT_EQ(part.header("content-md5"),
              part.body == "abcdefgh" ? "6NxAgbE0NLRRiacgt3toGA==" : "e+1lendcN8JXB4bQy+79iA==");
  }
  EXPECT_EQ(aborts(), 0u);
}

// A completion whose answer was lost, then NoSuchUpload: the upload was
// completed when the object has the ETag the parts make.
TEST_F(S3MultipartRequestsTest, ACompletionWhoseAnswerWasLostIsFoundByItsEtag) {
  complete_ = failingFirst(1, Reply{200, "", {}, true},
                           Reply{404, "<Error><Code>NoSuchUpload</Code></Error>"});
  store_.on("HEAD", "/bkt/k",
            Reply{200, "abcdefghij", {}, false,
                  {{"ETag", "\"83b4d77c56fe20f85c6e50a48d229a45-2\""}}});
  EXPECT_EQ(client().putFromFile("k", file_).etag, "\"83b4d77c56fe20f85c6e50a48d229a45-2\"");
  EXPECT_EQ(aborts(), 0u);
}

// A completion refused for good is aborted; one that kept failing without a
// clear answer is not, since it may have landed or still be landing.
TEST_F(S3MultipartRequestsTest, OnlyARefusedCompletionIsAborted) {
  store_.on("HEAD", "/bkt/k", Reply{404, ""});
  complete_ = [](const Received&) {
    return Reply{400, "<Error><Code>InvalidPart</Code></Error>"};
  };
  EXPECT_THROW(client().putFromFile("k", file_), S3Error);
  EXPECT_EQ(aborts(), 1u);

  store_.clearRequests();
  options_.connection.retryBudget = std::chrono::milliseconds(200);
  complete_ = [](const Received&) { return Reply{503, kSlowDown}; };
  EXPECT_THROW(client().putFromFile("k", file_), S3Error);
  EXPECT_GT(store_.requests("POST", "/bkt/k").size(), 2u);
  EXPECT_EQ(aborts(), 0u);
}

// Content-MD5 goes with every upload, and the store's ETag must be the MD5
// of the bytes sent, unless the store encrypts with a key (then it is not).
TEST_F(S3RequestsTest, UploadsCarryTheirDigestAndTheStoresEtagIsChecked) {
  const std::string helloMd5 = "\"5d41402abc4b2a76b9719d911017c592\"";
  store_.on("PUT", "/bkt/good", Reply{200, "", {}, false, {{"ETag", helloMd5}}});
  store_.on("PUT", "/bkt/bad",
            Reply{200, "", {}, false, {{"ETag", "\"0123456789abcdef0123456789abcdef\""}}});
  store_.on("PUT", "/bkt/kms",
            Reply{200, "", {}, false,
                  {{"ETag", "\"0123456789abcdef0123456789abcdef\""},
                   {"x-amz-server-side-encryption", "aws:kms"}}});
  EXPECT_EQ(client().putBytes("good", "hello").etag, helloMd5);
  const fs::path file = env_.root() / "hello";
  std::ofstream(file) << "hello";
  EXPECT_EQ(client().putFromFile("good", file).etag, helloMd5);
  for (const Received& r : store_.requests("PUT", "/bkt/good")) {
    EXPECT_EQ(r.header("content-md5"), "XUFAKrxLKna5cZ2REBfFkg==");
  }
  try {
    client().putBytes("bad", "hello");
    FAIL() << "a changed body was taken";
  } catch (const S3Error& e) {
    EXPECT_EQ(e.kind(), S3Error::Kind::kProtocol);
  }
  EXPECT_NO_THROW(client().putBytes("kms", "hello"));
}

// The engine's log lines of this test, from a file of its own.
class HostLogCapture {
 public:
  explicit HostLogCapture(fs::path file) : file_(std::move(file)) {
    hostlog::Settings settings;
    settings.tool = "s3_requests_test";
    settings.toStandardError = false;
    settings.file = file_;
    hostlog::start(settings);
  }
  // The lines that hold `text`.
  std::vector<std::string> linesWith(const std::string& text) const {
    hostlog::flush();
    std::ifstream in(file_);
    std::vector<std::string> found;
    for (std::string line; std::getline(in, line);) {
      if (line.find(text) != std::string::npos) found.push_back(line);
    }
    return found;
  }

 private:
  fs::path file_;
};

class S3StallTest : public S3RequestsTest {
 protected:
  S3StallTest() : log_(env_.root() / "engine.log") {
    options_.connection.silenceLimit = std::chrono::milliseconds(300);
    options_.connection.storeState = [this](const StoreState& state) {
      std::lock_guard lock(mutex_);
      states_.push_back(state.answering);
    };
  }
  std::vector<bool> states() {
    std::lock_guard lock(mutex_);
    return states_;
  }

  HostLogCapture log_;
  std::mutex mutex_;
  std::vector<bool> states_;  // guarded by mutex_
};

// A store that takes the request and never answers: every try ends at its
// first-byte deadline, the request within its budget, and the silence is
// told once.
TEST_F(S3StallTest, AStoreThatNeverAnswersIsToldAndGivenUpOn) {
  testing::SilentPort silent;
  config_.endpoint = silent.endpoint();
  options_.connection.firstByteTimeout = std::chrono::seconds(1);
  options_.connection.retryBudget = std::chrono::milliseconds(2500);
  try {
    client().listPage("", "");
    FAIL() << "a silent store answered";
  } catch (const S3Error& e) {
    EXPECT_EQ(e.kind(), S3Error::Kind::kConnection);
    EXPECT_NE(std::string(e.what()).find("no answer within 1 s"), std::string::npos) << e.what();
  }
  EXPECT_EQ(states(), std::vector<bool>{false});
  const auto lines = log_.linesWith("is not answering");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("the store at " + silent.endpoint() + " is not answering ("),
            std::string::npos)
      << lines[0];
}

TEST_F(S3StallTest, AStoreThatAnswersLateIsToldAsAnsweringAgain) {
  store_.on("GET", "/bkt/", Reply{200, kEmptyListing, std::chrono::milliseconds(1500)});
  store_.on("PUT", "/bkt/k", Reply{200, ""});
  client().listPage("", "");
  EXPECT_EQ(states(), (std::vector<bool>{false, true}));
  EXPECT_EQ(log_.linesWith("is not answering").size(), 1u);
  const auto back = log_.linesWith("answers again after");
  ASSERT_EQ(back.size(), 1u);
  EXPECT_NE(back[0].find(config_.endpoint), std::string::npos) << back[0];
  // A store that answers in time is not told about.
  client().putBytes("k", "x");
  EXPECT_EQ(states().size(), 2u);
}

// stop() ends what waits, whether for an answer or between tries.
TEST_F(S3StallTest, StoppingEndsWaitingRequestsAtOnce) {
  testing::SilentPort silent;
  store_.on("GET", "/bkt/", Reply{503, kSlowDown, {}, false, {{"Retry-After", "30"}}});
  options_.connection.retryBudget = std::chrono::minutes(5);
  for (const bool answers : {false, true}) {
    SCOPED_TRACE(answers);
    if (!answers) config_.endpoint = silent.endpoint();
    if (answers) config_.endpoint = "http://127.0.0.1:" + std::to_string(store_.port());
    const S3Client waiting = client();
    std::thread stopper([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      waiting.stop();
    });
    const auto start = std::chrono::steady_clock::now();
    try {
      waiting.listPage("", "");
      ADD_FAILURE() << "the listing succeeded";
    } catch (const S3Error& e) {
      EXPECT_EQ(e.kind(), S3Error::Kind::kCanceled) << e.what();
    }
    stopper.join();
    // Well before the first-byte deadline (60 s) or the store's Retry-After.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_THROW(waiting.listPage("", ""), S3Error);  // and stays stopped
  }
}

// The store's refusals that say what to do: each is told as its problem,
// with advice in its one line, and none is tried again.
TEST_F(S3RequestsTest, RefusalsThatTellWhatToDo) {
  using Problem = S3Error::Problem;
  struct Case {
    const char* name;
    const char* method;  // the request refused: GET, PUT or DELETE of /bkt/k
    Reply reply;
    Problem problem;
    const char* says;
  };
  const Case cases[] = {
      {"a redirect to the bucket's region", "GET",
       Reply{301, "<Error><Code>PermanentRedirect</Code></Error>", {}, false,
             {{"x-amz-bucket-region", "eu-central-1"}}},
       Problem::kWrongRegion, "give --s3-region eu-central-1"},
      {"a signature for the wrong region", "GET",
       Reply{400,
             "<Error><Code>AuthorizationHeaderMalformed</Code><Message>the region 'eu-west-3' is "
             "wrong</Message><Region>ap-south-1</Region></Error>"},
       Problem::kWrongRegion, "give --s3-region ap-south-1"},
      {"a clock that stays off", "GET",
       Reply{403, "<Error><Code>RequestTimeTooSkewed</Code></Error>"}, Problem::kSkewedClock,
       "the clock of this machine is off the store's: set it right"},
      {"an expired token", "PUT", Reply{400, "<Error><Code>ExpiredToken</Code></Error>"},
       Problem::kCredentials, "the temporary credentials have expired"},
      {"a bucket name the store does not take", "GET",
       Reply{400, "<Error><Code>InvalidBucketName</Code></Error>"}, Problem::kInvalidBucketName,
       "does not take \"bkt\" as a bucket name"},
      {"a web server's page", "GET",
       Reply{404, "<html><body>Not Found</body></html>", {}, false,
             {{"Content-Type", "text/html"}}},
       Problem::kNotAStore, "the endpoint answered 404 with text/html"},
      {"an archived object", "GET",
       Reply{403,
             "<Error><Code>InvalidObjectState</Code><Message>The operation is not valid for the "
             "object's storage class</Message><StorageClass>DEEP_ARCHIVE</StorageClass></Error>"},
       Problem::kArchived, "archive storage class DEEP_ARCHIVE: restore it first"},
      {"Object Lock", "DELETE",
       Reply{403,
             "<Error><Code>AccessDenied</Code><Message>Access Denied because object protected "
             "by object lock.</Message></Error>"},
       Problem::kObjectLock, "Object Lock keeps the object"},
      {"a policy that forbids writes", "PUT",
       Reply{403, "<Error><Code>AccessDenied</Code></Error>"}, Problem::kWriteRefused,
       "do not allow this write"},
      {"a read refused as before", "GET", Reply{403, "<Error><Code>AccessDenied</Code></Error>"},
       Problem::kOther, "403 AccessDenied"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store_.clearRequests();
    store_.on(c.method, "/bkt/k", c.reply);
    const std::string method = c.method;
    try {
      if (method == "GET") {
        client().getToFile("k", env_.root() / "k");
      } else if (method == "PUT") {
        client().putBytes("k", "x");
      } else {
        client().remove("k");
      }
      ADD_FAILURE() << "the request succeeded";
    } catch (const S3Error& e) {
      const std::string text = e.what();
      EXPECT_EQ(e.problem(), c.problem) << text;
      EXPECT_NE(text.find(c.says), std::string::npos) << text;
      EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    }
    EXPECT_EQ(store_.count(c.method, "/bkt/k"), 1u);
  }
}

// The start-up check of a bucket says in one line what is wrong and what to
// do about it.
TEST_F(S3RequestsTest, TheBucketCheckTellsWhatToDo) {
  struct Case {
    const char* name;
    std::string bucket;
    Reply reply;
    const char* says;
  };
  const Case cases[] = {
      {"another region", "bkt",
       Reply{301, "<Error><Code>PermanentRedirect</Code></Error>", {}, false,
             {{"x-amz-bucket-region", "eu-central-1"}}},
       "is not in the region eu-west-3 at http://127.0.0.1:PORT (the bucket is in the region "
       "eu-central-1); start the engine with --s3-region eu-central-1"},
      {"a skewed clock", "bkt", Reply{403, "<Error><Code>RequestTimeTooSkewed</Code></Error>"},
       "refuses the time of this machine"},
      {"a name the store refuses", "Bad_Name",
       Reply{400, "<Error><Code>InvalidBucketName</Code></Error>"},
       "does not take \"Bad_Name\" as a bucket name (InvalidBucketName); \"Bad_Name\" is not a "
       "valid bucket name"},
      {"a missing bucket with a name outside the rules", "ab",
       Reply{404, "<Error><Code>NoSuchBucket</Code></Error>"},
       "does not exist at http://127.0.0.1:PORT (NoSuchBucket); \"ab\" is not a valid bucket "
       "name"},
      {"a signature refused for a name outside the rules", "UPPER",
       Reply{403, "<Error><Code>SignatureDoesNotMatch</Code></Error>"},
       "refused the credentials (SignatureDoesNotMatch); \"UPPER\" is not a valid bucket name"},
      {"a web server's missing page", "bkt",
       Reply{404, "<!DOCTYPE html><html></html>", {}, false, {{"Content-Type", "text/html"}}},
       "does not answer as an S3 store does"},
      {"a web server's page for anything", "bkt",
       Reply{200, "<!DOCTYPE html><html></html>", {}, false, {{"Content-Type", "text/html"}}},
       "does not answer as an S3 store does"},
  };
  const std::string port = std::to_string(store_.port());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store_.on("GET", "/" + c.bucket + "/", c.reply);
    std::string says = c.says;
    if (const auto at = says.find("PORT"); at != std::string::npos) says.replace(at, 4, port);
    try {
      S3Client(config_, c.bucket, options_).checkBucket();
      ADD_FAILURE() << "the check passed";
    } catch (const S3Error& e) {
      const std::string text = e.what();
      EXPECT_NE(text.find(says), std::string::npos) << text;
      EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    }
  }
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
  // The MD5 of "bytes", as the store would answer it.
  const std::string kBytesEtag = "\"4b3a6218bb3e3a7303e8a171a60fcf92\"";
  const Case cases[] = {
      {"ExpiredToken", {400, "<Error><Code>ExpiredToken</Code></Error>"}, true},
      {"InvalidToken", {400, "<Error><Code>InvalidToken</Code></Error>"}, true},
      {"TokenRefreshRequired", {400, "<Error><Code>TokenRefreshRequired</Code></Error>"}, true},
      {"a 403 saying the token expired",
       {403,
        "<Error><Code>AccessDenied</Code><Message>The provided token has expired.</Message>"
        "</Error>"},
       true},
      {"AccessDenied", {403, "<Error><Code>AccessDenied</Code></Error>"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store_.clearRequests();
    auto fetches = std::make_shared<std::atomic<int>>(0);
    config_.credentialSource = countingSource(fetches);
    // A write: the refusal came before the store acted, so it may go again.
    store_.on("PUT", "/bkt/object", [&c, &kBytesEtag](const Received& r) {
      return r.header("x-amz-security-token") == "token-1"
                 ? c.refusal
                 : Reply{200, "", {}, false, {{"ETag", kBytesEtag}}};
    });
    if (c.renews) {
      EXPECT_EQ(client().putBytes("object", "bytes").etag, kBytesEtag);
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
  // Opens the bucket and returns the region of the client it ends with.
  std::vector<std::unique_ptr<S3Client>> made;
  auto open = [&] {
    made.clear();
    made.push_back(std::make_unique<S3Client>(config_, "bkt", options_));
    openBucket(*made.back(), [&](S3Config config) -> const S3Client& {
      made.push_back(std::make_unique<S3Client>(std::move(config), "bkt", options_));
      return *made.back();
    });
    return made.back()->config().region;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store_.clearRequests();
    config_.region = "us-east-1";
    config_.regionKnown = c.regionKnown;
    store_.on("HEAD", "/bkt/", c.head);
    store_.on("GET", "/bkt/", inRegion(c.refusal));
    EXPECT_EQ(open(), c.region);
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
  EXPECT_EQ(open(), "us-east-1");
  EXPECT_EQ(made.size(), 1u);
  // And one that keeps refusing names its refusal.
  store_.on("GET", "/bkt/", malformed);
  config_.regionKnown = true;
  EXPECT_THROW(open(), S3Error);
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
